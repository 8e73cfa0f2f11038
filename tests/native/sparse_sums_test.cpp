// The bulk sums and the sparse rows against the plain walk over every part,
// bit for bit, on random inputs chosen to hit ties, subnormal and huge
// terms, runs across many binades and the dense/sparse switch.
// Usage: sparse_sums_test [rounds] [seed]; exits non-zero on the first
// disagreement. The bulk sums' kernels run at the level LEXISPAN_CPU_LEVEL
// names; a level the processor lacks is reported as a skip.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "analyzer/evaluation/full_evaluation.hpp"
#include "analyzer/evaluation/row_columns.hpp"
#include "analyzer/evaluation/row_evaluation.hpp"
#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/profile/ordered_add.hpp"
#include "analyzer/sums/da_sums.hpp"
#include "analyzer/sums/sparse_walk.hpp"
#include "analyzer/sums/zero_run_sums.hpp"
#include "check.hpp"
#include "platform/cpu_dispatch.hpp"

// The columns computed from a row's own walk. D_MB and the frequency-adjusted
// columns after them read values a call shares by frequency (the same for
// either walk); the table tests compare those across input kinds.
constexpr std::size_t walked_columns = lexispan::index_of(lexispan::Column::dmb);

namespace {

using lexispan::accumulate;

std::mt19937_64 rng;

std::uint64_t below(std::uint64_t limit) { return limit == 0 ? 0 : rng() % limit; }

[[noreturn]] void fail(const char* what, std::uint64_t round, double got, double want) {
    std::printf("FAIL %s (round %llu): got %a, want %a\n", what,
                static_cast<unsigned long long>(round), got, want);
    std::exit(1);
}

// A term of a chosen kind: small integers, powers of two (ties), wide random
// magnitudes, subnormals, numbers near the largest double.
double term_of_kind(std::uint64_t kind) {
    const double unit = std::ldexp(static_cast<double>(rng() >> 11), -53);
    switch (kind % 6) {
        case 0:
            return static_cast<double>(1 + below(9));
        case 1:
            return std::ldexp(1.0, static_cast<int>(below(120)) - 60);
        case 2:
            return std::ldexp(0.5 + unit, static_cast<int>(below(200)) - 100);
        case 3:
            return std::ldexp(static_cast<double>(1 + below(1000)), -1074);
        case 4:
            return std::ldexp(0.5 + unit, 1000 + static_cast<int>(below(24)));
        default:
            return std::ldexp(static_cast<double>(1 + below(7)) * 0.25,
                              static_cast<int>(below(10)) - 5);
    }
}

// A start value: zero, the terms' own scale, or far above or below them.
double start_near(double term) {
    switch (below(5)) {
        case 0:
            return 0.0;
        case 1:
            return term * static_cast<double>(below(1000));
        case 2:
            return std::ldexp(term, static_cast<int>(below(60)));
        case 3:
            return std::ldexp(1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52),
                              static_cast<int>(below(2000)) - 1074);
        default:
            return std::ldexp(term, 52 + static_cast<int>(below(3)));
    }
}

void check_repeated(std::uint64_t round) {
    const double term = term_of_kind(below(6));
    const double start = start_near(term);
    const std::uint64_t times = below(4) == 0 ? below(5) : below(3000);
    double plain = start;
    for (std::uint64_t t = 0; t < times; ++t) {
        plain = accumulate(plain, term);
    }
    lexispan::OrderedSum sum(start);
    sum.add_repeated(term, times);
    if (bits_of(sum.value()) != bits_of(plain)) {
        fail("add_repeated", round, sum.value(), plain);
    }
}

void check_block(std::uint64_t round) {
    const std::uint64_t kind = below(6);
    std::vector<double> block(1 + below(6));
    for (double& x : block) {
        x = term_of_kind(below(3) == 0 ? below(6) : kind);
    }
    const double start = start_near(block[0]);
    const std::uint64_t times = below(600);
    double plain = start;
    for (std::uint64_t t = 0; t < times; ++t) {
        for (const double x : block) {
            plain = accumulate(plain, x);
        }
    }
    lexispan::OrderedSum sum(start);
    const double largest = *std::max_element(block.begin(), block.end());
    sum.add_block_repeated(block.data(), block.size(), largest, times);
    if (bits_of(sum.value()) != bits_of(plain)) {
        fail("add_block_repeated", round, sum.value(), plain);
    }
}

