// Standalone checks of the worker pool (its sizing has cpu_budget_test);
// run by tests/test_native_pool.py.
// Usage: thread_pool_test [unit|count|fork|nothreads]; exits non-zero on failure.
#include "parallel/thread_pool.hpp"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using lexispan::PoolUnavailable;
using lexispan::run_chunked;
using body_fn = std::function<void(std::size_t, std::size_t)>;
using clock_type = std::chrono::steady_clock;

// Failing from a worker thread must not run exit handlers under the pool.
[[noreturn]] void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

#define CHECK(cond)                                  \
    do {                                             \
        if (!(cond)) fail(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_MSG(cond, msg)                                           \
    do {                                                               \
        if (!(cond)) fail(__FILE__, __LINE__, std::string(#cond) + ": " + std::string(msg)); \
    } while (0)

constexpr auto patience = std::chrono::seconds(20);

std::size_t task_count() {
    DIR* dir = opendir("/proc/self/task");
    CHECK(dir != nullptr);
    std::size_t n = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

// Joined threads can linger in /proc for a moment after they have exited.
bool wait_for_task_count(std::size_t expected) {
    const auto deadline = clock_type::now() + patience;
    while (task_count() != expected) {
        if (clock_type::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::size_t expected_workers() {
    return lexispan::resolve_worker_count(std::getenv("RAYON_NUM_THREADS"),
                                          std::getenv("RAYON_RS_NUM_CPUS"),
                                          lexispan::available_parallelism());
}

// Waits, without ever blocking the test, until pred() holds.
template <class Pred>
void await(Pred pred, const char* what) {
    const auto deadline = clock_type::now() + patience;
    while (!pred()) {
        if (clock_type::now() > deadline) {
            fail(__FILE__, __LINE__, std::string("timed out waiting for ") + what);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

struct test_error {
    std::size_t item;
};

// Runs a job over [0, count) and checks that every index is covered exactly
// once, in chunks that start on multiples of `chunk` and are as long as allowed.
void check_coverage(std::size_t count, std::size_t chunk) {
    std::vector<std::atomic<int>> hits(count);
    std::mutex ranges_mutex;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    std::atomic<bool> stop{false};
    const std::size_t step = chunk == 0 ? 1 : chunk;
    run_chunked(count, chunk, stop, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            hits[i].fetch_add(1);
        }
        const std::lock_guard lock(ranges_mutex);
        ranges.emplace_back(begin, end);
    });
    for (std::size_t i = 0; i < count; ++i) {
        CHECK_MSG(hits[i].load() == 1, "count " + std::to_string(count) + " chunk " +
                                           std::to_string(chunk) + " item " + std::to_string(i) +
                                           " ran " + std::to_string(hits[i].load()) + " times");
    }
    for (const auto& [begin, end] : ranges) {
        CHECK(begin % step == 0);
        CHECK(end - begin == std::min(step, count - begin));
    }
    CHECK(!stop.load());
}

// ---------------------------------------------------------------------------

// Must run first: nothing may have created the pool yet.
void test_created_lazily() {
    CHECK(task_count() == 1);
    std::atomic<bool> stop{false};
    run_chunked(0, 4, stop, [](std::size_t, std::size_t) {
        fail(__FILE__, __LINE__, "body called for an empty job");
    });
    CHECK(task_count() == 1);
    const std::size_t workers = lexispan::pool_worker_count();
    CHECK(workers == expected_workers());
    CHECK(workers >= 1 && workers <= 255);
    CHECK(task_count() == workers + 1);
    CHECK(lexispan::pool_worker_count() == workers);
    CHECK(task_count() == workers + 1);
}

void test_coverage() {
    for (const std::size_t count : std::initializer_list<std::size_t>{1, 2, 7, 64, 65, 1001}) {
        for (const std::size_t chunk : std::initializer_list<std::size_t>{0, 1, 3, 64, 5000}) {
            check_coverage(count, chunk);
        }
    }
}

// Bodies run on workers only, and all N workers take part at once: N chunks
// that each wait until all N are running can only finish on N threads.
void test_runs_on_all_workers() {
    const std::size_t workers = lexispan::pool_worker_count();
    const auto caller = std::this_thread::get_id();
    std::atomic<std::size_t> arrived{0};
    std::mutex ids_mutex;
    std::set<std::thread::id> ids;
    std::atomic<bool> stop{false};
    run_chunked(workers, 1, stop, [&](std::size_t, std::size_t) {
        {
            const std::lock_guard lock(ids_mutex);
            ids.insert(std::this_thread::get_id());
        }
        arrived.fetch_add(1);
        await([&] { return arrived.load() == workers; }, "all workers to run at once");
    });
    CHECK(ids.size() == workers);
    CHECK(ids.count(caller) == 0);
}

void test_stop_set_beforehand() {
    std::atomic<bool> stop{true};
    std::atomic<int> calls{0};
    run_chunked(1000, 1, stop, [&](std::size_t, std::size_t) { calls.fetch_add(1); });
    CHECK(calls.load() == 0);
}

// Once a body fails no further chunk starts, the other running chunks end
// before the exception reaches the caller, and that exception is the body's.
// Every worker is held inside a chunk when the failure happens, so no worker
// can be between its check of `stop` and its claim: the count of chunks that
// begin after the failure must be exactly zero.
void test_failure_stops_claims() {
    const std::size_t workers = lexispan::pool_worker_count();
    std::atomic<std::size_t> arrived{0};
    std::atomic<std::size_t> started{0};
    std::atomic<std::size_t> ended{0};
    std::atomic<std::size_t> started_after_stop{0};
    std::atomic<bool> stop{false};
    bool caught = false;
    try {
        run_chunked(workers * 10, 1, stop, [&](std::size_t begin, std::size_t) {
            if (stop.load()) {
                started_after_stop.fetch_add(1);
            }
            started.fetch_add(1);
            arrived.fetch_add(1);
            await([&] { return arrived.load() >= workers; }, "every worker to hold a chunk");
            if (begin == 0) {
                throw test_error{begin};
            }
            await([&] { return stop.load(); }, "the failure to set stop");
            // Still running when the failure is known: the caller must wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ended.fetch_add(1);
        });
    } catch (const test_error& e) {
        caught = true;
        CHECK(e.item == 0);
        CHECK(ended.load() + 1 == started.load());
    }
    CHECK(caught);
    CHECK(stop.load());
    CHECK(started_after_stop.load() == 0);
    CHECK(started.load() == workers);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CHECK(started.load() == workers);
    check_coverage(1001, 3);  // still usable
}

// With every chunk failing at once only one exception comes back.
void test_many_failures() {
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> stop{false};
        bool caught = false;
        try {
            run_chunked(500, 1, stop, [](std::size_t begin, std::size_t) {
                throw test_error{begin};
            });
        } catch (const test_error& e) {
            caught = e.item < 500;
        }
        CHECK(caught);
    }
    check_coverage(7, 1);
}

void test_bad_alloc_propagates() {
    {
        std::atomic<bool> stop{false};
        bool caught = false;
        try {
            run_chunked(100, 3, stop, [](std::size_t begin, std::size_t end) {
                if (begin <= 50 && 50 < end) {
                    throw std::bad_alloc();
                }
            });
        } catch (const std::bad_alloc&) {
            caught = true;
        }
        CHECK(caught);
    }
#ifndef __SANITIZE_ADDRESS__
    // A real failed allocation; ASan's operator new ends the process instead.
    {
        std::atomic<bool> stop{false};
        bool caught = false;
        volatile std::size_t huge = std::numeric_limits<std::size_t>::max() / 4;
        char* volatile allocated = nullptr;
        try {
            run_chunked(4, 1, stop, [&](std::size_t begin, std::size_t) {
                if (begin == 2) {
                    std::vector<char> v;
                    v.reserve(huge);
                    // Used, so that Clang cannot leave the allocation out.
                    allocated = v.data();
                }
            });
        } catch (const std::bad_alloc&) {
            caught = true;
        }
        CHECK(caught);
    }
#endif
    {  // other standard exceptions keep their type too
        std::atomic<bool> stop{false};
        bool caught = false;
        try {
            run_chunked(4, 1, stop, [](std::size_t, std::size_t) {
                throw std::out_of_range("row");
            });
        } catch (const std::out_of_range& e) {
            caught = std::string_view(e.what()) == "row";
        }
        CHECK(caught);
    }
}

void test_nested_runs_inline() {
    std::atomic<bool> stop{false};
    std::atomic<int> inner_total{0};
    std::atomic<int> mismatched{0};
    run_chunked(5, 1, stop, [&](std::size_t, std::size_t) {
        const auto outer_thread = std::this_thread::get_id();
        std::vector<int> hits(10, 0);  // unsynchronised: only this thread may touch it
        std::atomic<bool> inner_stop{false};
        run_chunked(10, 3, inner_stop, [&](std::size_t begin, std::size_t end) {
            if (std::this_thread::get_id() != outer_thread) {
                mismatched.fetch_add(1);
            }
            for (std::size_t i = begin; i < end; ++i) {
                ++hits[i];
            }
        });
        for (const int h : hits) {
            inner_total.fetch_add(h == 1 ? 1 : 1000);
        }
        // Inline runs honour stop and failures as well.
        std::atomic<bool> preset{true};
        run_chunked(10, 1, preset, [&](std::size_t, std::size_t) { mismatched.fetch_add(1); });
        std::atomic<bool> failing_stop{false};
        std::size_t ran = 0;
        bool caught = false;
        try {
            run_chunked(10, 1, failing_stop, [&](std::size_t begin, std::size_t) {
                ++ran;
                if (begin == 3) {
                    throw test_error{begin};
                }
            });
        } catch (const test_error& e) {
            caught = e.item == 3;
        }
        if (!caught || ran != 4 || !failing_stop.load()) {
            mismatched.fetch_add(1);
        }
    });
    CHECK(mismatched.load() == 0);
    CHECK(inner_total.load() == 50);

    // A failure inside the nested job surfaces on the outer caller.
    std::atomic<bool> outer_stop{false};
    bool caught = false;
    try {
        run_chunked(3, 1, outer_stop, [](std::size_t, std::size_t) {
            std::atomic<bool> s{false};
            run_chunked(3, 1, s, [](std::size_t begin, std::size_t) {
                if (begin == 1) {
                    throw test_error{41};
                }
            });
        });
    } catch (const test_error& e) {
        caught = e.item == 41;
    }
    CHECK(caught);
}

// Thousands of tiny jobs back to back: a lost wake-up hangs here.
void test_many_small_jobs() {
    for (std::size_t round = 0; round < 5000; ++round) {
        const std::size_t count = round % 9 + 1;
        const std::size_t chunk = round % 3 + 1;
        std::atomic<std::size_t> sum{0};
        std::atomic<bool> stop{round % 7 == 6};
        run_chunked(count, chunk, stop, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                sum.fetch_add(i + 1);
            }
        });
        const std::size_t expected = round % 7 == 6 ? 0 : count * (count + 1) / 2;
        CHECK_MSG(sum.load() == expected, "round " + std::to_string(round));
    }
}

// Callers on several threads at once are served one after another.
void test_concurrent_callers() {
    std::atomic<int> bad{0};
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < 3; ++t) {
        callers.emplace_back([&, t] {
            for (std::size_t round = 0; round < 400; ++round) {
                const std::size_t count = (round + t) % 50 + 1;
                std::vector<std::atomic<int>> hits(count);
                std::atomic<bool> stop{false};
                try {
                    run_chunked(count, t + 1, stop, [&](std::size_t begin, std::size_t end) {
                        for (std::size_t i = begin; i < end; ++i) {
                            hits[i].fetch_add(1);
                        }
                        if (t == 2 && round % 10 == 0 && begin == 0) {
                            throw test_error{round};
                        }
                    });
                    if (t == 2 && round % 10 == 0) {
                        bad.fetch_add(1);  // the failure was lost
                    }
                } catch (const test_error& e) {
                    if (e.item != round || t != 2) {
                        bad.fetch_add(1);
                    }
                    continue;
                }
                for (const auto& h : hits) {
                    if (h.load() != 1) {
                        bad.fetch_add(1);
                    }
                }
            }
        });
    }
    for (auto& c : callers) {
        c.join();
    }
    CHECK(bad.load() == 0);
}

// The caller's poll: called on the caller while it waits; true stops further
// claims and returns without an exception once the started chunks end; a
// throwing poll is rethrown; a job run from inside poll runs inline there;
// and a caller queued behind another job polls while it waits its turn.
void test_poll() {
    using namespace std::chrono_literals;
    const auto caller = std::this_thread::get_id();
    {
        std::atomic<bool> stop{false};
        std::atomic<std::size_t> started{0};
        std::size_t polls = 0;
        bool elsewhere = false;
        run_chunked(
            100000, 1, stop,
            [&](std::size_t, std::size_t) {
                started.fetch_add(1);
                std::this_thread::sleep_for(1ms);
            },
            [&] {
                elsewhere = elsewhere || std::this_thread::get_id() != caller;
                ++polls;
                return started.load() >= 10;
            });
        CHECK(stop.load());
        CHECK(polls >= 1);
        CHECK(!elsewhere);
        const std::size_t after = started.load();
        CHECK(after < 100000);
        std::this_thread::sleep_for(20ms);
        CHECK(started.load() == after);  // nothing runs on after the return
    }
    {
        std::atomic<bool> stop{false};
        bool caught = false;
        try {
            run_chunked(
                100000, 1, stop,
                [](std::size_t, std::size_t) { std::this_thread::sleep_for(1ms); },
                []() -> bool { throw test_error{7}; });
        } catch (const test_error& e) {
            caught = e.item == 7;
        }
        CHECK(caught);
        CHECK(stop.load());
    }
    {
        std::atomic<bool> stop{false};
        std::size_t polls = 0;
        bool nested_ok = true;
        run_chunked(
            2000, 1, stop, [](std::size_t, std::size_t) { std::this_thread::sleep_for(1ms); },
            [&] {
                std::vector<int> hits(10, 0);  // unsynchronised: only the caller may touch it
                std::atomic<bool> inner{false};
                run_chunked(10, 3, inner, [&](std::size_t begin, std::size_t end) {
                    nested_ok = nested_ok && std::this_thread::get_id() == caller;
                    for (std::size_t i = begin; i < end; ++i) {
                        ++hits[i];
                    }
                });
                nested_ok = nested_ok && std::all_of(hits.begin(), hits.end(),
                                                     [](int h) { return h == 1; });
                return ++polls >= 2;
            });
        CHECK(polls == 2);
        CHECK(nested_ok);
    }
    {
        std::atomic<bool> holding{false};
        std::atomic<bool> release{false};
        std::thread other([&] {
            std::atomic<bool> s{false};
            run_chunked(1, 1, s, [&](std::size_t, std::size_t) {
                holding.store(true);
                await([&] { return release.load(); }, "the queued caller to give up");
            });
        });
        await([&] { return holding.load(); }, "the other job to start");
        std::atomic<bool> stop{false};
        std::atomic<int> ran{0};
        int polls = 0;
        run_chunked(
            10, 1, stop, [&](std::size_t, std::size_t) { ran.fetch_add(1); },
            [&] { return ++polls >= 3; });
        CHECK(polls == 3);
        CHECK(ran.load() == 0);
        release.store(true);
        other.join();
    }
    check_coverage(1001, 3);  // still usable
}

int run_unit() {
    test_created_lazily();
    test_coverage();
    test_runs_on_all_workers();
    test_stop_set_beforehand();
    test_failure_stops_claims();
    test_many_failures();
    test_bad_alloc_propagates();
    test_nested_runs_inline();
    test_many_small_jobs();
    test_concurrent_callers();
    test_poll();
    std::printf("unit ok workers=%zu\n", lexispan::pool_worker_count());
    return 0;
}

int run_count() {
    const std::size_t workers = lexispan::pool_worker_count();
    std::printf("workers=%zu tasks=%zu default=%zu\n", workers, task_count(),
                std::min<std::size_t>(lexispan::available_parallelism(), 255));
    return 0;
}

// ---------------------------------------------------------------------------
// fork

// Waits for a child, killing it if it does not finish in time.
void wait_child(pid_t pid, const char* what) {
    const auto deadline = clock_type::now() + patience;
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        CHECK(got == 0 || got == pid);
        if (got == pid) {
            CHECK_MSG(WIFEXITED(status) && WEXITSTATUS(status) == 0,
                      std::string(what) + ": child failed, status " + std::to_string(status));
            return;
        }
        if (clock_type::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            fail(__FILE__, __LINE__, std::string(what) + ": child hung");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Forks; the child runs `child` and exits with its result, never returning.
template <class Child>
void in_child(const char* what, Child child) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    CHECK(pid >= 0);
    if (pid == 0) {
        int code = 3;
        try {
            code = child();
        } catch (...) {
            code = 2;
        }
        std::fflush(nullptr);
        std::_Exit(code);
    }
    wait_child(pid, what);
}

int child_runs_pool(std::size_t workers) {
    check_coverage(1001, 3);
    CHECK(lexispan::pool_worker_count() == workers);
    CHECK(wait_for_task_count(workers + 1));  // a fresh pool of its own
    return 0;
}

int run_fork() {
    const std::size_t workers = expected_workers();

    // Before the pool exists.
    in_child("fork before the pool", [&] { return child_runs_pool(workers); });
    CHECK(task_count() == 1);

    check_coverage(64, 5);
    CHECK(lexispan::pool_worker_count() == workers);

    // After: the child cannot use the parent's workers and builds its own,
    // and can fork again in turn.
    in_child("fork after the pool", [&] {
        child_runs_pool(workers);
        in_child("grandchild", [&] { return child_runs_pool(workers); });
        return 0;
    });

    // While another thread keeps the pool busy, so the fork lands in the
    // middle of jobs with the pool's locks taken.
    std::atomic<bool> done{false};
    std::atomic<std::size_t> jobs{0};
    std::thread busy([&] {
        while (!done.load()) {
            std::atomic<bool> stop{false};
            run_chunked(97, 2, stop, [](std::size_t, std::size_t) {});
            jobs.fetch_add(1);
        }
    });
    for (int i = 0; i < 10; ++i) {
        in_child("fork during jobs", [&] {
            check_coverage(1001, 7);
            return 0;
        });
    }
    done.store(true);
    busy.join();
    CHECK(jobs.load() > 0);

    // From inside a body: the child is a copy of a worker and runs inline.
    std::atomic<bool> stop{false};
    run_chunked(3, 1, stop, [](std::size_t begin, std::size_t) {
        if (begin == 1) {
            in_child("fork from a worker", [] {
                check_coverage(50, 3);
                return 0;
            });
        }
    });

    check_coverage(1001, 3);  // the parent's pool is unharmed
    CHECK(task_count() == workers + 1);
    std::printf("fork ok workers=%zu\n", workers);
    return 0;
}

// ---------------------------------------------------------------------------
// thread creation failure

std::size_t virtual_size_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            return std::stoul(line.substr(7)) * 1024;
        }
    }
    fail(__FILE__, __LINE__, "no VmSize");
}

void expect_unavailable(const char* what) {
    static constexpr std::string_view sentence = "The global thread pool has not been initialized.";
    std::atomic<bool> stop{false};
    bool caught = false;
    try {
        run_chunked(10, 1, stop, [](std::size_t, std::size_t) {
            fail(__FILE__, __LINE__, "body ran without a pool");
        });
    } catch (const PoolUnavailable& e) {
        const std::string_view message = e.what();
        CHECK_MSG(message.substr(0, sentence.size()) == sentence, message);
        caught = true;
    }
    CHECK_MSG(caught, what);
    caught = false;
    try {
        static_cast<void>(lexispan::pool_worker_count());
    } catch (const PoolUnavailable&) {
        caught = true;
    }
    CHECK_MSG(caught, what);
    // An empty job never needs the pool.
    run_chunked(0, 1, stop, [](std::size_t, std::size_t) {});
}

// Leaves room in the address space for about two and a half thread stacks,
// so some workers start and a later one fails.
int run_nothreads() {
    const std::size_t workers = expected_workers();
    CHECK_MSG(workers >= 3, "run this mode with RAYON_NUM_THREADS of at least 3");
    pthread_attr_t attr;
    CHECK(pthread_getattr_default_np(&attr) == 0);
    std::size_t stack = 0;
    CHECK(pthread_attr_getstacksize(&attr, &stack) == 0);
    pthread_attr_destroy(&attr);

    rlimit saved{};
    CHECK(getrlimit(RLIMIT_AS, &saved) == 0);
    rlimit tight = saved;
    tight.rlim_cur = virtual_size_bytes() + 2 * stack + stack / 2;
    CHECK(saved.rlim_max == RLIM_INFINITY || tight.rlim_cur <= saved.rlim_max);
    CHECK(setrlimit(RLIMIT_AS, &tight) == 0);

    expect_unavailable("first call");
    expect_unavailable("second call");
    CHECK(setrlimit(RLIMIT_AS, &saved) == 0);
    expect_unavailable("after room was made: the failure is permanent");
    CHECK(wait_for_task_count(1));  // the workers that did start are gone

    // A child starts over, and succeeds now that there is room.
    in_child("fork after failure", [&] { return child_runs_pool(workers); });
    expect_unavailable("parent after the fork");
    std::printf("nothreads ok\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "unit";
    if (mode == "unit") {
        return run_unit();
    }
    if (mode == "count") {
        return run_count();
    }
    if (mode == "fork") {
        return run_fork();
    }
    if (mode == "nothreads") {
        return run_nothreads();
    }
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
}
