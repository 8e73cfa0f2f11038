// DA's quadratic pair sum for several rows side by side.
#pragma once

#include <atomic>
#include <cstddef>

namespace lexispan {

// The most rows one call takes: three chains of eight lanes, enough to keep
// the widest kernel's adder busy. Callers size their groups by it.
inline constexpr std::size_t da_lanes = 24;

// For each of `count` rows (count <= da_lanes), all of length n, writes to
// sums[r] exactly what da_pair_sum(rows[r], n) returns: every lane adds its
// own row's terms in that row's order, so only independent rows share an
// instruction and no sum is reassociated.
void da_pair_sums(const double* const* rows, std::size_t count, std::size_t n, double* sums);

// The same, giving up between slices of about a few milliseconds of work
// once `stop` is set: returns false then, with the sums unspecified. The
// sums of a call that returns true are those of da_pair_sums.
[[nodiscard]] bool da_pair_sums(const double* const* rows, std::size_t count, std::size_t n,
                                double* sums, const std::atomic<bool>& stop);

// The kernels run at cpu_level() (platform/cpu_dispatch.hpp), which tests
// force to each level to show that they agree.

// da_pair_sums, with the bytes of cache the streamed rows may fill given
// instead of this processor's L2 size. The result does not depend on it;
// tests pass small budgets to reach every regrouping of the rows on short
// ones.
void da_pair_sums_with_budget(const double* const* rows, std::size_t count, std::size_t n,
                              double* sums, std::size_t stream_budget);
// ... and stoppable as the stoppable da_pair_sums, looking at `stop` after
// every `slice_rows` values of i (0: a few milliseconds' worth).
[[nodiscard]] bool da_pair_sums_with_budget(const double* const* rows, std::size_t count,
                                            std::size_t n, double* sums,
                                            std::size_t stream_budget,
                                            const std::atomic<bool>* stop,
                                            std::size_t slice_rows = 0);

}  // namespace lexispan
