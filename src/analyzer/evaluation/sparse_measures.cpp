// Sparse rows: each sum of measures.cpp walks the parts in index order; here
// the same walk takes the word's entries one by one and every run of absent
// parts between them at once. A sum started at +0.0 skips the absent parts
// whose term is +0.0; one whose absent term is the same for every part of
// the run takes it by OrderedSum::add_repeated, one whose absent term
// depends on the part by the call's PartTerms.
#include "analyzer/evaluation/sparse_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analyzer/measures/catalogue_measures.hpp"
#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/measures/measures.hpp"

namespace lexispan {

namespace {

std::vector<double> dp_absent_terms(const std::vector<double>& relative) {
    std::vector<double> terms(relative.size());
    for (std::size_t i = 0; i < relative.size(); ++i) {
        // v_i / f - s_i with v_i = 0 and f > 0.
        terms[i] = std::fabs(0.0 - relative[i]);
    }
    return terms;
}

std::vector<double> jsd_absent_terms(const std::vector<double>& relative) {
    std::vector<double> terms(relative.size());
    for (std::size_t i = 0; i < relative.size(); ++i) {
        const double s = relative[i];
        const double mid = jsd_mid(0.0, s);
        terms[i] = jsd_adds(s, mid) ? jsd_term(s, mid) : 0.0;
    }
    return terms;
}

// sum over the parts of (x_i - mean)^2, x_i = 0 where the word is absent.
double squared_deviations(const SparseRow& row, const double* x, std::size_t n,
                          double mean) noexcept {
    const double absent = 0.0 - mean;
    const double absent_square = absent * absent;
    OrderedSum sum(0.0);
    std::size_t next = 0;
    for (std::size_t e = 0; e < row.count; ++e) {
        const std::size_t part = row.parts[e];
        sum.add_repeated(absent_square, part - next);
        const double d = x[e] - mean;
        sum.add(d * d);
        next = part + 1;
    }
    sum.add_repeated(absent_square, n - next);
    return sum.value();
}

// The catalogue columns that need neither the record's D, D2 nor its SD
// (those are set beside them). Every entry is finite and > 0 and every s_i
// finite (make_sparse_constants), which the sparse forms ask for.
void catalogue_columns(const SparseConstants& constants, const std::vector<double>& relative,
                       const SparseRow& row, double f, std::int32_t range,
                       const ColumnSet& columns, RowValues& out) noexcept {
    const std::size_t n = constants.parts;
    const std::size_t k = row.count;
    auto set = [&](Column column, double value) { out.values[index_of(column)] = value; };
    if (columns.has(Column::idf)) {
        set(Column::idf, inverse_document_frequency(range, n));
    }
    if (columns.has(Column::maxmin)) {
        set(Column::maxmin, max_min_spread_sparse(row.values, k, n));
    }
    if (columns.has(Column::engwall_fm)) {
        set(Column::engwall_fm, engwall_fm(f, range, n));
    }
    if (columns.has(Column::rosengren_kf)) {
        set(Column::rosengren_kf,
            rosengren_kf_sparse(row.parts, row.values, k, relative.data(), f));
    }
    if (columns.has(Column::zhang_dc)) {
        set(Column::zhang_dc, zhang_dc_sparse(row.values, k, n, f));
    }
    if (columns.has(Column::chi_squared) || columns.has(Column::lyne_d3)) {
        const double chi = chi_squared_sparse(row.parts, row.values, k, relative.data(), n, f);
        set(Column::chi_squared, chi);
        set(Column::lyne_d3, lyne_d3(chi, f));
    }
    if (columns.has(Column::kromer_ur)) {
        set(Column::kromer_ur, kromer_ur_sparse(row.values, k));
    }
    if (columns.has(Column::frequency_per_million)) {
        set(Column::frequency_per_million, frequency_per_million(f, constants.total));
    }
}

double smallest(const std::vector<double>& values) noexcept {
    double least = std::numeric_limits<double>::infinity();
    for (const double s : values) {
        if (s < least) {
            least = s;
        }
    }
    return least;
}

}  // namespace

SparseConstants::SparseConstants(const std::vector<double>& sizes,
                                 const std::vector<double>& relative, double total_words)
    : parts(sizes.size()),
      total(total_words),
      max_entropy(carroll_max_entropy(sizes.size())),
      min_relative(smallest(relative)),
      dp_absent(dp_absent_terms(relative)),
      jsd_absent(jsd_absent_terms(relative)) {}

std::shared_ptr<const SparseConstants> make_sparse_constants(const std::vector<double>& sizes,
                                                             const std::vector<double>& relative,
                                                             double total) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (!(total > 0.0 && total < infinity) || sizes.empty() ||
        sizes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (!(sizes[i] >= 0.0 && sizes[i] < infinity) ||
            !(relative[i] >= 0.0 && relative[i] < infinity)) {
            return nullptr;
        }
    }
    return std::make_shared<const SparseConstants>(sizes, relative, total);
}

