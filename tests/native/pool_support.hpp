// What the worker-pool test programs share: the process's thread count, bounded waits, a job
// whose coverage is checked, and a forked child whose exit status is checked.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.hpp"
#include "parallel/thread_pool.hpp"

using lexispan::PoolUnavailable;
using lexispan::run_chunked;
using clock_type = std::chrono::steady_clock;

constexpr auto patience = std::chrono::seconds(20);

inline std::size_t task_count() {
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
inline bool wait_for_task_count(std::size_t expected) {
    const auto deadline = clock_type::now() + patience;
    while (task_count() != expected) {
        if (clock_type::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::size_t expected_workers() {
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
inline void check_coverage(std::size_t count, std::size_t chunk) {
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

// Waits for a child, killing it if it does not finish in time.
inline void wait_child(pid_t pid, const char* what) {
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

// A child's pool works and is a fresh one of its own.
inline int child_runs_pool(std::size_t workers) {
    check_coverage(1001, 3);
    CHECK(lexispan::pool_worker_count() == workers);
    CHECK(wait_for_task_count(workers + 1));
    return 0;
}
