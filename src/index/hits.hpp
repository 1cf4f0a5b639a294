// The hit record, the hit order and the best-k collector that every route
// of a query ranks with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/distance.hpp"
#include "core/table.hpp"

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

// Keeps the best k of the scored candidates offered: by the metric's order,
// NaN scores after all others, equal scores in slot order (the order in
// which the points' ids were first stored). The result does not depend on
// the order of the offers, so every route ranks alike.
class TopK {
public:
    // Uses the calling thread's working memory: one TopK per thread at a time.
    TopK(std::uint64_t k, core::DistanceMetric metric);

    void offer(std::uint32_t slot, float score);
    // The kept hits, best first, ids resolved through the table.
    std::vector<SearchHit> finish(const core::PointTable& table);

private:
    struct Entry {
        float key;           // score oriented so that higher is better; NaN ranks last
        float score;         // the score as reported
        std::uint32_t slot;  // the point's slot, the tie-break
    };
    static bool better(const Entry& a, const Entry& b);

    static std::vector<Entry>& thread_heap();

    std::size_t k_;
    bool negate_;
    std::vector<Entry>& heap_;  // the kept entries; front is the worst while full
};

}  // namespace karnoxel::index