bool evaluate_sparse_row(const SparseConstants& constants, const std::vector<double>& sizes,
                         const std::vector<double>& relative, const SparseRow& row,
                         const ColumnSet& columns, SparseScratch& scratch, RowValues& out,
                         SparseDa& da) {
    const std::size_t n = constants.parts;
    const std::size_t k = row.count;
    const double count_n = as_double(n);

    // f and the sum of q from -0.0: an absent part adds +0.0, which only
    // matters while the sum is still -0.0.
    double f = -0.0;
    double q_sum = -0.0;
    std::vector<double>& q = scratch.normalized;
    q.resize(k);
    for (std::size_t e = 0; e < k; ++e) {
        const double v = row.values[e];
        f += v;
        q[e] = normalized_frequency(v, sizes[row.parts[e]]);
        q_sum += q[e];
    }
    if (k < n) {
        f += 0.0;
        q_sum += 0.0;
    }
    if (!std::isfinite(f) || !std::isfinite(q_sum)) {
        return false;
    }

    auto set = [&](Column column, double value) { out.values[index_of(column)] = value; };
    const double mu = q_sum / count_n;
    const double m = f / count_n;

    if (columns.has(Column::frequency)) {
        set(Column::frequency, f);
    }
    constexpr std::size_t range_limit = std::numeric_limits<std::int32_t>::max();
    const auto range = static_cast<std::int32_t>(k < range_limit ? k : range_limit);
    out.range = range;

    const bool wants_d_eq = columns.has(Column::juilland_d_eq);
    if (columns.has(Column::sd_population) || columns.has(Column::vc_population) || wants_d_eq) {
        const double sd =
            f == 0.0 ? 0.0 : std::sqrt(squared_deviations(row, row.values, n, m) / count_n);
        if (columns.has(Column::sd_population)) {
            set(Column::sd_population, sd);
        }
        const double vc = vc_from_sd(sd, m);
        if (columns.has(Column::vc_population)) {
            set(Column::vc_population, vc);
        }
        if (wants_d_eq) {
            set(Column::juilland_d_eq, juilland_d_equal_parts_from_vc(vc, f, m, n));
        }
    }
    if (columns.has(Column::juilland_d) || columns.has(Column::juilland_u)) {
        double d = 0.0;
        if (n < 2) {
            d = single_part_dispersion(f);
        } else if (f != 0.0 && !(std::fabs(mu) < near_zero)) {
            const double a = std::sqrt(squared_deviations(row, q.data(), n, mu) / count_n);
            d = juilland_from_sd(a, mu, n);
        }
        if (columns.has(Column::juilland_d)) {
            set(Column::juilland_d, d);
        }
        if (columns.has(Column::juilland_u)) {
            set(Column::juilland_u, juilland_u(d, f));
        }
    }
    if (columns.has(Column::carroll_d2) || columns.has(Column::carroll_um)) {
        double d2 = 0.0;
        if (n < 2) {
            d2 = single_part_dispersion(f);
        } else if (!(std::fabs(q_sum) < near_zero)) {
            double entropy = 0.0;
            for (std::size_t e = 0; e < k; ++e) {
                entropy += carroll_entropy_term(q[e], q_sum);
            }
            d2 = entropy / constants.max_entropy;
        }
        if (columns.has(Column::carroll_d2)) {
            set(Column::carroll_d2, d2);
        }
        if (columns.has(Column::carroll_um)) {
            set(Column::carroll_um, carroll_um(f, d2, n));
        }
    }
    if (columns.has(Column::roschengren_s_adj)) {
        double s_adj = 0.0;
        if (f != 0.0) {
            double root_sum = 0.0;
            for (std::size_t e = 0; e < k; ++e) {
                root_sum += std::sqrt(relative[row.parts[e]] * row.values[e]);
            }
            s_adj = (root_sum * root_sum) / f;
        }
        set(Column::roschengren_s_adj, s_adj);
    }
    if (columns.has(Column::dp) || columns.has(Column::dp_norm)) {
        double dp = 0.0;
        if (f != 0.0) {
            OrderedSum deviation(-0.0);
            std::size_t next = 0;
            for (std::size_t e = 0; e < k; ++e) {
                const std::size_t part = row.parts[e];
                deviation.add_part_terms(constants.dp_absent, next, part);
                deviation.add(std::fabs(row.values[e] / f - relative[part]));
                next = part + 1;
            }
            deviation.add_part_terms(constants.dp_absent, next, n);
            dp = deviation.value() * 0.5;
        }
        set(Column::dp, dp);
        if (columns.has(Column::dp_norm)) {
            set(Column::dp_norm, dp_norm_from_dp(dp, constants.min_relative));
        }
    }
    if (columns.has(Column::kl_divergence)) {
        double divergence = 0.0;
        if (f != 0.0 && f > 0.0) {
            for (std::size_t e = 0; e < k; ++e) {
                const double s = relative[row.parts[e]];
                if (s > 0.0) {
                    const double p = row.values[e] / f;
                    if (p > 0.0) {
                        divergence += kl_term(p, s);
                    }
                }
            }
        }
        set(Column::kl_divergence, divergence);
    }
    if (columns.has(Column::jsd_dispersion)) {
        double jsd = 0.0;
        if (f != 0.0) {
            double a = 0.0;
            OrderedSum b(0.0);
            std::size_t next = 0;
            for (std::size_t e = 0; e < k; ++e) {
                const std::size_t part = row.parts[e];
                b.add_part_terms(constants.jsd_absent, next, part);
                const double s = relative[part];
                const double p = row.values[e] / f;
                const double mid = jsd_mid(p, s);
                if (jsd_adds(p, mid)) {
                    a += jsd_term(p, mid);
                }
                if (jsd_adds(s, mid)) {
                    b.add(jsd_term(s, mid));
                }
                next = part + 1;
            }
            b.add_part_terms(constants.jsd_absent, next, n);
            jsd = jsd_from_sums(a, b.value());
        }
        set(Column::jsd_dispersion, jsd);
    }
    if (columns.has(Column::hellinger_dispersion)) {
        double hellinger = 0.0;
        if (f != 0.0) {
            double coefficient = 0.0;
            for (std::size_t e = 0; e < k; ++e) {
                coefficient += std::sqrt((row.values[e] / f) * relative[row.parts[e]]);
            }
            hellinger = hellinger_from_coefficient(coefficient);
        }
        set(Column::hellinger_dispersion, hellinger);
    }
    if (columns.needs_catalogue()) {
        catalogue_columns(constants, relative, row, f, range, columns, out);
    }
    const double ft = mu;
    set(Column::mean_text_frequency_ft, ft);
    const double pt = static_cast<double>(range) / count_n;
    set(Column::pervasiveness_pt, pt);
    set(Column::ft_adjusted_by_pt, ft_adjusted_by_pt(ft, pt));

    da.pending = false;
    if (columns.needs_da()) {
        double decided = 0.0;
        bool done = true;
        if (f == 0.0) {
            decided = 0.0;
        } else if (n == 1) {
            decided = 1.0;
        } else if (std::fabs(mu) < near_zero) {
            // An absent part's q is 0, within near_zero of mu.
            decided = 1.0;
            for (std::size_t e = 0; e < k; ++e) {
                if (!(std::fabs(q[e] - mu) < near_zero)) {
                    decided = 0.0;
                    break;
                }
            }
        } else {
            done = false;
            da.pending = true;
            da.mean = mu;
            da.parts.clear();
            da.values.clear();
            for (std::size_t e = 0; e < k; ++e) {
                if (q[e] != 0.0) {
                    da.parts.push_back(row.parts[e]);
                    da.values.push_back(q[e]);
                }
            }
        }
        if (done) {
            set(Column::evenness_da, decided);
            set(Column::ft_adjusted_by_da, ft_adjusted_by_da(ft, decided));
        }
    }
    return true;
}

