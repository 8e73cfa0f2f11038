// Process-wide worker pool: sizing from the environment and the CPUs the
// process may use, chunked execution, and survival across fork().
#include "parallel/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace lexispan {

namespace {

constexpr std::size_t max_workers = 255;
constexpr const char* unavailable_message = "The global thread pool has not been initialized.";

}  // namespace

pool_unavailable::pool_unavailable() : std::runtime_error(unavailable_message) {}

pool_unavailable::pool_unavailable(std::string_view detail)
    : std::runtime_error(std::string(unavailable_message) + " (" + std::string(detail) + ")") {}

// ---------------------------------------------------------------------------
// Worker count

std::optional<std::size_t> parse_worker_count(const char* text) noexcept {
    if (text == nullptr) {
        return std::nullopt;
    }
    const char* p = text;
    if (*p == '+') {
        ++p;
    }
    if (*p == '\0') {
        return std::nullopt;
    }
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::size_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::size_t>(*p - '0');
        if (value > (limit - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
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

// ---------------------------------------------------------------------------
// Control-group CPU quota

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
    if (s.empty()) {
        return std::nullopt;
    }
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t value = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (value == 0) {
        return std::nullopt;
    }
    return value;
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

struct cgroup_mount {
    std::string mount_point;  // where the hierarchy is visible, without the test root
    std::string mount_root;   // which cgroup of the hierarchy is mounted there
};

// The mount of a cgroup hierarchy: v2 when `controller` is empty, else the
// v1 hierarchy that carries `controller`.
std::optional<cgroup_mount> find_cgroup_mount(const std::string& root, std::string_view controller) {
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
            return cgroup_mount{unescape_mount_field(fields[4]), unescape_mount_field(fields[3])};
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
std::vector<std::string> cgroup_dirs(const std::string& root, const cgroup_mount& mount,
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

struct quota_search {
    bool found_files = false;
    std::optional<std::size_t> limit;

    void apply(std::optional<std::size_t> level) {
        if (level) {
            limit = limit ? std::min(*limit, *level) : *level;
        }
    }
};

quota_search v2_limit(const std::string& root) {
    quota_search search;
    const auto path = find_cgroup_path(root, {});
    if (!path) {
        return search;
    }
    const auto mount = find_cgroup_mount(root, {}).value_or(cgroup_mount{"/sys/fs/cgroup", "/"});
    for (const auto& dir : cgroup_dirs(root, mount, *path)) {
        if (const auto text = read_file(dir + "/cpu.max")) {
            search.found_files = true;
            search.apply(cpu_limit_from_cpu_max(*text));
        }
    }
    return search;
}

quota_search v1_limit(const std::string& root) {
    quota_search search;
    const auto path = find_cgroup_path(root, "cpu");
    if (!path) {
        return search;
    }
    std::vector<cgroup_mount> mounts;
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
        const quota_search v2 = v2_limit(prefix);
        if (v2.found_files) {
            return v2.limit;
        }
        return v1_limit(prefix).limit;
    } catch (...) {
        return std::nullopt;  // out of memory while reading: ignore the quota
    }
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

// ---------------------------------------------------------------------------
// The pool

namespace {

// True on pool worker threads, so that a nested run_chunked runs inline
// instead of waiting for workers that are all busy with the outer job; and
// on a caller while its poll runs, which must not wait for the job it is
// itself part of (nor lock the submission lock it holds).
thread_local bool t_runs_inline = false;

constexpr auto poll_interval = std::chrono::milliseconds(20);

// One run_chunked call. Lives on the caller's stack; workers only touch it
// while counted in worker_pool::running_.
struct job {
    std::size_t count;
    std::size_t chunk;
    std::size_t chunks;
    std::atomic<bool>& stop;
    const std::function<void(std::size_t, std::size_t)>& body;
    std::atomic<std::size_t> next{0};
    std::mutex error_mutex;
    std::exception_ptr error;  // first failure, guarded by error_mutex

    job(std::size_t count_, std::size_t chunk_, std::atomic<bool>& stop_,
        const std::function<void(std::size_t, std::size_t)>& body_)
        : count(count_),
          chunk(chunk_),
          chunks(count_ / chunk_ + (count_ % chunk_ != 0 ? 1 : 0)),
          stop(stop_),
          body(body_) {}

    // No more chunks will be claimed.
    [[nodiscard]] bool exhausted() const noexcept {
        return stop.load(std::memory_order_acquire) ||
               next.load(std::memory_order_acquire) >= chunks;
    }

    // Records the first failure and stops further claims.
    void fail(std::exception_ptr failure) noexcept {
        {
            const std::lock_guard lock(error_mutex);
            if (!error) {
                error = std::move(failure);
            }
        }
        stop.store(true, std::memory_order_release);
    }

    // Asks the caller's poll whether to stop, on the calling thread.
    void poll_caller(const std::function<bool()>& poll) noexcept {
        if (stop.load(std::memory_order_acquire)) {
            return;
        }
        const bool outer = std::exchange(t_runs_inline, true);
        try {
            if (poll()) {
                stop.store(true, std::memory_order_release);
            }
        } catch (...) {
            fail(std::current_exception());
        }
        t_runs_inline = outer;
    }

    void run_one(std::size_t index) {
        const std::size_t begin = index * chunk;
        const std::size_t end = count - begin < chunk ? count : begin + chunk;
        body(begin, end);
    }

    // Claims and runs chunks until none is left or `stop` is set; never throws.
    void work() noexcept {
        while (!stop.load(std::memory_order_acquire)) {
            const std::size_t index = next.fetch_add(1, std::memory_order_acq_rel);
            if (index >= chunks) {
                return;
            }
            try {
                run_one(index);
            } catch (...) {
                fail(std::current_exception());
            }
        }
    }
};

class worker_pool {
public:
    explicit worker_pool(std::size_t workers) : workers_(workers) {}

    // Starts the threads; on failure stops and joins those already started
    // and rethrows, leaving the object safe to delete.
    void start() {
        std::vector<std::thread> threads;
        try {
            threads.reserve(workers_);
            for (std::size_t i = 0; i < workers_; ++i) {
                threads.emplace_back([this] { worker_main(); });
            }
        } catch (...) {
            {
                const std::lock_guard lock(mutex_);
                shutdown_ = true;
            }
            work_ready_.notify_all();
            for (auto& thread : threads) {
                thread.join();
            }
            throw;
        }
        // The pool lives until the process ends; nothing ever joins the
        // workers, so exit() neither waits for them nor terminates on them.
        for (auto& thread : threads) {
            thread.detach();
        }
    }

    [[nodiscard]] std::size_t workers() const noexcept { return workers_; }

    void run(job& j, const std::function<bool()>& poll) {
        std::unique_lock serialise(submit_mutex_, std::defer_lock);
        if (!poll) {
            serialise.lock();
        } else {
            while (!serialise.try_lock_for(poll_interval)) {
                j.poll_caller(poll);
                if (j.stop.load(std::memory_order_acquire)) {
                    return;  // nothing was handed out
                }
            }
        }
        std::unique_lock lock(mutex_);
        current_ = &j;
        ++generation_;
        work_ready_.notify_all();
        // Every claim happens while a worker is counted in running_, so once
        // nothing is left to claim and no worker is counted, every started
        // chunk has ended.
        const auto finished = [&] { return running_ == 0 && j.exhausted(); };
        if (!poll) {
            job_done_.wait(lock, finished);
        } else {
            while (!job_done_.wait_for(lock, poll_interval, finished)) {
                lock.unlock();
                j.poll_caller(poll);
                lock.lock();
            }
        }
        current_ = nullptr;
    }

private:
    void worker_main() noexcept {
        t_runs_inline = true;
        pthread_setname_np(pthread_self(), "lexispan-worker");
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            work_ready_.wait(lock, [&] { return shutdown_ || generation_ != seen; });
            if (shutdown_) {
                return;
            }
            seen = generation_;
            job* const j = current_;
            if (j == nullptr) {
                continue;  // woke after that job was already finished
            }
            ++running_;
            lock.unlock();
            j->work();
            lock.lock();
            if (--running_ == 0) {
                job_done_.notify_one();
            }
        }
    }

    const std::size_t workers_;
    std::timed_mutex submit_mutex_;  // one job at a time, whichever thread submits
    std::mutex mutex_;         // guards the fields below
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    job* current_ = nullptr;
    std::uint64_t generation_ = 0;
    std::size_t running_ = 0;
    bool shutdown_ = false;
};

// Process-wide creation state. Trivially destructible members only, so no
// destructor runs at exit; a forked child rebuilds it from scratch.
struct pool_registry {
    std::mutex create_mutex;
    worker_pool* instance = nullptr;  // leaked on purpose: lives until the process ends
    bool failed = false;
    char failure_detail[128] = {};
};

constinit pool_registry g_registry;

void prepare_fork() noexcept { g_registry.create_mutex.lock(); }

void parent_after_fork() noexcept { g_registry.create_mutex.unlock(); }

// The child has only the forking thread: the old pool's workers do not exist
// there, so its object is abandoned (never joined or destroyed) and the
// first use in the child builds a new pool. A failed state is forgotten too.
void child_after_fork() noexcept {
    new (&g_registry.create_mutex) std::mutex();
    g_registry.instance = nullptr;
    g_registry.failed = false;
    g_registry.failure_detail[0] = '\0';
}

// Registered when the library is loaded rather than when the pool is first
// created: pthread_atfork takes the C library's fork-handler lock, which a
// concurrent fork() holds while our prepare handler waits for create_mutex,
// so registering under create_mutex could deadlock, and a child forked
// mid-registration would inherit a half-done once-state.
[[maybe_unused]] const int g_fork_handlers_registered =
    pthread_atfork(prepare_fork, parent_after_fork, child_after_fork);

void remember_failure(const char* detail) noexcept {
    g_registry.failed = true;
    std::snprintf(g_registry.failure_detail, sizeof g_registry.failure_detail, "%s", detail);
}

[[noreturn]] void throw_unavailable() {
    if (g_registry.failure_detail[0] != '\0') {
        throw pool_unavailable(g_registry.failure_detail);
    }
    throw pool_unavailable();
}

worker_pool& global_pool() {
    const std::lock_guard lock(g_registry.create_mutex);
    if (g_registry.instance != nullptr) {
        return *g_registry.instance;
    }
    if (g_registry.failed) {
        throw_unavailable();
    }
    const std::size_t workers = resolve_worker_count(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_parallelism());
    worker_pool* pool = nullptr;
    try {
        pool = new worker_pool(workers);
        pool->start();
    } catch (const std::exception& e) {
        delete pool;  // start() has joined whatever it started
        remember_failure(e.what());
        throw_unavailable();
    } catch (...) {
        delete pool;
        remember_failure("");
        throw_unavailable();
    }
    g_registry.instance = pool;
    return *pool;
}

}  // namespace

void run_chunked(std::size_t count, std::size_t chunk, std::atomic<bool>& stop,
                 const std::function<void(std::size_t, std::size_t)>& body) {
    run_chunked(count, chunk, stop, body, {});
}

void run_chunked(std::size_t count, std::size_t chunk, std::atomic<bool>& stop,
                 const std::function<void(std::size_t, std::size_t)>& body,
                 const std::function<bool()>& poll) {
    if (count == 0) {
        return;
    }
    job j(count, chunk == 0 ? 1 : chunk, stop, body);
    if (t_runs_inline) {
        for (std::size_t index = 0; index < j.chunks && !stop.load(std::memory_order_acquire);
             ++index) {
            try {
                j.run_one(index);
            } catch (...) {
                stop.store(true, std::memory_order_release);
                throw;
            }
        }
        return;
    }
    global_pool().run(j, poll);
    if (j.error) {
        std::rethrow_exception(j.error);
    }
}

std::size_t pool_worker_count() { return global_pool().workers(); }

}  // namespace lexispan
