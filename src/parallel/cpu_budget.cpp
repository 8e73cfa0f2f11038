// Sizing the worker pool: the worker-count variables and the processors this
// process may use (affinity mask, then the control-group quota).
#include "parallel/cpu_budget.hpp"

#include <algorithm>
#include <limits>

#include "parallel/cgroup_quota.hpp"
#include "parallel/decimal_text.hpp"
#include "platform/system.hpp"

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

std::size_t available_parallelism() noexcept {
    std::optional<std::size_t> cpus = usable_processors();
    if (!cpus) {
        return 1;
    }
    if (const auto limit = cgroup_cpu_limit("")) {
        cpus = std::min(*cpus, *limit);
    }
    return std::max<std::size_t>(*cpus, 1);
}

}  // namespace lexispan
