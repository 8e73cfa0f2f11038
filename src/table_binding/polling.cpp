// The driver thread and the 50 ms poll of the table engine's long calls.
#include "table_binding/polling.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "python_support/boundary.hpp"
#include "python_support/py_ref.hpp"

namespace lexispan::binding::table {

void run_polling(const std::function<void()>& work, const std::function<bool(bool)>& poll,
                 std::atomic<bool>& stop) {
    std::mutex mutex;
    std::condition_variable finished_changed;
    bool finished = false;
    std::exception_ptr failure;
    std::thread driver([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(mutex);
        finished = true;
        finished_changed.notify_all();
    });
    bool interrupted = false;
    for (;;) {
        bool done = false;
        PyThreadState* state = PyEval_SaveThread();
        {
            std::unique_lock lock(mutex);
            done = finished_changed.wait_for(lock, std::chrono::milliseconds(50),
                                             [&] { return finished; });
        }
        restore_thread(state, [&] {
            stop.store(true, std::memory_order_release);
            driver.join();
        });
        if (done) {
            break;
        }
        if (!interrupted && !poll(false)) {
            interrupted = true;
            stop.store(true, std::memory_order_release);
        }
    }
    // The driver has ended its work; joining is immediate.
    driver.join();
    if (interrupted) {
        throw PythonErrorSet{};
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (!poll(true)) {
        throw PythonErrorSet{};
    }
}

void restore_thread(PyThreadState* state, const std::function<void()>& before_waiting) {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        if (before_waiting) {
            before_waiting();
        }
        // Never leaves the handler: ending it without a rethrow would abort.
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
#else
    (void)before_waiting;
    PyEval_RestoreThread(state);
#endif
}

bool ProgressPoll::operator()(bool) {
    if (PyErr_CheckSignals() != 0) {
        return false;
    }
    const std::size_t now = done_.load(std::memory_order_relaxed);
    if (progress_ != Py_None && now != reported_) {
        reported_ = now;
        PyRef result =
            PyRef::steal(PyObject_CallFunction(progress_, "n", static_cast<Py_ssize_t>(now)));
        if (!result) {
            return false;
        }
    }
    return true;
}

}  // namespace lexispan::binding::table
