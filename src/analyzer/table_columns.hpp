// The columns a table call can ask for: the word's frequency, then the
// record's fields in record order. The names are the ones Python sees.
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
    roschengren_s_adj,
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
};

inline constexpr std::size_t column_count = 17;

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

// Which columns a call computes; nothing else runs.
class ColumnSet {
public:
    void add(Column column) noexcept { wanted_[index_of(column)] = true; }
    [[nodiscard]] bool has(Column column) const noexcept { return wanted_[index_of(column)]; }
    // DA's pair sum is the one quadratic step; only these columns need it.
    [[nodiscard]] bool needs_da() const noexcept {
        return has(Column::evenness_da) || has(Column::ft_adjusted_by_da);
    }

private:
    std::array<bool, column_count> wanted_{};
};

}  // namespace lexispan
