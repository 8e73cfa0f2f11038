// Sizing the worker pool: the worker-count variables and the processors this
// process may use (affinity mask, then the control-group quota).
#include "parallel/cpu_budget.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "parallel/cgroup_quota.hpp"
#include "parallel/decimal_text.hpp"

namespace lexispan {

namespace {

constexpr std::size_t max_workers = 255;

}  // namespace

std::optional<std::size_t> parse_worker_count(const char* text) noexcept {
    if (text == nullptr) {
        return std::nullopt;
    }
    std::string_view digits(text);
    if (digits.starts_with('+')) {
        digits.remove_prefix(1);
    }
    const auto value = parse_decimal(digits, std::numeric_limits<std::size_t>::max());
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(*value);
}

std::size_t resolve_worker_count(const char* num_threads, const char* rs_num_cpus,
                                 std::size_t default_count) noexcept {
    std::size_t count = default_count;
    if (const auto requested = parse_worker_count(num_threads)) {
        // An explicit 0 asks for the default and overrides the second variable.
        if (*requested > 0) {
            count = *requested;
        }
    } else if (const auto fallback = parse_worker_count(rs_num_cpus); fallback && *fallback > 0) {
        count = *fallback;
    }
    return std::clamp<std::size_t>(count, 1, max_workers);
}

namespace {

std::optional<std::size_t> affinity_cpu_count() noexcept {
    // Start at the kernel's usual mask size and grow for machines with more
    // CPUs; sched_getaffinity fails with EINVAL while the set is too small.
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) {
            return std::nullopt;
        }
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            if (count <= 0) {
                return std::nullopt;
            }
            return static_cast<std::size_t>(count);
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::size_t available_parallelism() noexcept {
    std::optional<std::size_t> cpus = affinity_cpu_count();
    if (!cpus) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) {
            cpus = static_cast<std::size_t>(online);
        }
    }
    if (!cpus) {
        return 1;
    }
    if (const auto limit = cgroup_cpu_limit("")) {
        cpus = std::min(*cpus, *limit);
    }
    return std::max<std::size_t>(*cpus, 1);
}

}  // namespace lexispan
