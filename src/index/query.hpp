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
// cheaper to scan than a filtered walk, is answered by a scan: of every
// point, or of a large tenant's 8-bit codes, whose best are scored exactly.
std::vector<SearchHit> answer(const core::PointTable& table, const HNSWIndex& graph, const Query& query);

// The same answer in three steps, for a caller that lets commits of new
// nodes (index/hnsw.hpp: begin_insert) run while the graph is walked:
// begin_answer under the read locks gives the hits, or nothing when an
// unfiltered walk is due; walk_graph then runs without the locks (nothing
// may move the graph's arrays or remove a node meanwhile); end_answer under
// the read locks again scores what the walk found, or scans when it found
// too few. The walk's findings stay in the calling thread.
struct Route {
    std::uint32_t tenant = 0;  // tenant code, 0 for none
    bool empty = false;        // no hits at all
    bool graph = false;        // walk the graph (else scan)
    bool coded = false;        // a scan goes through the tenant's 8-bit codes
    GraphQuery walk{};
    WalkStart start;
    std::size_t wanted = 0;  // hits the store can give, up to the limit
};
std::optional<std::vector<SearchHit>> begin_answer(const core::PointTable& table, const HNSWIndex& graph,
                                                   const Query& query, Route& route);
bool walk_graph(const HNSWIndex& graph, const core::RowStore& rows, const Route& route);
std::vector<SearchHit> end_answer(const core::PointTable& table, const Query& query, const Route& route, bool walked);

}  // namespace karnoxel::index