namespace {

// Row `a` of the pair sum (a nonzero part) in one step when every term of it
// lands inside the sum's current binade without a tie: its terms then add
// fixed units, whatever their order. False when the row must be walked.
bool add_row_in_units(OrderedSum& sum, const std::uint32_t* parts, const double* values,
                      std::size_t count, std::size_t n, double largest, std::size_t a) noexcept {
    if (!sum.on_grid()) {
        return false;
    }
    const int exponent = sum.unit_exponent();
    const std::uint64_t room = sum.room();
    const double qa = values[a];
    const GridTerm own = grid_term(std::fabs(qa - 0.0), exponent);
    if (own.half == 0 || own.whole > room) {
        return false;
    }
    const std::uint64_t absent = (n - 1 - parts[a]) - (count - 1 - a);
    const std::uint64_t own_units = rounded_units(own);
    if (own_units != 0 && absent > room / own_units) {
        return false;
    }
    const std::uint64_t runs = own_units * absent;
    const UnitsTotal pairs =
        units_of_differences(qa, values + a + 1, count - a - 1, largest, exponent, room - runs);
    if (!pairs.fits) {
        return false;
    }
    sum.add_units(runs + pairs.units);
    return true;
}

}  // namespace

namespace {

constexpr std::uint64_t unusable = std::numeric_limits<std::uint64_t>::max();

// On the grid 2^unit_exponent: units[a] = the units one pass over
// values[a..count) adds, or `unusable` from the last tie (or term too large
// for the grid) down; filled for a >= first only (the blocks still ahead).
// Saturates far above any binade's room.
void build_suffix_units(const double* values, std::size_t first, std::size_t count,
                        int unit_exponent, std::vector<std::uint64_t>& units) {
    constexpr std::uint64_t ceiling = std::uint64_t{1} << 62;
    units.resize(count + 1);
    units[count] = 0;
    for (std::size_t b = count; b-- > first;) {
        const GridTerm t = grid_term(values[b], unit_exponent);
        if (t.half == 0 || t.whole >= grid_units || units[b + 1] == unusable) {
            units[b] = unusable;
        } else {
            units[b] = std::min(units[b + 1] + rounded_units(t), ceiling);
        }
    }
}

}  // namespace

