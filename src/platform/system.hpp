// What the core asks of the operating system: processors, the L2 size,
// thread names and fork handlers. Linux and other POSIX systems answer
// through their own calls; anywhere else standard C++ gives a fallback.
#pragma once

#include <cstddef>
#include <optional>

namespace lexispan {

// Processors this process may run on: its affinity mask (Linux), else the
// processors online (POSIX), else std::thread::hardware_concurrency;
// nullopt when none of them tells.
[[nodiscard]] std::optional<std::size_t> usable_processors() noexcept;

// Bytes of L2 cache per core, or 1 MiB where the system does not tell (or
// tells less than 64 KiB, which no current core has).
[[nodiscard]] std::size_t l2_cache_bytes() noexcept;

// Names the calling thread where the system keeps thread names (at most 15
// characters on Linux); does nothing elsewhere.
void name_this_thread(const char* name) noexcept;

// Handlers run around fork() on POSIX systems, as pthread_atfork runs them;
// elsewhere there is no fork and nothing is registered. Returns 0 or an
// error number.
int run_around_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

}  // namespace lexispan
