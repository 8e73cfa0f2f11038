// The columns a table call can ask for: the word's frequency, the record's
// fields in record order, the catalogue measures, then the field's recent
// measures. The names are the ones Python sees.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace lexispan {

enum class Column : std::uint8_t {
    frequency,
    range,
    sd_population,
    vc_population,
    juilland_d,
    carroll_d2,
    roschengren_s_adj,  // the record's public field name, spelled so: not to be "fixed"
    dp,
    dp_norm,
    kl_divergence,
    jsd_dispersion,
    hellinger_dispersion,
    mean_text_frequency_ft,
    pervasiveness_pt,
    evenness_da,
    ft_adjusted_by_pt,
    ft_adjusted_by_da,
    // The catalogue of the field's reference tools, beyond the record.
    idf,
    maxmin,
    engwall_fm,
    juilland_u,
    juilland_d_eq,
    carroll_um,
    rosengren_kf,
    zhang_dc,
    chi_squared,
    lyne_d3,
    kromer_ur,
    frequency_per_million,
    // Measures of the field since 2020, and the frequency-adjusted places
    // between the extremes of a word of the same frequency.
    egbert_dp,
    dkl_o2p,
    dkl_base2,
    dkl_base_e,
    range_by_size,
    dmb,
    dmb_low,
    dmb_high,
    dp_nofreq,
    egbert_dp_nofreq,
    dkl_nofreq,
    rosengren_s_nofreq,
    range_nofreq,
};

inline constexpr std::size_t column_count = 42;

inline constexpr std::array<std::string_view, column_count> column_names = {
    "frequency",          "range",
    "sd_population",      "vc_population",
    "juilland_d",         "carroll_d2",
    "roschengren_s_adj",  "dp",
    "dp_norm",            "kl_divergence",
    "jsd_dispersion",     "hellinger_dispersion",
    "mean_text_frequency_ft", "pervasiveness_pt",
    "evenness_da",        "ft_adjusted_by_pt",
    "ft_adjusted_by_da",
    "idf",                "maxmin",
    "engwall_fm",         "juilland_u",
    "juilland_d_eq",      "carroll_um",
    "rosengren_kf",       "zhang_dc",
    "chi_squared",        "lyne_d3",
    "kromer_ur",          "frequency_per_million",
    "egbert_dp",          "dkl_o2p",
    "dkl_base2",          "dkl_base_e",
    "range_by_size",      "dmb",
    "dmb_low",            "dmb_high",
    "dp_nofreq",          "egbert_dp_nofreq",
    "dkl_nofreq",         "rosengren_s_nofreq",
    "range_nofreq",
};

[[nodiscard]] inline constexpr std::size_t index_of(Column column) noexcept {
    return static_cast<std::size_t>(column);
}

[[nodiscard]] inline std::optional<Column> column_named(std::string_view name) noexcept {
    for (std::size_t i = 0; i < column_count; ++i) {
        if (column_names[i] == name) {
            return static_cast<Column>(i);
        }
    }
    return std::nullopt;
}

// Row values; `range` is the record's integer, the rest are indexed by
// column (the range slot of `values` is unused).
struct RowValues {
    std::int32_t range = 0;
    std::array<double, column_count> values{};
};

// Which columns a call computes (nothing else runs), and the confidence
// level of D_MB's interval.
class ColumnSet {
public:
    static constexpr double default_level = 0.95;

    void add(Column column) noexcept { wanted_[index_of(column)] = true; }
    // `level` in (0, 1), checked by the caller.
    void set_level(double level) noexcept { level_ = level; }
    [[nodiscard]] double level() const noexcept { return level_; }
    [[nodiscard]] bool has(Column column) const noexcept { return wanted_[index_of(column)]; }
    [[nodiscard]] bool needs_catalogue() const noexcept {
        for (std::size_t i = index_of(Column::idf); i < column_count; ++i) {
            if (wanted_[i]) {
                return true;
            }
        }
        return false;
    }
    // DA's pair sum is the one quadratic step; only these columns need it.
    [[nodiscard]] bool needs_da() const noexcept {
        return has(Column::evenness_da) || has(Column::ft_adjusted_by_da);
    }

private:
    std::array<bool, column_count> wanted_{};
    double level_ = default_level;
};

}  // namespace lexispan