void check_part_terms(std::uint64_t round) {
    const std::uint64_t kind = below(6);
    std::vector<double> terms(1 + below(400));
    for (double& x : terms) {
        x = below(8) == 0 ? 0.0 : term_of_kind(below(4) == 0 ? below(6) : kind);
    }
    // Small budgets make tables over blocks of parts, down to one block.
    const lexispan::PartTerms table(
        terms, below(3) == 0 ? below(terms.size() * 12 + 64) : lexispan::PartTerms::default_budget);
    const double start = below(3) == 0 ? -0.0 : start_near(terms[0]);
    double plain = start;
    lexispan::OrderedSum sum(start);
    // Alternate runs from the table with single foreign terms, as DP does.
    std::size_t next = 0;
    while (next < terms.size()) {
        const std::size_t last = next + below(terms.size() - next + 1);
        for (std::size_t i = next; i < last; ++i) {
            plain = accumulate(plain, terms[i]);
        }
        sum.add_part_terms(table, next, last);
        const double own = term_of_kind(kind);
        plain = accumulate(plain, own);
        sum.add(own);
        next = last + 1;
    }
    if (bits_of(sum.value()) != bits_of(plain)) {
        fail("add_part_terms", round, sum.value(), plain);
    }
}

// A row over n parts with `count` nonzero values, as entries and dense.
struct RandomRow {
    std::vector<double> dense;
    std::vector<std::uint32_t> parts;
    std::vector<double> values;
};

RandomRow random_row(std::size_t n, std::size_t count, std::uint64_t kind) {
    RandomRow row;
    row.dense.assign(n, 0.0);
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) {
        order[i] = static_cast<std::uint32_t>(i);
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::swap(order[i], order[i + below(n - i)]);
        row.dense[order[i]] = kind % 3 == 0 ? term_of_kind(kind / 3) : term_of_kind(0);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (row.dense[i] != 0.0) {
            row.parts.push_back(static_cast<std::uint32_t>(i));
            row.values.push_back(row.dense[i]);
        }
    }
    return row;
}

// Puts a value the sparse path refuses (NaN, an infinity, a negative
// count or -0.0) into a row, in both of its forms: the row must take the
// plain path and still agree. A stored +0.0 entry, which the sparse path
// skips, is added as well at times.
void spoil_row(RandomRow& row) {
    const std::size_t n = row.dense.size();
    const std::uint32_t part = static_cast<std::uint32_t>(below(n));
    double bad = 0.0;
    switch (below(5)) {
        case 0: bad = std::nan(""); break;
        case 1: bad = std::numeric_limits<double>::infinity(); break;
        case 2: bad = -std::numeric_limits<double>::infinity(); break;
        case 3: bad = -static_cast<double>(1 + below(5)); break;
        default: bad = below(2) == 0 ? -0.0 : 0.0; break;
    }
    row.dense[part] = bad;
    row.parts.clear();
    row.values.clear();
    for (std::size_t i = 0; i < n; ++i) {
        const double x = row.dense[i];
        if (x != 0.0 || std::signbit(x) || i == part) {
            row.parts.push_back(static_cast<std::uint32_t>(i));
            row.values.push_back(x);
        }
    }
}

void check_da(std::uint64_t round) {
    const std::size_t n = 1 + below(below(2) == 0 ? 12 : 90);
    const std::size_t count = below(n + 1);
    const RandomRow row = random_row(n, count, below(18));
    std::vector<double> q = row.dense;
    const double plain = lexispan::da_pair_sum(q.data(), n);
    std::vector<std::uint64_t> scratch;
    const double sparse = lexispan::sparse_da_pair_sum(row.parts.data(), row.values.data(),
                                                       row.parts.size(), n, scratch);
    if (bits_of(sparse) != bits_of(plain)) {
        fail("sparse_da_pair_sum", round, sparse, plain);
    }
}

