// Construction and the cache rules of the corpus profile.
#include "analyzer/profile/corpus_profile.hpp"

#include <limits>
#include <utility>

namespace lexispan {

namespace {

// Start at -0.0 and add in index order: the start value decides the sign of
// an all-zero sum.
double sum_from_negative_zero(const std::vector<double>& values) noexcept {
    double sum = -0.0;
    for (const double x : values) {
        sum += x;
    }
    return sum;
}

}  // namespace

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
    profile.total_frequency = sum_from_negative_zero(v);

    profile.relative_partition_sizes.resize(profile.n);
    profile.normalized_frequencies.resize(profile.n);
    for (std::size_t i = 0; i < profile.n; ++i) {
        const double size = part_sizes[i];
        profile.relative_partition_sizes[i] = relative_size(size, total_corpus_words);
        profile.normalized_frequencies[i] = normalized_frequency(v[i], size);
    }
    profile.v = std::move(v);
    profile.corpus_part_sizes = std::move(part_sizes);
    return profile;
}

void refill_corpus_profile(CorpusProfile& profile, const double* v, std::size_t n,
                           const std::vector<double>& part_sizes,
                           const std::vector<double>& relative_sizes,
                           double total_corpus_words) {
    profile.v.assign(v, v + n);
    profile.n = n;
    profile.total_corpus_words = total_corpus_words;
    profile.total_frequency = sum_from_negative_zero(profile.v);
    if (profile.corpus_part_sizes.data() != part_sizes.data()) {
        profile.corpus_part_sizes = part_sizes;
    }
    profile.relative_partition_sizes = relative_sizes;
    profile.normalized_frequencies.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        profile.normalized_frequencies[i] = normalized_frequency(v[i], part_sizes[i]);
    }
    profile.cached_range.reset();
    profile.cached_mean_frequency.reset();
    profile.cached_mean_normalized_frequency.reset();
    profile.cached_normalized_frequency_sum.reset();
    profile.cached_min_relative_size.reset();
}

std::int32_t range_count(CorpusProfile& profile) noexcept {
    if (!profile.cached_range) {
        std::int64_t count = 0;
        for (const double x : profile.v) {
            if (x > 0.0) {
                ++count;
            }
        }
        // A count beyond the 32-bit field would need over 2**31 parts.
        constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
        profile.cached_range = static_cast<std::int32_t>(count < limit ? count : limit);
    }
    return *profile.cached_range;
}

double mean_frequency(CorpusProfile& profile) noexcept {
    if (!profile.cached_mean_frequency) {
        profile.cached_mean_frequency = profile.total_frequency / as_double(profile.n);
    }
    return *profile.cached_mean_frequency;
}

double mean_normalized_frequency(CorpusProfile& profile) noexcept {
    if (!profile.cached_mean_normalized_frequency) {
        // The same sum as normalized_frequency_sum, computed afresh: filling
        // the mean must not fill the sum cache.
        profile.cached_mean_normalized_frequency =
            sum_from_negative_zero(profile.normalized_frequencies) / as_double(profile.n);
    }
    return *profile.cached_mean_normalized_frequency;
}

double normalized_frequency_sum(CorpusProfile& profile) noexcept {
    if (!profile.cached_normalized_frequency_sum) {
        profile.cached_normalized_frequency_sum =
            sum_from_negative_zero(profile.normalized_frequencies);
    }
    return *profile.cached_normalized_frequency_sum;
}

double min_relative_size(CorpusProfile& profile) noexcept {
    if (!profile.cached_min_relative_size) {
        double smallest = std::numeric_limits<double>::infinity();
        for (const double s : profile.relative_partition_sizes) {
            // NaN never compares smaller; an equal value does not replace.
            if (s < smallest) {
                smallest = s;
            }
        }
        profile.cached_min_relative_size = smallest;
    }
    return *profile.cached_min_relative_size;
}

}  // namespace lexispan
