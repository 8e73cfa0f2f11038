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
// what() begins with "The global thread pool has not been initialized."; the
// second constructor appends the cause in parentheses.
class pool_unavailable : public std::runtime_error {
public:
    pool_unavailable();
    explicit pool_unavailable(std::string_view detail);
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

// The pieces of available_parallelism that read the control-group files,
// exposed so they can be checked against fixed texts and fake trees.
//
// CPU limit from a cgroup v2 cpu.max text ("150000 100000" gives 2); nullopt
// for "max ..." or anything unreadable.
[[nodiscard]] std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view text) noexcept;
// CPU limit from cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us texts;
// nullopt for a quota of -1 or anything unreadable.
[[nodiscard]] std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota,
                                                            std::string_view period) noexcept;
// The tightest cgroup CPU limit on this process's cgroup and its ancestors,
// with every absolute path (/proc/self/..., mount points) prefixed by `root`
// ("" for the live system). nullopt when no quota applies.
[[nodiscard]] std::optional<std::size_t> cgroup_cpu_limit(std::string_view root) noexcept;

// Runs body(begin, end) over consecutive chunks covering [0, count), each
// chunk at most `chunk` items, on the process-wide pool (created on first
// use with the count from the environment). The calling thread only waits,
// sleeping. A worker stops claiming chunks once `stop` is set, so with a
// body that checks `stop` per item nothing starts after it is set. If a body
// throws, `stop` is set, the other started chunks run to their end, and the
// first exception is rethrown here. Throws pool_unavailable when the pool
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
// pool_unavailable when the pool cannot run.
[[nodiscard]] std::size_t pool_worker_count();

}  // namespace lexispan