std::vector<double> random_sizes(std::size_t n) {
    std::vector<double> sizes(n);
    const std::uint64_t kind = below(5);
    for (double& c : sizes) {
        switch (kind) {
            case 0:
                c = static_cast<double>(1 + below(50));
                break;
            case 1:
                c = std::ldexp(1.0, static_cast<int>(below(20)));
                break;
            case 2:
                c = below(4) == 0 ? 0.0 : term_of_kind(2);
                break;
            case 3:
                c = below(3) == 0 ? 0.0 : static_cast<double>(1 + below(3));
                break;
            default:
                c = term_of_kind(below(6));
                break;
        }
    }
    return sizes;
}

void expect_field(const char* name, std::uint64_t round, double got,
                  const std::optional<double>& want) {
    if (!want || bits_of(got) != bits_of(*want)) {
        fail(name, round, got, want.value_or(std::nan("")));
    }
}

// Every column but DA's on the sparse walk against the dense walk of the
// same row, whatever its density (the row engine puts only rows found in
// few parts on the sparse walk).
void check_walks(std::uint64_t round, const lexispan::PartTable& table, const RandomRow& row) {
    const std::size_t n = table.parts();
    for (const double x : row.values) {
        if (!(x > 0.0 && std::isfinite(x))) {
            return;  // a row the sparse walk never takes
        }
    }
    if (table.sparse == nullptr) {
        return;
    }
    std::vector<double> q(n);
    std::vector<double> entry_q(row.values.size());
    for (std::size_t i = 0; i < n; ++i) {
        q[i] = lexispan::normalized_frequency(row.dense[i], table.sizes[i]);
    }
    for (std::size_t e = 0; e < row.parts.size(); ++e) {
        entry_q[e] = q[row.parts[e]];
    }
    const lexispan::RowView<lexispan::DenseWalk> whole(
        lexispan::DenseWalk(row.dense.data(), q.data(), table.relative.data(), n),
        table.min_relative, table.total, nullptr, table.by_frequency.get());
    const lexispan::RowView<lexispan::SparseWalk> stored(
        lexispan::SparseWalk(row.parts.data(), row.values.data(), entry_q.data(),
                             row.parts.size(), table.relative.data(), n),
        table.min_relative, table.total, table.sparse.get(), table.by_frequency.get());
    if (!std::isfinite(stored.frequency) || !std::isfinite(stored.q_total)) {
        return;  // the bulk sums need finite terms
    }
    lexispan::ColumnSet every;
    for (std::size_t c = 0; c < walked_columns; ++c) {
        every.add(static_cast<lexispan::Column>(c));
    }
    lexispan::RowValues dense;
    lexispan::RowValues sparse;
    lexispan::fill_columns(whole, every, dense);
    lexispan::fill_columns(stored, every, sparse);
    for (std::size_t c = 0; c < walked_columns; ++c) {
        const auto column = static_cast<lexispan::Column>(c);
        if (column != lexispan::Column::evenness_da &&
            column != lexispan::Column::ft_adjusted_by_da &&
            bits_of(sparse.values[c]) != bits_of(dense.values[c])) {
            fail(lexispan::column_names[c].data(), round, sparse.values[c], dense.values[c]);
        }
    }
    if (sparse.range != dense.range) {
        std::printf("FAIL walk range (round %llu)\n", static_cast<unsigned long long>(round));
        std::exit(1);
    }
}

