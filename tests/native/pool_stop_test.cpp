// Stopping a pool job: a stop set beforehand runs nothing, and the caller's poll stops claims,
// rethrows what it throws, runs nested jobs inline and is called while a caller waits its turn;
// run by tests/test_native_pool.py.

#include "pool_support.hpp"

namespace {

void test_stop_set_beforehand() {
    std::atomic<bool> stop{true};
    std::atomic<int> calls{0};
    run_chunked(1000, 1, stop, [&](std::size_t, std::size_t) { calls.fetch_add(1); });
    CHECK(calls.load() == 0);
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

}  // namespace

int main() {
    test_stop_set_beforehand();
    test_poll();
    std::printf("stop ok workers=%zu\n", lexispan::pool_worker_count());
    return 0;
}
