// The pool's hand-out of work: every item exactly once in even chunks, on all the workers at
// once, nested jobs inline, no lost wake-up over thousands of tiny jobs, several callers served
// one after another; run by tests/test_native_pool.py.
#include <initializer_list>
#include <set>

#include "pool_support.hpp"

namespace {

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

}  // namespace

int main() {
    test_coverage();
    test_runs_on_all_workers();
    test_nested_runs_inline();
    test_many_small_jobs();
    test_concurrent_callers();
    std::printf("scheduling ok workers=%zu\n", lexispan::pool_worker_count());
    return 0;
}
