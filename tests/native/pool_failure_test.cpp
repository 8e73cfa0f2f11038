// Failures in the pool: a throwing body stops further claims and its exception, of its own type,
// reaches the caller once the running chunks end; with `threads`, a worker thread that cannot
// start makes the pool unavailable for good (until a fork). Run by tests/test_native_pool.py.
// Usage: pool_failure_test [threads]
#include <pthread.h>
#include <sys/resource.h>

#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>

#include "pool_support.hpp"

namespace {

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
    if (argc > 1 && std::string_view(argv[1]) == "threads") {
        return run_nothreads();
    }
    test_failure_stops_claims();
    test_many_failures();
    test_bad_alloc_propagates();
    std::printf("failure ok workers=%zu\n", lexispan::pool_worker_count());
    return 0;
}
