// Process-wide worker pool for the batch evaluation; knows nothing of Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string_view>

// The pool's sizing; its functions stay reachable through this header.
#include "parallel/cpu_budget.hpp"

namespace lexispan {

// Thrown by `run_chunked` when the pool could not start its threads; the
// state is permanent for the process (until a fork resets it in the child).
// what() begins with "The global thread pool has not been initialized."; the
// second constructor appends the cause in parentheses.
class PoolUnavailable : public std::runtime_error {
public:
    PoolUnavailable();
    explicit PoolUnavailable(std::string_view detail);
};

// Runs body(begin, end) over consecutive chunks covering [0, count), each
// chunk at most `chunk` items, on the process-wide pool (created on first
// use with the count from the environment). The calling thread only waits,
// sleeping. A worker stops claiming chunks once `stop` is set, so with a
// body that checks `stop` per item nothing starts after it is set. If a body
// throws, `stop` is set, the other started chunks run to their end, and the
// first exception is rethrown here. Throws PoolUnavailable when the pool
// cannot run. Calls from a pool worker run inline, serially. Calls from
// different threads are served one after another. count == 0 returns at once
// without creating the pool; chunk == 0 is taken as 1.
void run_chunked(std::size_t count, std::size_t chunk, std::atomic<bool>& stop,
                 const std::function<void(std::size_t, std::size_t)>& body);

// The same, with the calling thread calling `poll` about every 20 ms while it
// waits for the pool (or for another caller's job to end) instead of only
// sleeping. When poll returns true, `stop` is set and the call returns once
// the started chunks have ended, without an exception; the caller knows why
// it stopped. If poll throws, that is handled like a throwing body (a body's
// earlier exception wins). poll is not called again once `stop` is set, runs
// with none of the pool's locks held, and a run_chunked that it makes on its
// own thread runs inline, serially. An empty `poll` only sleeps. Inline runs
// (from a worker or from inside poll) never call it.
void run_chunked(std::size_t count, std::size_t chunk, std::atomic<bool>& stop,
                 const std::function<void(std::size_t, std::size_t)>& body,
                 const std::function<bool()>& poll);

// Worker count of the process-wide pool, creating it if needed; throws
// PoolUnavailable when the pool cannot run.
[[nodiscard]] std::size_t pool_worker_count();

}  // namespace lexispan
