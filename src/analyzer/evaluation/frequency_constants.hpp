// What the words of a call that share a frequency share: the values of the
// frequency-adjusted measures at the least and the most dispersed
// allocation of f tokens, and D_MB's expected share of absent parts with
// its interval. Each is computed once per distinct f (and level) on first
// use, by whichever thread needs it first, and kept for the call; the
// values depend on f, the level and the part sizes only, so every row,
// walk and thread count reads the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "analyzer/measures/allocations.hpp"
#include "analyzer/measures/measures.hpp"

namespace lexispan {

class AbsentShares;

// The groups of values a row may need, as bits.
enum FrequencyFamily : unsigned {
    dp_extremes = 1U << 0,
    egbert_extremes = 1U << 1,
    dkl_extremes = 1U << 2,
    rosengren_s_extremes = 1U << 3,
    dmb_share = 1U << 4,
    dmb_interval = 1U << 5,
};

struct FrequencyValues {
    // A measure at the least and at the most dispersed allocation; NaN
    // when the call allows no allocation (see FrequencyConstants).
    struct Extremes {
        double least;
        double most;
    };
    Extremes dp;
    Extremes egbert_dp;
    Extremes dkl;  // dkl_o2p
    Extremes rosengren_s;
    // E at lambda = f / T, and at lambda times the larger and the smaller
    // root of u - 1 - ln u = q / (2 f), q the level's chi-squared quantile.
    double absent_share;
    double absent_share_larger_rate;
    double absent_share_smaller_rate;
};

class FrequencyConstants {
public:
    // `sizes` and `relative` hold c_i and s_i of every part. `absent` holds
    // the call's absent-part terms when its sizes qualify for the sparse
    // walk (finite, not negative, a finite positive total); without it, or
    // without a part of positive size, no allocation is defined and every
    // extreme is NaN. D_P's extremes need the s_i to add up to at most 1
    // (no part sizes beyond T).
    FrequencyConstants(std::span<const double> sizes, std::span<const double> relative,
                       double total, std::shared_ptr<const AbsentTerms> absent);
    FrequencyConstants(const FrequencyConstants&) = delete;
    FrequencyConstants& operator=(const FrequencyConstants&) = delete;
    ~FrequencyConstants();

    // The values for frequency f (a whole number from 1 to 2^53 for the
    // extremes; any f > 0 for D_MB) at `level`, with at least the
    // `families` filled. Thread-safe; the reference stays valid for the
    // object's life.
    [[nodiscard]] const FrequencyValues& at(double f, double level, unsigned families) const;
    // Parts of positive size (the most a word can be found in); 0 when no
    // allocation is defined.
    [[nodiscard]] std::size_t usable_parts() const noexcept;

private:
    struct Entry;
    struct Key {
        std::uint64_t f;
        std::uint64_t level;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };

    [[nodiscard]] const PartOrder* order() const;
    // E at each rate, through the grouped sizes when the sizes qualify.
    void absent_shares(std::span<const double> rates, std::span<double> shares) const;
    void compute(double f, double level, unsigned families, FrequencyValues& into) const;
    void compute_extremes(std::uint64_t f, unsigned families, FrequencyValues& into) const;

    std::vector<double> sizes_;
    std::vector<double> relative_;
    double total_;
    std::shared_ptr<const AbsentTerms> absent_;
    std::size_t usable_ = 0;
    mutable std::mutex mutex_;
    mutable std::unique_ptr<PartOrder> order_;
    mutable bool order_built_ = false;
    mutable std::unique_ptr<const AbsentShares> grouped_sizes_;
    mutable std::unordered_map<Key, std::unique_ptr<Entry>, KeyHash> entries_;
};

}  // namespace lexispan
