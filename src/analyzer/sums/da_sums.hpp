// DA's sum of |q_i - q_j| over the pairs i < j of one row, in each of its
// forms; the multi-row kernels (da_pair_sums.hpp) give da_pair_sum's bits
// for several rows at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lexispan {

// From +0.0, i then j ascending.
[[nodiscard]] double da_pair_sum(const double* q, std::size_t n) noexcept;

// The same bits for a row of n parts whose nonzero q are `values` at strictly
// ascending `parts` (all finite and > 0). `scratch` is working storage.
[[nodiscard]] double sparse_da_pair_sum(const std::uint32_t* parts, const double* values,
                                        std::size_t count, std::size_t n,
                                        std::vector<std::uint64_t>& scratch);
// The same, giving up (nothing) once `stop` is set: a row found in tens of
// thousands of parts takes seconds.
[[nodiscard]] std::optional<double> sparse_da_pair_sum(const std::uint32_t* parts,
                                                       const double* values, std::size_t count,
                                                       std::size_t n,
                                                       std::vector<std::uint64_t>& scratch,
                                                       const std::atomic<bool>* stop);

// By the sorted identity with compensated summation, for a row of n values
// of which the `count` values in `nonzero` are the ones that are not zero
// (any order; the array is sorted in place). NaN when a value is not finite.
[[nodiscard]] double sorted_pair_sum(double* nonzero, std::size_t count, std::size_t n) noexcept;

}  // namespace lexispan