void check_rows(std::uint64_t round) {
    const std::size_t n = 1 + below(below(4) == 0 ? 300 : 40);
    const std::vector<double> sizes = random_sizes(n);
    double total = 0.0;
    for (const double c : sizes) {
        total += c;
    }
    if (below(4) == 0) {
        total *= 0.75 + static_cast<double>(below(4));
    }
    if (!(total > 0.0) || !std::isfinite(total)) {
        total = 1.0;
    }
    lexispan::Result<lexispan::PartTable> made = lexispan::make_part_table(sizes, total);
    if (!made.ok()) {
        std::printf("FAIL make_part_table (round %llu)\n", static_cast<unsigned long long>(round));
        std::exit(1);
    }
    const lexispan::PartTable& table = made.value();
    // Every column, or a random choice of them: a catalogue column asked
    // for without the record's column it is built on (juilland_u without
    // juilland_d, lyne_d3 without chi_squared, ...) must still be right.
    const bool every_column = below(2) == 0;
    lexispan::ColumnSet columns;
    std::vector<bool> chosen(lexispan::column_count);
    for (std::size_t c = 0; c < walked_columns; ++c) {
        chosen[c] = every_column || below(3) == 0;
        if (chosen[c]) {
            columns.add(static_cast<lexispan::Column>(c));
        }
    }
    const std::size_t group = lexispan::row_group_size();
    std::vector<RandomRow> rows(1 + below(group));
    std::vector<lexispan::WordRow> words(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::size_t count = 0;
        switch (below(6)) {
            case 0: count = 0; break;
            case 1: count = 1; break;
            case 2: count = n; break;
            case 3: count = std::min(n, n / 3 + below(2)); break;
            default: count = below(n + 1); break;
        }
        rows[r] = random_row(n, count, below(18));
        if (below(8) == 0) {
            spoil_row(rows[r]);
        }
        words[r] = below(2) == 0
                       ? lexispan::WordRow{rows[r].dense.data(), nullptr, nullptr, 0}
                       : lexispan::WordRow{nullptr, rows[r].parts.data(), rows[r].values.data(),
                                           rows[r].parts.size()};
    }
    lexispan::RowScratch scratch;
    std::vector<lexispan::RowValues> out(rows.size());
    lexispan::evaluate_rows(table, words.data(), words.size(), columns,
                            lexispan::DaMethod::pairwise, scratch, out.data());
    // The same rows with every row on the dense walk: the catalogue's
    // reference.
    lexispan::PartTable dense_table = table;
    dense_table.sparse.reset();
    std::vector<lexispan::RowValues> dense(rows.size());
    lexispan::evaluate_rows(dense_table, words.data(), words.size(), columns,
                            lexispan::DaMethod::pairwise, scratch, dense.data());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        auto profile = lexispan::make_corpus_profile(rows[r].dense, sizes, total);
        lexispan::CorpusProfile& p = profile.value();
        const lexispan::DispersionMetrics record = lexispan::calculate_all_metrics(p);
        const lexispan::RowValues& v = out[r];
        using lexispan::Column;
        using lexispan::index_of;
        if (chosen[index_of(Column::range)] && v.range != record.range) {
            std::printf("FAIL range (round %llu)\n", static_cast<unsigned long long>(round));
            std::exit(1);
        }
        if (chosen[index_of(Column::frequency)]) {
            expect_field("frequency", round, v.values[index_of(Column::frequency)],
                         p.total_frequency);
        }
        for (const lexispan::OptionalField& field : lexispan::optional_fields) {
            const auto column = lexispan::column_named(field.name);
            if (chosen[index_of(*column)]) {
                expect_field(field.name, round, v.values[index_of(*column)],
                             record.*field.member);
            }
        }
        for (std::size_t c = index_of(Column::idf); c < walked_columns; ++c) {
            if (chosen[c]) {
                expect_field(lexispan::column_names[c].data(), round, v.values[c],
                             dense[r].values[c]);
            }
        }
        check_walks(round, table, rows[r]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* const requested = std::getenv("LEXISPAN_CPU_LEVEL");
    const char* const level = lexispan::cpu_level_name(lexispan::cpu_level());
    if (requested != nullptr && std::string_view(requested) != level) {
        std::printf("skip %s: runs at %s here\n", requested, level);
        return 0;
    }
    const std::uint64_t rounds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
    rng.seed(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 12);
    for (std::uint64_t round = 0; round < rounds; ++round) {
        check_repeated(round);
        check_block(round);
        check_part_terms(round);
        check_da(round);
        if (round % 2 == 0) {
            check_rows(round);
        }
    }
    std::printf("ok %llu rounds at %s\n", static_cast<unsigned long long>(rounds), level);
    return 0;
}
