// The pool's size and creation: nothing starts before the first job that needs workers, then
// exactly the count the environment asks for; run by tests/test_native_pool.py (the parsing of
// the variables and the CPU quota have cpu_budget_test). Prints the counts for the caller.

#include "pool_support.hpp"

namespace {

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

}  // namespace

int main() {
    test_created_lazily();
    std::printf("workers=%zu tasks=%zu default=%zu\n", lexispan::pool_worker_count(),
                task_count(), std::min<std::size_t>(lexispan::available_parallelism(), 255));
    return 0;
}
