// The steps the allocation rules share: s f split into whole tokens and a
// fraction, and the choice of the places with the largest fractions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>


namespace lexispan::allocation_steps {

// s f as floor and fraction, from the exact product (fma gives its low
// part), the floor capped at `cap`. A fraction that rounds up to 1 is kept
// below the next whole.
struct Scaled {
    std::uint64_t whole;
    double fraction;
};
[[nodiscard]] Scaled scaled(double s, double f, std::uint64_t cap) noexcept;

// Reorders `places` so that its first `take` are those with the largest
// fractions, equal fractions by part (`parts` maps a place to its part);
// the fractions lie in [0, 1).
void select_largest_fractions(std::vector<std::uint32_t>& places, std::size_t take,
                              std::span<const std::uint32_t> parts,
                              std::span<const double> fractions);

}  // namespace lexispan::allocation_steps
