// Process-wide worker pool: chunked execution, the caller's wait, and
// survival across fork(). Its size comes from cpu_budget.
#include "parallel/thread_pool.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parallel/cpu_budget.hpp"
#include "platform/system.hpp"

namespace lexispan {

namespace {

constexpr const char* unavailable_message = "The global thread pool has not been initialized.";

}  // namespace

PoolUnavailable::PoolUnavailable() : std::runtime_error(unavailable_message) {}

PoolUnavailable::PoolUnavailable(std::string_view detail)
    : std::runtime_error(std::string(unavailable_message) + " (" + std::string(detail) + ")") {}

namespace {

// True on pool worker threads, so that a nested run_chunked runs inline
// instead of waiting for workers that are all busy with the outer job; and
// on a caller while its poll runs, which must not wait for the job it is
// itself part of (nor lock the submission lock it holds).
thread_local bool t_runs_inline = false;

constexpr auto poll_interval = std::chrono::milliseconds(20);

// One run_chunked call. Lives on the caller's stack; workers only touch it
// while counted in WorkerPool::running_.
struct Job {
    std::size_t count;
    std::size_t chunk;
    std::size_t chunks;
    std::atomic<bool>& stop;
    const std::function<void(std::size_t, std::size_t)>& body;
    std::atomic<std::size_t> next{0};
    std::mutex error_mutex;
    std::exception_ptr error;  // first failure, guarded by error_mutex

    Job(std::size_t count_, std::size_t chunk_, std::atomic<bool>& stop_,
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

class WorkerPool {
public:
    explicit WorkerPool(std::size_t workers) : workers_(workers) {}

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

    void run(Job& j, const std::function<bool()>& poll) {
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
        name_this_thread("lexispan-worker");
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            work_ready_.wait(lock, [&] { return shutdown_ || generation_ != seen; });
            if (shutdown_) {
                return;
            }
            seen = generation_;
            Job* const j = current_;
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
    Job* current_ = nullptr;
    std::uint64_t generation_ = 0;
    std::size_t running_ = 0;
    bool shutdown_ = false;
};

// Process-wide creation state. Trivially destructible members only, so no
// destructor runs at exit; a forked child rebuilds it from scratch.
struct PoolRegistry {
    std::mutex create_mutex;
    WorkerPool* instance = nullptr;  // leaked on purpose: lives until the process ends
    bool failed = false;
    char failure_detail[128] = {};
};

constinit PoolRegistry g_registry;

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
// created: pthread_atfork (behind run_around_fork) takes the C library's fork-handler lock, which a
// concurrent fork() holds while our prepare handler waits for create_mutex,
// so registering under create_mutex could deadlock, and a child forked
// mid-registration would inherit a half-done once-state.
[[maybe_unused]] const int g_fork_handlers_registered =
    run_around_fork(prepare_fork, parent_after_fork, child_after_fork);

void remember_failure(const char* detail) noexcept {
    g_registry.failed = true;
    std::snprintf(g_registry.failure_detail, sizeof g_registry.failure_detail, "%s", detail);
}

[[noreturn]] void throw_unavailable() {
    if (g_registry.failure_detail[0] != '\0') {
        throw PoolUnavailable(g_registry.failure_detail);
    }
    throw PoolUnavailable();
}

WorkerPool& global_pool() {
    const std::lock_guard lock(g_registry.create_mutex);
    if (g_registry.instance != nullptr) {
        return *g_registry.instance;
    }
    if (g_registry.failed) {
        throw_unavailable();
    }
    const std::size_t workers = resolve_worker_count(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_parallelism());
    WorkerPool* pool = nullptr;
    try {
        pool = new WorkerPool(workers);
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
    Job j(count, chunk == 0 ? 1 : chunk, stop, body);
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
