// Running the engine without the interpreter lock while the calling thread
// polls for signals and reports progress.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "python_support/python.hpp"

namespace lexispan::binding::table {

// Runs `work` on a thread of its own while the calling thread, without the
// interpreter lock, wakes every 50 ms to run `poll` with the lock held.
// `poll` returns false to stop (a Python error is then set; `stop` is raised
// for the work to see) and is told whether the work has finished. Rethrows
// what `work` threw.
void run_polling(const std::function<void()>& work, const std::function<bool(bool)>& poll,
                 std::atomic<bool>& stop);

// Takes the interpreter lock back after PyEval_SaveThread. CPython before
// 3.14 ends a daemon thread that asks for the lock while the interpreter exits
// with a forced unwind, which would end the process in std::terminate (at the
// first noexcept frame) or release Python objects without the lock on its way
// up. That thread runs `before_waiting` (which stops and joins whatever the
// call started) and then waits for the process to end, as CPython 3.14 makes
// such threads do.
void restore_thread(PyThreadState* state, const std::function<void()>& before_waiting = {});

// The poll of a call that counts finished words in `done`: stops for a
// pending signal, and hands a changed count to `progress` (None: no
// progress) with the interpreter lock held; false once either raised.
class ProgressPoll {
public:
    ProgressPoll(PyObject* progress, const std::atomic<std::size_t>& done) noexcept
        : progress_(progress), done_(done) {}

    bool operator()(bool finished);

private:
    PyObject* progress_;  // borrowed from the call's arguments
    const std::atomic<std::size_t>& done_;
    std::size_t reported_ = 0;
};

}  // namespace lexispan::binding::table
