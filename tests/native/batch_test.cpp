// The batch on its own: a failing batch starts no row after the failure
// mark, and a working one hands out every row exactly once.
// Usage: batch_test; exits non-zero on failure.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "analyzer/batch_evaluation.hpp"
#include "parallel/thread_pool.hpp"

namespace {

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::exit(1);                                                    \
        }                                                                    \
    } while (0)

// Rows of ones that count how often each one is taken.
class CountingRows final : public lexispan::RowSource {
public:
    CountingRows(std::size_t rows, std::size_t length) : taken_(rows), length_(length) {}
    [[nodiscard]] std::size_t row_count() const noexcept override { return taken_.size(); }
    [[nodiscard]] std::size_t row_length(std::size_t) const noexcept override { return length_; }
    [[nodiscard]] std::vector<double> take_row(std::size_t row) override {
        taken_[row].fetch_add(1, std::memory_order_relaxed);
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
};

}  // namespace

int main() {
    const std::size_t workers = lexispan::pool_worker_count();
    const std::vector<double> sizes(8, 10.0);
    constexpr std::size_t rows = 20000;

    for (int round = 0; round < 20; ++round) {
        // A total of 0 fails every row: each worker can start at most the one
        // row that fails before it sees the mark.
        CountingRows failing(rows, sizes.size());
        const auto result = lexispan::calculate_batch_metrics(failing, sizes, 0.0);
        CHECK(!result.ok());
        CHECK(result.error().message == "Total corpus words must be positive.");
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
