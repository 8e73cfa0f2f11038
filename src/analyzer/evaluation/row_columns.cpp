// The one ladder from the asked-for columns to the measures.
#include "analyzer/evaluation/row_columns.hpp"

#include "analyzer/measures/catalogue_measures.hpp"

namespace lexispan {

namespace {

template <class Walk>
void fill(const RowView<Walk>& row, const ColumnSet& columns, RowValues& out) {
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
    if (columns.has(Column::roschengren_s_adj)) {
        set(Column::roschengren_s_adj, roschengren_s_adj(walk, f));
    }
    if (any(Column::dp, Column::dp_norm)) {
        const double deviation = dp(walk, f, row.absent);
        set(Column::dp, deviation);
        set(Column::dp_norm, dp_norm_from_dp(deviation, row.min_relative));
    }
    if (columns.has(Column::kl_divergence)) {
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

}  // namespace

void fill_columns(const RowView<DenseWalk>& row, const ColumnSet& columns, RowValues& out) {
    fill(row, columns, out);
}

void fill_columns(const RowView<SparseWalk>& row, const ColumnSet& columns, RowValues& out) {
    fill(row, columns, out);
}

}  // namespace lexispan
