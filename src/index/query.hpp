// One query against a store: the choice of route (a walk of the graph or an
// exact scan), the exact scoring and the ranking, in one place. The caller
// holds the store's read locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/table.hpp"
#include "index/hits.hpp"
#include "index/hnsw.hpp"

namespace karnoxel::index {

// Stores whose graph has fewer nodes than this are always scanned exactly.
inline constexpr std::size_t EXACT_ROUTE_BELOW = 500;

struct Query {
    core::FloatSpan vector;                  // any length
    std::uint64_t limit;                     // number of hits wanted
    core::DistanceMetric metric;             // scoring and order of the hits
    std::optional<std::string_view> tenant;  // restrict to this tenant's points
};

// The best `limit` hits, ranked. The graph answers queries of its rows'
// length with a finite non-zero norm once it holds EXACT_ROUTE_BELOW nodes
// and is sound; its candidates and the points of that length it cannot
// hold are scored exactly. Everything else, and tenants whose own points are
// cheaper to scan than a filtered walk, is answered by an exact scan.
std::vector<SearchHit> answer(const core::PointTable& table, const HNSWIndex& graph, const Query& query);

}  // namespace karnoxel::index
