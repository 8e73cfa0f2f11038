// One word's distribution over the corpus parts, validated once, with the
// lazily filled sums and counts that the measures share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "analyzer/profile/measure_result.hpp"
#include "analyzer/profile/part_walk.hpp"

namespace lexispan {

struct CorpusProfile {
    std::vector<double> v;
    std::vector<double> corpus_part_sizes;
    std::vector<double> relative_partition_sizes;
    std::vector<double> normalized_frequencies;
    double total_corpus_words = 0.0;
    std::size_t n = 0;
    double total_frequency = 0.0;

    // Each cache is filled once, by one rule, whichever measure needs it
    // first; a filled cache is never emptied or refilled.
    std::optional<std::int32_t> cached_range;
    std::optional<double> cached_mean_frequency;
    std::optional<double> cached_mean_normalized_frequency;
    std::optional<double> cached_normalized_frequency_sum;
    std::optional<double> cached_min_relative_size;
};

inline constexpr const char* length_mismatch_message =
    "Frequency vector and part sizes vector must have the same length.";
inline constexpr const char* empty_input_message = "Input vectors cannot be empty.";
inline constexpr const char* nonpositive_total_message = "Total corpus words must be positive.";

// Every check make_corpus_profile makes, in its order: they depend on the
// lengths and the total only, never on the values.
[[nodiscard]] std::optional<MeasureError> check_profile_shape(std::size_t length,
                                                              std::size_t part_count,
                                                              double total_corpus_words);

// Validates and takes over both vectors; on an error both are released.
[[nodiscard]] Result<CorpusProfile> make_corpus_profile(std::vector<double> v,
                                                        std::vector<double> part_sizes,
                                                        double total_corpus_words);

// The profile's derived values, in one place for every way of building one.
[[nodiscard]] inline double relative_size(double part_size, double total_corpus_words) noexcept {
    return part_size / total_corpus_words;
}
[[nodiscard]] inline double normalized_frequency(double count, double part_size) noexcept {
    return part_size > 0.0 ? count / part_size : 0.0;
}

// Every part of the profile, zeros included.
[[nodiscard]] inline DenseWalk dense_walk(const CorpusProfile& profile) noexcept {
    return {profile.v.data(), profile.normalized_frequencies.data(),
            profile.relative_partition_sizes.data(), profile.n};
}

// Cache readers: return the stored value, computing and storing it first
// (through the row summaries of part_walk.hpp) when the cache is empty.
[[nodiscard]] std::int32_t range_count(CorpusProfile& profile) noexcept;
[[nodiscard]] double mean_frequency(CorpusProfile& profile) noexcept;
[[nodiscard]] double mean_normalized_frequency(CorpusProfile& profile) noexcept;
[[nodiscard]] double normalized_frequency_sum(CorpusProfile& profile) noexcept;
[[nodiscard]] double min_relative_size(CorpusProfile& profile) noexcept;

}  // namespace lexispan
