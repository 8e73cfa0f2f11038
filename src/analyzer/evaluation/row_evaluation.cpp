// Table rows through the record's own measure functions, so that every
// column has the record's bits.
#include "analyzer/evaluation/row_evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

#include "analyzer/measures/catalogue_measures.hpp"
#include "analyzer/sums/da_pair_sums.hpp"
#include "analyzer/measures/measures.hpp"

namespace lexispan {

Result<PartTable> make_part_table(std::vector<double> sizes, double total) {
    if (sizes.empty()) {
        return MeasureError{empty_input_message};
    }
    // Written so that a NaN total passes, as it does for a profile.
    if (0.0 >= total) {
        return MeasureError{nonpositive_total_message};
    }
    PartTable table;
    table.relative.resize(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        table.relative[i] = relative_size(sizes[i], total);
    }
    table.sparse = make_sparse_constants(sizes, table.relative, total);
    table.sizes = std::move(sizes);
    table.total = total;
    return table;
}

std::size_t row_group_size() noexcept { return da_lanes; }

RowScratch::RowScratch() : profiles_(da_lanes), da_(da_lanes), dense_q_(da_lanes) {}
RowScratch::RowScratch(RowScratch&&) noexcept = default;
RowScratch& RowScratch::operator=(RowScratch&&) noexcept = default;
RowScratch::~RowScratch() = default;

namespace {

// a * b + c as an unevaluated pair: the rounded product and its exact error.
struct TwoTerms {
    double high;
    double low;
};

TwoTerms exact_product(double a, double b) noexcept {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

// Neumaier's compensated sum: the running sum and the lost low-order parts.
class CompensatedSum {
public:
    void add(double x) noexcept {
        const double t = sum_ + x;
        if (std::fabs(sum_) >= std::fabs(x)) {
            compensation_ += (sum_ - t) + x;
        } else {
            compensation_ += (x - t) + sum_;
        }
        sum_ = t;
    }
    [[nodiscard]] double value() const noexcept { return sum_ + compensation_; }

private:
    double sum_ = 0.0;
    double compensation_ = 0.0;
};

double value_or_nan(const std::optional<double>& value) noexcept {
    return value ? *value : std::numeric_limits<double>::quiet_NaN();
}

bool all_finite(const double* values, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

double sorted_pair_sum(double* nonzero, std::size_t count, std::size_t n) noexcept {
    if (!all_finite(nonzero, count)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(nonzero, nonzero + count);
    // In ascending order the negative values come first, then the n - count
    // zeros, then the positive ones; the value of rank r (from 1) appears
    // with coefficient 2r - n - 1 in the sum over pairs.
    const std::size_t negatives =
        static_cast<std::size_t>(std::lower_bound(nonzero, nonzero + count, 0.0) - nonzero);
    const std::size_t zeros = n - count;
    const double n_plus_one = static_cast<double>(n) + 1.0;
    CompensatedSum sum;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t rank = i + 1 + (i < negatives ? 0 : zeros);
        const double coefficient = 2.0 * static_cast<double>(rank) - n_plus_one;
        const TwoTerms term = exact_product(coefficient, nonzero[i]);
        sum.add(term.high);
        sum.add(term.low);
    }
    return sum.value();
}

namespace {

// Keeps a row's counts > 0 as entries; false when a count is negative, -0.0
// or not finite (the row takes the plain path).
bool take_entry(double value, std::uint32_t part, std::vector<std::uint32_t>& parts,
                std::vector<double>& values) {
    if (value > 0.0 && value < std::numeric_limits<double>::infinity()) {
        parts.push_back(part);
        values.push_back(value);
        return true;
    }
    return value == 0.0 && !std::signbit(value);
}

// Whether the dense kernel, run for these rows alone, costs less than their
// sparse pair sums: a kernel call costs about n^2/2 steps of all da_lanes
// lanes (measured about 2.5 ns per pair of parts with AVX-512), a sparse sum
// about 1 ns per pair of nonzero parts.
bool kernel_pays_off(const std::vector<SparseDa>& da, const std::size_t* rows, std::size_t count,
                     std::size_t n) noexcept {
    if (count == 0) {
        return false;
    }
    double sparse_pairs = 0.0;
    for (std::size_t c = 0; c < count; ++c) {
        const auto k = static_cast<double>(da[rows[c]].values.size());
        sparse_pairs += k * k;
    }
    const auto parts = static_cast<double>(n);
    return sparse_pairs > 2.5 * parts * parts;
}

bool gather_entries(const WordRow& row, std::size_t n, std::vector<std::uint32_t>& parts,
                    std::vector<double>& values) {
    parts.clear();
    values.clear();
    if (row.dense != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!take_entry(row.dense[i], static_cast<std::uint32_t>(i), parts, values)) {
                return false;
            }
        }
        return true;
    }
    for (std::size_t e = 0; e < row.entries; ++e) {
        if (!take_entry(row.values[e], row.parts[e], parts, values)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void evaluate_catalogue(CorpusProfile& profile, const PartTable& parts, const ColumnSet& columns,
                        RowValues& values) noexcept {
    const double* v = profile.v.data();
    const std::size_t n = profile.n;
    const double f = profile.total_frequency;
    const double* relative = parts.relative.data();
    auto set = [&](Column column, double value) { values.values[index_of(column)] = value; };
    if (columns.has(Column::idf)) {
        set(Column::idf, inverse_document_frequency(get_range(profile), n));
    }
    if (columns.has(Column::maxmin)) {
        set(Column::maxmin, max_min_spread(v, n));
    }
    if (columns.has(Column::engwall_fm)) {
        set(Column::engwall_fm, engwall_fm(f, get_range(profile), n));
    }
    if (columns.has(Column::juilland_u)) {
        set(Column::juilland_u, juilland_u(get_juilland_d(profile), f));
    }
    if (columns.has(Column::juilland_d_eq)) {
        set(Column::juilland_d_eq, juilland_d_equal_parts(profile));
    }
    if (columns.has(Column::carroll_um)) {
        set(Column::carroll_um, carroll_um(f, get_carroll_d2(profile), n));
    }
    if (columns.has(Column::rosengren_kf)) {
        set(Column::rosengren_kf, rosengren_kf(v, relative, n, f));
    }
    if (columns.has(Column::zhang_dc)) {
        set(Column::zhang_dc, zhang_dc(v, n, f));
    }
    if (columns.has(Column::chi_squared) || columns.has(Column::lyne_d3)) {
        const double chi = chi_squared(v, relative, n, f);
        set(Column::chi_squared, chi);
        set(Column::lyne_d3, lyne_d3(chi, f));
    }
    if (columns.has(Column::kromer_ur)) {
        set(Column::kromer_ur, kromer_ur(v, n));
    }
    if (columns.has(Column::frequency_per_million)) {
        set(Column::frequency_per_million, frequency_per_million(f, parts.total));
    }
}

void evaluate_rows(const PartTable& parts, const WordRow* rows, std::size_t count,
                   const ColumnSet& columns, DaMethod da, RowScratch& scratch, RowValues* out,
                   const std::atomic<bool>* stop) {
    const std::size_t n = parts.parts();
    const bool sparse_call = parts.sparse != nullptr;
    bool plain[da_lanes];
    std::optional<double> evenness[da_lanes];
    // Rows whose DA pair sum runs on the dense kernel, from either path.
    const double* pending_rows[da_lanes];
    std::size_t pending_index[da_lanes];
    double pending_mean[da_lanes];
    std::size_t pending = 0;
    // Sparse rows whose pair sum may be cheaper on the dense kernel.
    std::size_t dense_candidates[da_lanes];
    std::size_t candidates = 0;

    for (std::size_t r = 0; r < count; ++r) {
        const WordRow& row = rows[r];
        plain[r] = true;
        if (sparse_call &&
            gather_entries(row, n, scratch.entry_parts_, scratch.entry_values_)) {
            const SparseRow entries{scratch.entry_parts_.data(), scratch.entry_values_.data(),
                                    scratch.entry_parts_.size()};
            SparseDa& needed = scratch.da_[r];
            if (evaluate_sparse_row(*parts.sparse, parts.sizes, parts.relative, entries, columns,
                                    scratch.sparse_, out[r], needed)) {
                plain[r] = false;
                if (!needed.pending) {
                    continue;
                }
                const std::size_t k = needed.values.size();
                double sum = 0.0;
                if (da == DaMethod::sorted) {
                    scratch.sorted_.assign(needed.values.begin(), needed.values.end());
                    sum = sorted_pair_sum(scratch.sorted_.data(), k, n);
                } else if (prefers_sparse_da(k, n)) {
                    const std::optional<double> found = sparse_da_pair_sum(
                        needed.parts.data(), needed.values.data(), k, n, scratch.da_units_, stop);
                    if (!found) {
                        return;  // stopped: the group is abandoned
                    }
                    sum = *found;
                } else {
                    // Found in most parts: the dense kernel, unless too few
                    // such rows share the call (decided below).
                    dense_candidates[candidates++] = r;
                    continue;
                }
                const double value = finish_evenness_da(sum, n, needed.mean);
                RowValues& values = out[r];
                values.values[index_of(Column::evenness_da)] = value;
                values.values[index_of(Column::ft_adjusted_by_da)] = ft_adjusted_by_da(
                    values.values[index_of(Column::mean_text_frequency_ft)], value);
                continue;
            }
        }

        const double* dense = row.dense;
        if (dense == nullptr) {
            scratch.dense_.assign(n, 0.0);
            for (std::size_t e = 0; e < row.entries; ++e) {
                scratch.dense_[row.parts[e]] = row.values[e];
            }
            dense = scratch.dense_.data();
        }
        CorpusProfile& profile = scratch.profiles_[r];
        refill_corpus_profile(profile, dense, n, parts.sizes, parts.relative, parts.total);
        if (!columns.needs_da()) {
            continue;
        }
        const DaPreparation prepared = prepare_evenness_da(profile);
        if (const auto* done = std::get_if<std::optional<double>>(&prepared)) {
            evenness[r] = *done;
            continue;
        }
        const double mean = std::get<DaPairSumNeeded>(prepared).mean;
        const std::vector<double>& q = profile.normalized_frequencies;
        if (da == DaMethod::sorted && all_finite(q.data(), n)) {
            scratch.sorted_.clear();
            for (const double x : q) {
                if (x != 0.0) {
                    scratch.sorted_.push_back(x);
                }
            }
            const double sum = sorted_pair_sum(scratch.sorted_.data(), scratch.sorted_.size(), n);
            evenness[r] = finish_evenness_da(sum, n, mean);
            continue;
        }
        // Pairwise, and rows that are not finite under either method: their
        // sum is decided by the order of the pairs.
        pending_rows[pending] = q.data();
        pending_index[pending] = r;
        pending_mean[pending] = mean;
        ++pending;
    }

    // The kernel costs the same for one row as for da_lanes of them.
    const bool kernel_runs = pending > 0 || kernel_pays_off(scratch.da_, dense_candidates,
                                                           candidates, n);
    for (std::size_t c = 0; c < candidates; ++c) {
        const std::size_t r = dense_candidates[c];
        const SparseDa& needed = scratch.da_[r];
        const std::size_t k = needed.values.size();
        if (kernel_runs) {
            std::vector<double>& q = scratch.dense_q_[r];
            q.assign(n, 0.0);
            for (std::size_t e = 0; e < k; ++e) {
                q[needed.parts[e]] = needed.values[e];
            }
            pending_rows[pending] = q.data();
            pending_index[pending] = r;
            pending_mean[pending] = needed.mean;
            ++pending;
            continue;
        }
        const std::optional<double> sum = sparse_da_pair_sum(
            needed.parts.data(), needed.values.data(), k, n, scratch.da_units_, stop);
        if (!sum) {
            return;
        }
        const double value = finish_evenness_da(*sum, n, needed.mean);
        RowValues& values = out[r];
        values.values[index_of(Column::evenness_da)] = value;
        values.values[index_of(Column::ft_adjusted_by_da)] =
            ft_adjusted_by_da(values.values[index_of(Column::mean_text_frequency_ft)], value);
    }

    if (pending > 0) {
        double sums[da_lanes];
        if (stop == nullptr) {
            da_pair_sums(pending_rows, pending, n, sums);
        } else if (!da_pair_sums(pending_rows, pending, n, sums, *stop)) {
            return;
        }
        for (std::size_t p = 0; p < pending; ++p) {
            const std::size_t r = pending_index[p];
            const double value = finish_evenness_da(sums[p], n, pending_mean[p]);
            if (plain[r]) {
                evenness[r] = value;
            } else {
                RowValues& values = out[r];
                values.values[index_of(Column::evenness_da)] = value;
                values.values[index_of(Column::ft_adjusted_by_da)] = ft_adjusted_by_da(
                    values.values[index_of(Column::mean_text_frequency_ft)], value);
            }
        }
    }

    for (std::size_t r = 0; r < count; ++r) {
        if (!plain[r]) {
            continue;
        }
        CorpusProfile& profile = scratch.profiles_[r];
        RowValues& values = out[r];
        auto set = [&](Column column, double value) { values.values[index_of(column)] = value; };
        if (columns.has(Column::frequency)) {
            set(Column::frequency, profile.total_frequency);
        }
        if (columns.has(Column::range)) {
            values.range = get_range(profile);
        }
        if (columns.has(Column::sd_population)) {
            set(Column::sd_population, value_or_nan(get_sd_population(profile)));
        }
        if (columns.has(Column::vc_population)) {
            set(Column::vc_population, value_or_nan(get_vc_population(profile)));
        }
        if (columns.has(Column::juilland_d)) {
            set(Column::juilland_d, get_juilland_d(profile));
        }
        if (columns.has(Column::carroll_d2)) {
            set(Column::carroll_d2, get_carroll_d2(profile));
        }
        if (columns.has(Column::roschengren_s_adj)) {
            set(Column::roschengren_s_adj, get_roschengren_s_adj(profile));
        }
        if (columns.has(Column::dp)) {
            set(Column::dp, get_dp(profile));
        }
        if (columns.has(Column::dp_norm)) {
            set(Column::dp_norm, get_dp_norm(profile));
        }
        if (columns.has(Column::kl_divergence)) {
            set(Column::kl_divergence, get_kl_divergence(profile));
        }
        if (columns.has(Column::jsd_dispersion)) {
            set(Column::jsd_dispersion, value_or_nan(get_jsd_dispersion(profile)));
        }
        if (columns.has(Column::hellinger_dispersion)) {
            set(Column::hellinger_dispersion, value_or_nan(get_hellinger_dispersion(profile)));
        }
        // n > 0 for every row of a table, so FT and PT are always present.
        const double ft = value_or_nan(get_mean_text_frequency_ft(profile));
        if (columns.has(Column::mean_text_frequency_ft)) {
            set(Column::mean_text_frequency_ft, ft);
        }
        if (columns.has(Column::pervasiveness_pt) || columns.has(Column::ft_adjusted_by_pt)) {
            const double pt = value_or_nan(get_pervasiveness_pt(profile));
            set(Column::pervasiveness_pt, pt);
            set(Column::ft_adjusted_by_pt, ft_adjusted_by_pt(ft, pt));
        }
        if (columns.needs_da()) {
            const double value = value_or_nan(evenness[r]);
            set(Column::evenness_da, value);
            set(Column::ft_adjusted_by_da, ft_adjusted_by_da(ft, value));
        }
        if (columns.needs_catalogue()) {
            evaluate_catalogue(profile, parts, columns, values);
        }
    }
}

}  // namespace lexispan
