// Standalone checks of the pool's sizing: the worker-count variables, the
// control-group quota texts and trees, the affinity mask; run by
// tests/test_native_pool.py. Exits non-zero on failure.
#include "parallel/cpu_budget.hpp"
#include "parallel/cgroup_quota.hpp"
#include "check.hpp"

#include <sched.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace {

void test_parse_worker_count() {
    using lexispan::parse_worker_count;
    constexpr auto none = std::optional<std::size_t>{};
    const std::pair<const char*, std::optional<std::size_t>> table[] = {
        {nullptr, none},
        {"", none},
        {"0", 0},
        {"4", 4},
        {"+4", 4},
        {"+0", 0},
        {"00012", 12},
        {"+", none},
        {"++4", none},
        {"-1", none},
        {"-0", none},
        {"+-4", none},
        {"-+4", none},
        {" 4", none},
        {"4 ", none},
        {"4\n", none},
        {"\t4", none},
        {"4x", none},
        {"0x10", none},
        {"1e3", none},
        {"4.0", none},
        {"abc", none},
        {"\xd9\xa3", none},  // a non-ASCII digit
        {"\xff", none},      // not valid text
        {"18446744073709551615", std::size_t{18446744073709551615ULL}},
        {"18446744073709551616", none},
        {"99999999999999999999999", none},
    };
    for (const auto& [text, expected] : table) {
        CHECK_MSG(parse_worker_count(text) == expected, text == nullptr ? "(null)" : text);
    }
}

void test_resolve_worker_count() {
    struct row {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t default_count;
        std::size_t expected;
    };
    const row table[] = {
        {nullptr, nullptr, 5, 5},
        {"", "", 5, 5},
        {"", nullptr, 5, 5},
        {"0", "3", 5, 5},  // 0 is the default and the second variable is not read
        {"+0", "3", 5, 5},
        {"abc", "3", 5, 3},
        {" 4", nullptr, 5, 5},
        {" 4", "3", 5, 3},
        {"4 ", "3", 5, 3},
        {"+4", nullptr, 5, 4},
        {"+4", "3", 5, 4},
        {"+", "3", 5, 3},
        {"-1", nullptr, 5, 5},
        {"-1", "3", 5, 3},
        {"+-4", "7", 5, 7},
        {"2", "9", 5, 2},
        {"1", nullptr, 5, 1},
        {"1000", nullptr, 5, 255},
        {"255", nullptr, 5, 255},
        {"256", nullptr, 5, 255},
        {"18446744073709551615", nullptr, 5, 255},
        {"99999999999999999999999", "3", 5, 3},
        {"99999999999999999999999", nullptr, 5, 5},
        {nullptr, "3", 5, 3},
        {nullptr, "0", 5, 5},
        {nullptr, "abc", 5, 5},
        {nullptr, "1000", 5, 255},
        {nullptr, " 3", 5, 5},
        {nullptr, nullptr, 0, 1},
        {nullptr, nullptr, 300, 255},
        {"0", nullptr, 1024, 255},
    };
    for (const auto& r : table) {
        const std::size_t got = lexispan::resolve_worker_count(r.num_threads, r.rs_num_cpus,
                                                               r.default_count);
        CHECK_MSG(got == r.expected,
                  std::string(r.num_threads ? r.num_threads : "(null)") + " / " +
                      (r.rs_num_cpus ? r.rs_num_cpus : "(null)") + " -> " + std::to_string(got));
    }
}

void test_quota_texts() {
    using lexispan::cpu_limit_from_cfs;
    using lexispan::cpu_limit_from_cpu_max;
    constexpr auto none = std::optional<std::size_t>{};
    const std::pair<const char*, std::optional<std::size_t>> cpu_max[] = {
        {"max 100000\n", none},
        {"max 100000", none},
        {"150000 100000\n", 2},
        {"100000 100000\n", 1},
        {"100001 100000\n", 2},
        {"50000 100000\n", 1},
        {"1000 100000\n", 1},
        {"400000 100000\n", 4},
        {"0 100000\n", none},
        {"150000 0\n", none},
        {"-1 100000\n", none},
        {"", none},
        {"garbage", none},
        {"150000\n", none},
        {"9223372036854775807 1\n", std::size_t{9223372036854775807ULL}},
    };
    for (const auto& [text, expected] : cpu_max) {
        CHECK_MSG(cpu_limit_from_cpu_max(text) == expected, text);
    }
    struct cfs_row {
        const char* quota;
        const char* period;
        std::optional<std::size_t> expected;
    };
    const cfs_row cfs[] = {
        {"-1\n", "100000\n", none},   {"150000\n", "100000\n", 2}, {"200000\n", "100000\n", 2},
        {"50000\n", "100000\n", 1},   {"250000", "100000", 3},     {"150000\n", "0\n", none},
        {"", "100000\n", none},       {"x", "100000\n", none},     {"150000\n", "", none},
    };
    for (const auto& r : cfs) {
        CHECK_MSG(cpu_limit_from_cfs(r.quota, r.period) == r.expected,
                  std::string(r.quota) + " / " + r.period);
    }
}

