// Construction and the cache rules of the corpus profile.
#include "analyzer/profile/corpus_profile.hpp"

#include <utility>

namespace lexispan {

std::optional<MeasureError> check_profile_shape(std::size_t length, std::size_t part_count,
                                                double total_corpus_words) {
    if (length != part_count) {
        return MeasureError{length_mismatch_message};
    }
    if (length == 0) {
        return MeasureError{empty_input_message};
    }
    // Written so that a NaN total passes.
    if (0.0 >= total_corpus_words) {
        return MeasureError{nonpositive_total_message};
    }
    return std::nullopt;
}

Result<CorpusProfile> make_corpus_profile(std::vector<double> v, std::vector<double> part_sizes,
                                          double total_corpus_words) {
    if (std::optional<MeasureError> error =
            check_profile_shape(v.size(), part_sizes.size(), total_corpus_words)) {
        return *std::move(error);
    }

    CorpusProfile profile;
    profile.n = v.size();
    profile.total_corpus_words = total_corpus_words;
    profile.relative_partition_sizes.resize(profile.n);
    profile.normalized_frequencies.resize(profile.n);
    for (std::size_t i = 0; i < profile.n; ++i) {
        const double size = part_sizes[i];
        profile.relative_partition_sizes[i] = relative_size(size, total_corpus_words);
        profile.normalized_frequencies[i] = normalized_frequency(v[i], size);
    }
    profile.v = std::move(v);
    profile.corpus_part_sizes = std::move(part_sizes);
    profile.total_frequency = frequency_of(dense_walk(profile));
    return profile;
}

std::int32_t range_count(CorpusProfile& profile) noexcept {
    if (!profile.cached_range) {
        profile.cached_range = range_of(dense_walk(profile));
    }
    return *profile.cached_range;
}

double mean_frequency(CorpusProfile& profile) noexcept {
    if (!profile.cached_mean_frequency) {
        profile.cached_mean_frequency = mean_of(profile.total_frequency, profile.n);
    }
    return *profile.cached_mean_frequency;
}

double mean_normalized_frequency(CorpusProfile& profile) noexcept {
    if (!profile.cached_mean_normalized_frequency) {
        // The same sum as normalized_frequency_sum, computed afresh: filling
        // the mean must not fill the sum cache.
        profile.cached_mean_normalized_frequency =
            mean_of(q_total_of(dense_walk(profile)), profile.n);
    }
    return *profile.cached_mean_normalized_frequency;
}

double normalized_frequency_sum(CorpusProfile& profile) noexcept {
    if (!profile.cached_normalized_frequency_sum) {
        profile.cached_normalized_frequency_sum = q_total_of(dense_walk(profile));
    }
    return *profile.cached_normalized_frequency_sum;
}

double min_relative_size(CorpusProfile& profile) noexcept {
    if (!profile.cached_min_relative_size) {
        profile.cached_min_relative_size = smallest(profile.relative_partition_sizes);
    }
    return *profile.cached_min_relative_size;
}

}  // namespace lexispan
