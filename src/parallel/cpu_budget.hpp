// How many workers the pool gets: the environment's request, else the CPUs
// this process may use (affinity mask, control-group quota).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace lexispan {

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

}  // namespace lexispan
