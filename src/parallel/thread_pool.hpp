// Process-wide worker pool for the batch evaluation; knows nothing of Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace lexispan {

// Thrown by `run_chunked` when the pool could not start its threads; the
// state is permanent for the process (until a fork resets it in the child).
class pool_unavailable : public std::runtime_error {
public:
    pool_unavailable();
};

// Parses one worker-count variable: an optional leading '+', then decimal
// digits only (no blanks, no sign other than that '+', no overflow of
// std::size_t). Returns nullopt for anything else, including an unset (null)
// or empty value.
[[nodiscard]] std::optional<std::size_t> parse_worker_count(const char* text) noexcept;

// The worker count for given values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (either may be null) and a default, capped at 255.
[[nodiscard]] std::size_t resolve_worker_count(const char* num_threads, const char* rs_num_cpus,
                                               std::size_t default_count) noexcept;

// Processors in this process's affinity mask, limited by a cgroup CPU quota
// (v2 cpu.max, else v1 cfs quota/period); 1 when nothing can be determined.
[[nodiscard]] std::size_t available_parallelism() noexcept;

// Runs body(begin, end) over consecutive chunks covering [0, count), each
// chunk at most `chunk` items, on the process-wide pool (created on first
// use with the count from the environment). The calling thread only waits,
// sleeping. A worker stops claiming chunks once `stop` is set, so with a
// body that checks `stop` per item nothing starts after it is set. If a body
// throws, `stop` is set, the other started chunks run to their end, and the
// first exception is rethrown here. Throws pool_unavailable when the pool
// cannot run. Calls from a pool worker run inline, serially.
void run_chunked(std::size_t count, std::size_t chunk, std::atomic<bool>& stop,
                 const std::function<void(std::size_t, std::size_t)>& body);

// Worker count of the process-wide pool, creating it if needed.
[[nodiscard]] std::size_t pool_worker_count();

}  // namespace lexispan
