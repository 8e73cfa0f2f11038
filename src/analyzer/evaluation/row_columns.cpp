// The one ladder from the asked-for columns to the measures.
#include "analyzer/evaluation/row_columns.hpp"

#include <algorithm>
#include <limits>

#include "analyzer/measures/catalogue_measures.hpp"
#include "analyzer/measures/recent_measures.hpp"

namespace lexispan {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The record's fields and the catalogue; DP, KL and S also when a recent
// measure is built on them.
template <class Walk>
void fill_established(const RowView<Walk>& row, const ColumnSet& columns, RowValues& out) {
    const auto set = [&out](Column column, double value) { out.values[index_of(column)] = value; };
    const auto any = [&columns](Column a, Column b) { return columns.has(a) || columns.has(b); };
    const Walk& walk = row.walk;
    const double f = row.frequency;
    const std::size_t n = walk.parts();
    set(Column::frequency, f);
    out.range = row.range;
    // Every row of a call has parts, so the record's optional fields all
    // have values.
    if (any(Column::sd_population, Column::vc_population) || columns.has(Column::juilland_d_eq)) {
        // vc_population is vc_from_sd of the SD: one walk serves all three.
        const double m = row.mean_frequency();
        const double sd = *sd_population(walk, f, m);
        const double vc = vc_from_sd(sd, m);
        set(Column::sd_population, sd);
        set(Column::vc_population, vc);
        set(Column::juilland_d_eq, juilland_d_equal_parts_from_vc(vc, f, m, n));
    }
    if (any(Column::juilland_d, Column::juilland_u)) {
        const double d = juilland_d(walk, f, row.mean_q());
        set(Column::juilland_d, d);
        set(Column::juilland_u, juilland_u(d, f));
    }
    if (any(Column::carroll_d2, Column::carroll_um)) {
        const double d2 = carroll_d2(walk, f, row.q_total);
        set(Column::carroll_d2, d2);
        set(Column::carroll_um, carroll_um(f, d2, n));
    }
    if (any(Column::roschengren_s_adj, Column::rosengren_s_nofreq)) {
        set(Column::roschengren_s_adj, roschengren_s_adj(walk, f));
    }
    if (any(Column::dp, Column::dp_norm) || any(Column::egbert_dp, Column::egbert_dp_nofreq) ||
        columns.has(Column::dp_nofreq)) {
        const double deviation = dp(walk, f, row.absent);
        set(Column::dp, deviation);
        set(Column::dp_norm, dp_norm_from_dp(deviation, row.min_relative));
    }
    if (any(Column::kl_divergence, Column::dkl_o2p) || any(Column::dkl_base2, Column::dkl_base_e) ||
        columns.has(Column::dkl_nofreq)) {
        set(Column::kl_divergence, kl_divergence(walk, f));
    }
    if (columns.has(Column::jsd_dispersion)) {
        set(Column::jsd_dispersion, jsd_dispersion(walk, f, row.absent));
    }
    if (columns.has(Column::hellinger_dispersion)) {
        set(Column::hellinger_dispersion, hellinger_dispersion(walk, f));
    }
    const double ft = row.mean_q();
    const double pt = pervasiveness(row.range, n);
    set(Column::mean_text_frequency_ft, ft);
    set(Column::pervasiveness_pt, pt);
    set(Column::ft_adjusted_by_pt, ft_adjusted_by_pt(ft, pt));
    if (columns.has(Column::idf)) {
        set(Column::idf, inverse_document_frequency(row.range, n));
    }
    if (columns.has(Column::engwall_fm)) {
        set(Column::engwall_fm, engwall_fm(f, row.range, n));
    }
    if (columns.has(Column::frequency_per_million)) {
        set(Column::frequency_per_million, frequency_per_million(f, row.total));
    }
    if (columns.has(Column::maxmin)) {
        set(Column::maxmin, max_min_spread(walk));
    }
    if (columns.has(Column::rosengren_kf)) {
        set(Column::rosengren_kf, rosengren_kf(walk, f));
    }
    if (columns.has(Column::zhang_dc)) {
        set(Column::zhang_dc, zhang_dc(walk, f));
    }
    if (any(Column::chi_squared, Column::lyne_d3)) {
        const double chi = chi_squared(walk, f);
        set(Column::chi_squared, chi);
        set(Column::lyne_d3, lyne_d3(chi, f));
    }
    if (columns.has(Column::kromer_ur)) {
        set(Column::kromer_ur, kromer_ur(walk));
    }
}

// Which per-frequency values the row needs: the extremes only for a word of
// whole counts (a number of tokens to allocate), D_MB's only when f is not 0.
template <class Walk, class Whole>
unsigned frequency_families(const RowView<Walk>& row, const ColumnSet& columns, Whole whole) {
    unsigned families = 0;
    if (row.frequency != 0.0) {
        families |= columns.has(Column::dmb) ? dmb_share : 0U;
        families |= columns.has(Column::dmb_low) || columns.has(Column::dmb_high) ? dmb_interval
                                                                                   : 0U;
    }
    const unsigned extremes =
        (columns.has(Column::dp_nofreq) ? dp_extremes : 0U) |
        (columns.has(Column::egbert_dp_nofreq) ? egbert_extremes : 0U) |
        (columns.has(Column::dkl_nofreq) ? dkl_extremes : 0U) |
        (columns.has(Column::rosengren_s_nofreq) ? rosengren_s_extremes : 0U);
    if (extremes != 0 && allocatable_frequency(row.frequency) && whole()) {
        families |= extremes;
    }
    return families;
}

// The recent measures, from the walk, the values fill_established left in
// `out` and the call's per-frequency values.
template <class Walk>
void fill_recent(const RowView<Walk>& row, const ColumnSet& columns, RowValues& out) {
    const auto set = [&out](Column column, double value) { out.values[index_of(column)] = value; };
    const auto value = [&out](Column column) { return out.values[index_of(column)]; };
    const double f = row.frequency;
    const std::size_t n = row.walk.parts();
    if (columns.has(Column::egbert_dp) || columns.has(Column::egbert_dp_nofreq)) {
        set(Column::egbert_dp, egbert_dp(row.walk, f, row.range, value(Column::dp)));
    }
    if (columns.has(Column::dkl_o2p) || columns.has(Column::dkl_nofreq)) {
        set(Column::dkl_o2p, dkl_o2p(value(Column::kl_divergence), f));
    }
    if (columns.has(Column::dkl_base2)) {
        set(Column::dkl_base2, dkl_base2(value(Column::kl_divergence), f));
    }
    if (columns.has(Column::dkl_base_e)) {
        set(Column::dkl_base_e, dkl_base_e(value(Column::kl_divergence), f));
    }
    if (columns.has(Column::range_by_size)) {
        set(Column::range_by_size, range_by_size(row.walk));
    }
    // Whether the counts are whole, asked once.
    int whole = -1;
    const auto whole_row = [&]() {
        if (whole < 0) {
            whole = whole_counts(row.walk) ? 1 : 0;
        }
        return whole == 1;
    };
    const unsigned families = frequency_families(row, columns, whole_row);
    const FrequencyValues* shared = families != 0 && row.by_frequency != nullptr
                                        ? &row.by_frequency->at(f, columns.level(), families)
                                        : nullptr;
    const auto dmb_at = [&](unsigned family, double FrequencyValues::*share) {
        if (f == 0.0) {
            return 0.0;
        }
        return (families & family) != 0 && shared != nullptr
                   ? dmb_from_share(shared->*share, row.range, n)
                   : nan_value;
    };
    set(Column::dmb, dmb_at(dmb_share, &FrequencyValues::absent_share));
    // The larger rate expects fewer absent parts: the lower limit.
    set(Column::dmb_low, dmb_at(dmb_interval, &FrequencyValues::absent_share_larger_rate));
    set(Column::dmb_high, dmb_at(dmb_interval, &FrequencyValues::absent_share_smaller_rate));
    // A place between the extremes of the measure in column `measure`.
    const auto adjusted = [&](Column column, Column measure, unsigned family,
                              FrequencyValues::Extremes FrequencyValues::*extremes) {
        if ((families & family) != 0 && shared != nullptr) {
            const FrequencyValues::Extremes& e = shared->*extremes;
            set(column, frequency_adjusted(value(measure), e.least, e.most));
        } else {
            set(column, nan_value);
        }
    };
    adjusted(Column::dp_nofreq, Column::dp, dp_extremes, &FrequencyValues::dp);
    adjusted(Column::egbert_dp_nofreq, Column::egbert_dp, egbert_extremes,
             &FrequencyValues::egbert_dp);
    adjusted(Column::dkl_nofreq, Column::dkl_o2p, dkl_extremes, &FrequencyValues::dkl);
    adjusted(Column::rosengren_s_nofreq, Column::roschengren_s_adj, rosengren_s_extremes,
             &FrequencyValues::rosengren_s);
    if (columns.has(Column::range_nofreq)) {
        const std::size_t usable = row.by_frequency != nullptr ? row.by_frequency->usable_parts() : 0;
        const bool defined =
            usable > 0 && allocatable_frequency(f) && whole_row();
        const double most = std::min(f, static_cast<double>(usable));
        set(Column::range_nofreq, defined ? frequency_adjusted(static_cast<double>(row.range),
                                                               1.0, most)
                                          : nan_value);
    }
}

template <class Walk>
void fill(const RowView<Walk>& row, const ColumnSet& columns, RowValues& out) {
    fill_established(row, columns, out);
    fill_recent(row, columns, out);
}

}  // namespace

void fill_columns(const RowView<DenseWalk>& row, const ColumnSet& columns, RowValues& out) {
    fill(row, columns, out);
}

void fill_columns(const RowView<SparseWalk>& row, const ColumnSet& columns, RowValues& out) {
    fill(row, columns, out);
}

}  // namespace lexispan
