// Exact k-nearest-neighbour scan, the hit record and the hit order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/points.hpp"

namespace karnoxel::index {

struct SearchHit {
    std::uint64_t id;  // the point's id
    float score;       // similarity (dot product, cosine) or distance (Euclidean)
};

// Whether hit a must come strictly before hit b: higher scores first for dot
// product and cosine, lower first for Euclidean. IEEE comparisons: NaN and
// equal scores rank before nothing.
inline bool ranks_before(core::DistanceMetric metric, const SearchHit& a, const SearchHit& b) {
    return core::higher_is_better(metric) ? a.score > b.score : a.score < b.score;
}

// Collects scored candidates and keeps the best k, in exactly the order a
// stable sort of all of them by ranks_before would give, NaN scores after all
// others. Candidates must be offered in production order.
class TopK {
public:
    TopK(std::uint64_t k, core::DistanceMetric metric, std::size_t expected);

    void offer(std::uint32_t slot, float score);
    // The kept hits, best first, ids resolved through the table.
    std::vector<SearchHit> finish(const core::PointTable& table);

private:
    struct Entry {
        float key;           // score oriented so that higher is better; NaN ranks last
        float score;         // the score as reported
        std::uint32_t seq;   // production order, the tie-break of a stable sort
        std::uint32_t slot;  // the point's slot
    };
    static bool better(const Entry& a, const Entry& b);

    std::size_t k_;
    bool negate_;
    std::uint32_t seq_ = 0;
    std::vector<Entry> heap_;  // the kept entries; front is the worst while full
};

// Scores every point (of the tenant, when one is given) with the metric and
// returns the best k, ordered by ranks_before. Points whose score cannot be
// computed (other length, zero magnitude for cosine) are left out.
std::vector<SearchHit> search_exact_knn(core::FloatSpan query, std::uint64_t k, core::DistanceMetric metric,
                                        const core::PointTable& table, std::optional<std::string_view> tenant);

// Exact scores of some slots against a query, computed many at a time with
// the row kernels: calls emit(slot, score) in slot-list order for every slot
// whose score exists under the metric.
template <class Emit>
void score_slots(core::FloatSpan query, core::DistanceMetric metric, const core::PointTable& table,
                 const std::uint32_t* slots, std::size_t count, Emit&& emit);

}  // namespace karnoxel::index

#include "core/kernels.hpp"

namespace karnoxel::index {

template <class Emit>
void score_slots(core::FloatSpan query, core::DistanceMetric metric, const core::PointTable& table,
                 const std::uint32_t* slots, std::size_t count, Emit&& emit) {
    using core::DistanceMetric;
    const std::size_t n = query.size();
    if (n >= core::PointTable::NO_POINT) return;  // longer than any stored vector can be
    float query_squares = 0.0f;
    if (metric == DistanceMetric::Cosine) {
        query_squares = core::sum_squares(query.data(), n);
        if (query_squares == 0.0f) return;  // every cosine fails on a zero query
    }
    const core::ExactKernels& kernels = core::exact_kernels();
    const core::RowsKernel rows_kernel = metric == DistanceMetric::Euclidean ? kernels.sqdiff_rows : kernels.dot_rows;

    constexpr std::size_t BATCH = 1024;
    std::uint32_t batch_slots[BATCH];
    const float* rows[BATCH];
    float sums[BATCH];
    std::size_t filled = 0;
    auto flush = [&] {
        rows_kernel(query.data(), rows, filled, n, sums);
        for (std::size_t j = 0; j < filled; ++j) {
            const std::uint32_t slot = batch_slots[j];
            switch (metric) {
                case DistanceMetric::DotProduct:
                    emit(slot, sums[j]);
                    break;
                case DistanceMetric::Euclidean:
                    emit(slot, std::sqrt(sums[j]));
                    break;
                case DistanceMetric::Cosine: {
                    const core::ScoreResult cosine =
                        core::cosine_from_sums(sums[j], query_squares, table.sq_norms[slot]);
                    if (cosine.ok()) emit(slot, cosine.value());
                    break;
                }
            }
        }
        filled = 0;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t slot = slots == nullptr ? static_cast<std::uint32_t>(i) : slots[i];
        if (table.lens[slot] != n) continue;  // other length, or no point at all
        batch_slots[filled] = slot;
        rows[filled] = table.vector(slot).data();
        if (++filled == BATCH) flush();
    }
    if (filled != 0) flush();
}

}  // namespace karnoxel::index
