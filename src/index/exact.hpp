// Exact scoring of candidates, and the exact scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/table.hpp"
#include "index/hits.hpp"

namespace karnoxel::index {

// Scores candidates exactly against one query under the accumulation rule,
// many rows at a time with the row kernels, and offers every defined score
// to a TopK. Candidates must have the query's length.
class ExactScorer {
public:
    // Candidates are scored in batches: call flush() after the last one.
    ExactScorer(core::FloatSpan query, core::DistanceMetric metric, const core::PointTable& table, TopK& top);
    ExactScorer(const ExactScorer&) = delete;
    ExactScorer& operator=(const ExactScorer&) = delete;

    // False when no candidate can have a score (a zero query under cosine).
    bool possible() const { return possible_; }
    // A candidate whose vector is kept aside (a float array).
    void add(std::uint32_t slot, const float* vector) {
        slots_[filled_] = slot;
        vectors_[filled_] = vector;
        if (++filled_ == BATCH) flush();
    }
    // A candidate in the rows (upper halves at `upper`, lower ones after).
    void add_row(std::uint32_t slot, const std::uint16_t* upper) {
        row_slots_[row_filled_] = slot;
        rows_[row_filled_] = upper;
        if (++row_filled_ == BATCH) flush();
    }
    // A slot's point, if its vector has the query's length.
    void add_slot(std::uint32_t slot);
    void flush();

private:
    static constexpr std::size_t BATCH = 512;
    core::FloatSpan query_;
    core::DistanceMetric metric_;
    const core::PointTable& table_;
    TopK& top_;
    float query_squares_ = 0.0f;
    bool possible_ = true;
    std::size_t filled_ = 0;
    std::uint32_t slots_[BATCH];
    const float* vectors_[BATCH];
    std::size_t row_filled_ = 0;
    std::uint32_t row_slots_[BATCH];
    const std::uint16_t* rows_[BATCH];
    float sums_[BATCH];

    void offer(const std::uint32_t* slots, std::size_t n);
};

// Scores every point of the query's length (only the tenant's, when a
// tenant code other than 0 is given) into `scorer`.
void scan_all(core::FloatSpan query, const core::PointTable& table, std::uint32_t tenant, ExactScorer& scorer);

// The aside points of the query's length (only the tenant's, when a tenant
// code other than 0 is given) into `scorer`.
void scan_aside(core::FloatSpan query, const core::PointTable& table, std::uint32_t tenant, ExactScorer& scorer);

}  // namespace karnoxel::index
