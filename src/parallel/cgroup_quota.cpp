// The control-group CPU quota of this process: cgroup v2 cpu.max, else the
// v1 cfs quota and period, along the process's cgroup path up to the mount.
#include "parallel/cgroup_quota.hpp"

#include "parallel/decimal_text.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace lexispan {

namespace {

std::string_view trim(std::string_view s) noexcept {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// A positive decimal integer that fits in int64 (the kernel's quota type).
std::optional<std::uint64_t> parse_positive(std::string_view s) noexcept {
    constexpr auto limit = static_cast<std::uintmax_t>(std::numeric_limits<std::int64_t>::max());
    const auto value = parse_decimal(s, limit);
    if (!value || *value == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(*value);
}

std::optional<std::size_t> quota_to_cpus(std::uint64_t quota, std::uint64_t period) noexcept {
    // ceil(quota / period) without overflowing quota + period.
    const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    if (cpus > std::numeric_limits<std::size_t>::max()) {
        return std::numeric_limits<std::size_t>::max();
    }
    return std::max<std::size_t>(static_cast<std::size_t>(cpus), 1);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return text;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = s.find(sep, start);
        if (at == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, at - start));
        start = at + 1;
    }
}

bool has_token(std::string_view list, std::string_view token) {
    const auto parts = split(list, ',');
    return std::find(parts.begin(), parts.end(), token) != parts.end();
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_mount_field(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1];
            const char b = s[i + 2];
            const char c = s[i + 3];
            const auto octal = [](char d) { return d >= '0' && d <= '7'; };
            if (octal(a) && octal(b) && octal(c)) {
                out.push_back(static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

struct CgroupMount {
    std::string mount_point;  // where the hierarchy is visible, without the test root
    std::string mount_root;   // which cgroup of the hierarchy is mounted there
};

// The mount of a cgroup hierarchy: v2 when `controller` is empty, else the
// v1 hierarchy that carries `controller`.
std::optional<CgroupMount> find_cgroup_mount(const std::string& root, std::string_view controller) {
    const auto text = read_file(root + "/proc/self/mountinfo");
    if (!text) {
        return std::nullopt;
    }
    for (const auto line : split(*text, '\n')) {
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) {
            continue;
        }
        const std::string_view fs_type = dash[1];
        const std::string_view super_options = dash[3];
        const bool match = controller.empty()
                               ? fs_type == "cgroup2"
                               : fs_type == "cgroup" && has_token(super_options, controller);
        if (match) {
            return CgroupMount{unescape_mount_field(fields[4]), unescape_mount_field(fields[3])};
        }
    }
    return std::nullopt;
}

// The process's path in a hierarchy from /proc/self/cgroup: the "0::" line
// for v2, else the line whose controller list names `controller`.
std::optional<std::string> find_cgroup_path(const std::string& root, std::string_view controller) {
    const auto text = read_file(root + "/proc/self/cgroup");
    if (!text) {
        return std::nullopt;
    }
    for (const auto line : split(*text, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) {
            continue;
        }
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        const bool match = controller.empty() ? id == "0" && controllers.empty()
                                              : has_token(controllers, controller);
        if (match) {
            return std::string(path);
        }
    }
    return std::nullopt;
}

// Directories from the process's cgroup up to the mount point of its
// hierarchy, innermost first. When the process's cgroup is outside what the
// mount shows, only the mount point itself is searched.
std::vector<std::string> cgroup_dirs(const std::string& root, const CgroupMount& mount,
                                     const std::string& path) {
    std::string rel;
    const std::string& mount_root = mount.mount_root;
    if (mount_root == "/" || mount_root.empty()) {
        rel = path;
    } else if (path.compare(0, mount_root.size(), mount_root) == 0 &&
               (path.size() == mount_root.size() || path[mount_root.size()] == '/')) {
        rel = path.substr(mount_root.size());
    }
    while (!rel.empty() && rel.back() == '/') {
        rel.pop_back();
    }
    if (rel.find("/..") != std::string::npos) {
        rel.clear();
    }
    std::string base = root + mount.mount_point;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    std::vector<std::string> dirs;
    for (;;) {
        dirs.push_back(base + rel);
        if (rel.empty()) {
            return dirs;
        }
        rel.erase(rel.rfind('/'));
    }
}

struct QuotaSearch {
    bool found_files = false;
    std::optional<std::size_t> limit;

    void apply(std::optional<std::size_t> level) {
        if (level) {
            limit = limit ? std::min(*limit, *level) : *level;
        }
    }
};

QuotaSearch v2_limit(const std::string& root) {
    QuotaSearch search;
    const auto path = find_cgroup_path(root, {});
    if (!path) {
        return search;
    }
    const auto mount = find_cgroup_mount(root, {}).value_or(CgroupMount{"/sys/fs/cgroup", "/"});
    for (const auto& dir : cgroup_dirs(root, mount, *path)) {
        if (const auto text = read_file(dir + "/cpu.max")) {
            search.found_files = true;
            search.apply(cpu_limit_from_cpu_max(*text));
        }
    }
    return search;
}

QuotaSearch v1_limit(const std::string& root) {
    QuotaSearch search;
    const auto path = find_cgroup_path(root, "cpu");
    if (!path) {
        return search;
    }
    std::vector<CgroupMount> mounts;
    if (auto mount = find_cgroup_mount(root, "cpu")) {
        mounts.push_back(std::move(*mount));
    } else {
        mounts.push_back({"/sys/fs/cgroup/cpu,cpuacct", "/"});
        mounts.push_back({"/sys/fs/cgroup/cpu", "/"});
    }
    for (const auto& mount : mounts) {
        for (const auto& dir : cgroup_dirs(root, mount, *path)) {
            const auto quota = read_file(dir + "/cpu.cfs_quota_us");
            const auto period = read_file(dir + "/cpu.cfs_period_us");
            if (quota && period) {
                search.found_files = true;
                search.apply(cpu_limit_from_cfs(*quota, *period));
            }
        }
        if (search.found_files) {
            break;
        }
    }
    return search;
}

}  // namespace

std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view text) noexcept {
    const std::string_view line = trim(text.substr(0, text.find('\n')));
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return std::nullopt;
    }
    const auto quota = parse_positive(line.substr(0, blank));
    const auto period = parse_positive(trim(line.substr(blank + 1)));
    if (!quota || !period) {
        return std::nullopt;  // "max", or nothing we understand
    }
    return quota_to_cpus(*quota, *period);
}

std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota,
                                              std::string_view period) noexcept {
    const auto q = parse_positive(trim(quota));
    const auto p = parse_positive(trim(period));
    if (!q || !p) {
        return std::nullopt;  // -1 means no quota
    }
    return quota_to_cpus(*q, *p);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view root) noexcept {
    try {
        const std::string prefix(root);
        const QuotaSearch v2 = v2_limit(prefix);
        if (v2.found_files) {
            return v2.limit;
        }
        return v1_limit(prefix).limit;
    } catch (...) {
        return std::nullopt;  // out of memory while reading: ignore the quota
    }
}

}  // namespace lexispan
