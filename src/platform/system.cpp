// The operating system's answers, by system: Linux, other POSIX systems,
// then standard C++ for the rest (Windows among them). Defining
// LEXISPAN_STANDARD_SYSTEM takes the standard answers everywhere, so that
// tools/ci-portable can compile them here.
#include "platform/system.hpp"

#include <thread>

#if defined(__linux__) && !defined(LEXISPAN_STANDARD_SYSTEM)
#define LEXISPAN_LINUX 1
#else
#define LEXISPAN_LINUX 0
#endif
#if (defined(__unix__) || defined(__APPLE__)) && !defined(LEXISPAN_STANDARD_SYSTEM)
#define LEXISPAN_POSIX 1
#else
#define LEXISPAN_POSIX 0
#endif

#if LEXISPAN_POSIX
#include <pthread.h>
#include <unistd.h>
#endif
#if LEXISPAN_LINUX
#include <sched.h>

#include <cerrno>
#endif

namespace lexispan {

namespace {

#if LEXISPAN_LINUX
std::optional<std::size_t> affinity_processors() noexcept {
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
#endif

}  // namespace

std::optional<std::size_t> usable_processors() noexcept {
#if LEXISPAN_LINUX
    if (const auto count = affinity_processors()) {
        return count;
    }
#endif
#if LEXISPAN_POSIX
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) {
        return static_cast<std::size_t>(online);
    }
#endif
    const unsigned hardware = std::thread::hardware_concurrency();
    if (hardware > 0) {
        return hardware;
    }
    return std::nullopt;
}

std::size_t l2_cache_bytes() noexcept {
    constexpr long fallback = 1L << 20;
    long l2 = 0;
#if LEXISPAN_POSIX && defined(_SC_LEVEL2_CACHE_SIZE)
    l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
    if (l2 < (64L << 10)) {
        l2 = fallback;
    }
    return static_cast<std::size_t>(l2);
}

void name_this_thread([[maybe_unused]] const char* name) noexcept {
#if LEXISPAN_LINUX
    pthread_setname_np(pthread_self(), name);
#elif defined(__APPLE__)
    pthread_setname_np(name);
#endif
}

int run_around_fork([[maybe_unused]] void (*prepare)(), [[maybe_unused]] void (*parent)(),
                    [[maybe_unused]] void (*child)()) noexcept {
#if LEXISPAN_POSIX
    return pthread_atfork(prepare, parent, child);
#else
    return 0;
#endif
}

}  // namespace lexispan