class fake_root {
public:
    fake_root() {
        char name[] = "/tmp/lexispan-cgroup-XXXXXX";
        CHECK(mkdtemp(name) != nullptr);
        path_ = name;
    }
    ~fake_root() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    fake_root(const fake_root&) = delete;
    fake_root& operator=(const fake_root&) = delete;

    void write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path file = path_ + relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary);
        out << text;
        CHECK(out.good());
    }
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

constexpr const char* v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";

void test_cgroup_trees() {
    using lexispan::cgroup_cpu_limit;
    constexpr auto none = std::optional<std::size_t>{};
    {  // v2: the tightest quota on the way up to the root applies
        fake_root root;
        root.write("/proc/self/cgroup", "0::/a/b\n");
        root.write("/proc/self/mountinfo", v2_mount);
        root.write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
        root.write("/sys/fs/cgroup/a/cpu.max", "250000 100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == std::optional<std::size_t>{3});
        root.write("/sys/fs/cgroup/a/b/cpu.max", "150000 100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == std::optional<std::size_t>{2});
        root.write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
        root.write("/sys/fs/cgroup/a/cpu.max", "max 100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == none);
    }
    {  // v2 without a mountinfo entry: the usual mount point
        fake_root root;
        root.write("/proc/self/cgroup", "0::/\n");
        root.write("/sys/fs/cgroup/cpu.max", "150000 100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == std::optional<std::size_t>{2});
    }
    {  // v2 mounted from inside the hierarchy (a container without its own namespace)
        fake_root root;
        root.write("/proc/self/cgroup", "0::/docker/x\n");
        root.write("/proc/self/mountinfo",
                   "30 23 0:26 /docker/x /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
        root.write("/sys/fs/cgroup/cpu.max", "50000 100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == std::optional<std::size_t>{1});
    }
    {  // a mount point with an escaped blank
        fake_root root;
        root.write("/proc/self/cgroup", "0::/g\n");
        root.write("/proc/self/mountinfo",
                   "30 23 0:26 / /sys/fs/cg\\040two rw - cgroup2 cgroup2 rw\n");
        root.write("/sys/fs/cg two/g/cpu.max", "300000 100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == std::optional<std::size_t>{3});
    }
    {  // hybrid: v2 mounted but the cpu controller is on a v1 hierarchy
        fake_root root;
        root.write("/proc/self/cgroup", "4:memory:/m\n1:cpu,cpuacct:/grp\n0::/\n");
        root.write("/proc/self/mountinfo",
                   "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
                   "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
                   "33 31 0:30 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n"
                   "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
        root.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
        root.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
        root.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "400000\n");
        root.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n");
        // A cpuacct-only hierarchy must not be mistaken for the cpu one.
        root.write("/sys/fs/cgroup/cpuacct/grp/cpu.cfs_quota_us", "100000\n");
        root.write("/sys/fs/cgroup/cpuacct/grp/cpu.cfs_period_us", "100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == std::optional<std::size_t>{4});
        root.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "-1\n");
        CHECK(cgroup_cpu_limit(root.path()) == none);
    }
    {  // v1 without mountinfo: the usual mount points
        fake_root root;
        root.write("/proc/self/cgroup", "2:cpu:/j\n");
        root.write("/sys/fs/cgroup/cpu/j/cpu.cfs_quota_us", "150000\n");
        root.write("/sys/fs/cgroup/cpu/j/cpu.cfs_period_us", "100000\n");
        CHECK(cgroup_cpu_limit(root.path()) == std::optional<std::size_t>{2});
    }
    {  // nothing readable at all
        fake_root root;
        CHECK(cgroup_cpu_limit(root.path()) == none);
        root.write("/proc/self/cgroup", "garbage\n\n::\n");
        root.write("/proc/self/mountinfo", "garbage\n - \n");
        CHECK(cgroup_cpu_limit(root.path()) == none);
    }
}

// The affinity mask bounds the default: pinned to one CPU, one worker.
void test_affinity_bounds_default() {
    cpu_set_t saved;
    CHECK(sched_getaffinity(0, sizeof saved, &saved) == 0);
    std::optional<std::size_t> first;
    for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &saved)) {
            first = cpu;
            break;
        }
    }
    CHECK(first.has_value());
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(*first, &one);
    CHECK(sched_setaffinity(0, sizeof one, &one) == 0);
    const std::size_t pinned = lexispan::available_parallelism();
    CHECK(sched_setaffinity(0, sizeof saved, &saved) == 0);
    CHECK(pinned == 1);
    const std::size_t full = lexispan::available_parallelism();
    CHECK(full >= 1);
    CHECK(full <= static_cast<std::size_t>(CPU_COUNT(&saved)));
}

}  // namespace

int main() {
    test_parse_worker_count();
    test_resolve_worker_count();
    test_quota_texts();
    test_cgroup_trees();
    test_affinity_bounds_default();
    std::printf("cpu budget ok\n");
    return 0;
}
