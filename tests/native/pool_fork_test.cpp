// The pool across fork(): a child forked before the pool, after it, during jobs or from inside
// a body gets a working pool of its own, and the parent's is unharmed; run by
// tests/test_native_pool.py.

#include "pool_support.hpp"

namespace {

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

}  // namespace

int main() { return run_fork(); }