double sparse_da_pair_sum(const std::uint32_t* parts, const double* values, std::size_t count,
                          std::size_t n, std::vector<std::uint64_t>& suffix_units) {
    return *sparse_da_pair_sum(parts, values, count, n, suffix_units, nullptr);
}

std::optional<double> sparse_da_pair_sum(const std::uint32_t* parts, const double* values,
                                         std::size_t count, std::size_t n,
                                         std::vector<std::uint64_t>& suffix_units,
                                         const std::atomic<bool>* stop) {
    // Row i of the pair sum adds |q_i - q_j| for j > i. An absent row adds
    // the nonzero q after it (the same block for every absent row between
    // two nonzero parts); a nonzero row adds its own q for every absent j
    // and |q_i - q_j| for the nonzero ones.
    double largest = 0.0;
    for (std::size_t a = 0; a < count; ++a) {
        largest = values[a] > largest ? values[a] : largest;
    }
    OrderedSum sum(0.0);
    // The blocks of absent rows are suffixes of the nonzero q: their units
    // per pass come from one table per binade the sum passes through.
    int suffix_exponent = std::numeric_limits<int>::min();
    std::size_t next_row = 0;
    // Pairs added since `stop` was last looked at: about a millisecond's worth.
    std::size_t work = 0;
    for (std::size_t a = 0; a < count; ++a) {
        work += count - a;
        if (stop != nullptr && work >= (std::size_t{1} << 20)) {
            work = 0;
            if (stop->load(std::memory_order_relaxed)) {
                return std::nullopt;
            }
        }
        const std::size_t part = parts[a];
        std::uint64_t passes = part - next_row;
        if (passes > 0 && sum.on_grid()) {
            if (sum.unit_exponent() != suffix_exponent) {
                suffix_exponent = sum.unit_exponent();
                build_suffix_units(values, a, count, suffix_exponent, suffix_units);
            }
            const std::uint64_t pass = suffix_units[a];
            const std::uint64_t room = sum.room();
            if (pass == 0) {
                passes = 0;
            } else if (pass <= room) {
                const std::uint64_t taken = std::min(passes, room / pass);
                sum.add_units(taken * pass);
                passes -= taken;
            }
        }
        sum.add_block_repeated(values + a, count - a, largest, passes);
        next_row = part + 1;
        if (add_row_in_units(sum, parts, values, count, n, largest, a)) {
            continue;
        }
        const double qa = values[a];
        std::size_t next = part + 1;
        for (std::size_t b = a + 1; b < count; ++b) {
            sum.add_repeated(std::fabs(qa - 0.0), parts[b] - next);
            sum.add(std::fabs(qa - values[b]));
            next = parts[b] + 1;
        }
        sum.add_repeated(std::fabs(qa - 0.0), n - next);
    }
    return sum.value();
}

bool prefers_sparse_da(std::size_t count, std::size_t n) noexcept {
    // Measured on AVX-512: a sparse pair costs about six pairs of parts on
    // the dense kernel, so the sparse sum wins up to about k = 0.4 n; a
    // third leaves room for rows whose ties force plain steps.
    return count * 3 <= n;
}

}  // namespace lexispan
