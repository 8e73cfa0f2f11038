// The control-group CPU quota that limits this process, read from the
// cgroup files; the pieces are exposed so they can be checked against fixed
// texts and fake trees.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace lexispan {

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
