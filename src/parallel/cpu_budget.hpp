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

}  // namespace lexispan
