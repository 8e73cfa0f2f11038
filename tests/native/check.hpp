// What every native test program uses: checks that end the program at the first failure (from
// any thread, without running exit handlers under a live pool), a double's bits, and NaNs of a
// chosen payload and sign.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
    std::fflush(nullptr);
    std::_Exit(1);
}

#define CHECK(cond)                                   \
    do {                                              \
        if (!(cond)) fail(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_MSG(cond, msg)                                                                 \
    do {                                                                                     \
        if (!(cond)) fail(__FILE__, __LINE__, std::string(#cond) + ": " + std::string(msg)); \
    } while (0)

inline std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// A quiet NaN: the low 51 bits of `payload`, the sign bit when `negative`.
inline double nan_with_payload(std::uint64_t payload, bool negative) {
    return std::bit_cast<double>((negative ? std::uint64_t{1} << 63 : 0) | 0x7ff8000000000000u |
                                 (payload & 0x0007ffffffffffffu));
}
