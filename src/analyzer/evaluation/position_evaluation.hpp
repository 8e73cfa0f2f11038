// Position measures for a whole word list on worker threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "analyzer/measures/position_measures.hpp"

namespace lexispan {

// Word w's positions are the counts[w] values at positions[w], read in
// place from wherever the caller keeps them.
struct PositionList {
    const std::int64_t* const* positions = nullptr;
    const std::size_t* counts = nullptr;
    std::size_t words = 0;
    std::int64_t length = 0;
};

// Where each value goes, one double per word; null when not wanted.
struct PositionTargets {
    double* arf = nullptr;
    double* awt = nullptr;
    double* f_awt = nullptr;
    double* ald = nullptr;
    double* f_ald = nullptr;
    double* mb = nullptr;
};

// Fills the targets for every word on `threads` participants (1: the
// calling thread), each word wholly on one of them, so the values do not
// depend on the count. Returns the complaint of the lowest-numbered word
// whose positions break the rule (its values are left unwritten). `stop`
// ends the run after the current claim; `done` counts finished words.
// Throws PoolUnavailable or std::bad_alloc like the table engine.
[[nodiscard]] std::optional<PositionComplaint> evaluate_positions(
    const PositionList& list, const PositionTargets& targets, std::size_t threads,
    std::atomic<bool>& stop, std::atomic<std::size_t>& done);

}  // namespace lexispan
