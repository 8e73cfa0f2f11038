// The batch on its own: what fails every row is found before any row is
// taken, a failing batch starts no row after the failure mark, and a working
// one hands out every row exactly once.
// Usage: batch_test; exits non-zero on failure.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "analyzer/evaluation/batch_evaluation.hpp"
#include "parallel/thread_pool.hpp"
#include "check.hpp"

namespace {

// Rows of ones that count how often each one is taken; with `failing`,
// taking any row throws.
class CountingRows final : public lexispan::RowSource {
public:
    CountingRows(std::size_t rows, std::size_t length, bool failing = false)
        : taken_(rows), length_(length), failing_(failing) {}
    [[nodiscard]] std::size_t row_count() const noexcept override { return taken_.size(); }
    [[nodiscard]] std::size_t row_length(std::size_t) const noexcept override { return length_; }
    [[nodiscard]] std::vector<double> take_row(std::size_t row) override {
        taken_[row].fetch_add(1, std::memory_order_relaxed);
        if (failing_) {
            throw std::runtime_error("row");
        }
        return std::vector<double>(length_, 1.0);
    }
    [[nodiscard]] std::size_t total_taken() const {
        std::size_t total = 0;
        for (const auto& t : taken_) {
            CHECK(t.load() <= 1);
            total += t.load();
        }
        return total;
    }

private:
    std::vector<std::atomic<unsigned>> taken_;
    std::size_t length_;
    bool failing_;
};

// Many empty rows that may not be taken.
class EmptyRows final : public lexispan::RowSource {
public:
    [[nodiscard]] std::size_t row_count() const noexcept override { return 100'000'000; }
    [[nodiscard]] std::size_t row_length(std::size_t) const noexcept override { return 0; }
    [[nodiscard]] std::vector<double> take_row(std::size_t) override {
        fail(__FILE__, __LINE__, "an empty row was taken");
    }
};

}  // namespace

int main() {
    const std::size_t workers = lexispan::pool_worker_count();
    const std::vector<double> sizes(8, 10.0);
    constexpr std::size_t rows = 20000;

    // What fails every row is found before any row is taken or any record
    // reserved.
    CountingRows zero_total(rows, sizes.size());
    const auto refused = lexispan::calculate_batch_metrics(zero_total, sizes, 0.0);
    CHECK(!refused.ok());
    CHECK(refused.error().message == "Total corpus words must be positive.");
    CHECK(zero_total.total_taken() == 0);
    EmptyRows empty;
    const auto empty_result = lexispan::calculate_batch_metrics(empty, {}, 1.0);
    CHECK(!empty_result.ok());
    CHECK(empty_result.error().message == "Input vectors cannot be empty.");

    for (int round = 0; round < 20; ++round) {
        // Every row fails: each worker can start at most the one row that
        // fails before it sees the mark.
        CountingRows failing(rows, sizes.size(), true);
        bool caught = false;
        try {
            static_cast<void>(lexispan::calculate_batch_metrics(failing, sizes, 80.0));
        } catch (const std::runtime_error&) {
            caught = true;
        }
        CHECK(caught);
        CHECK(failing.total_taken() >= 1);
        CHECK(failing.total_taken() <= workers);
    }

    CountingRows working(rows + 5, sizes.size());
    auto result = lexispan::calculate_batch_metrics(working, sizes, 80.0);
    CHECK(result.ok());
    CHECK(result.value().size() == rows + 5);
    CHECK(working.total_taken() == rows + 5);
    CHECK(result.value().back().range == 8);

    std::printf("batch ok workers=%zu\n", workers);
    return 0;
}
