#include "index/query.hpp"

#include <algorithm>

#include "core/kernels.hpp"
#include "index/exact.hpp"

namespace karnoxel::index {
namespace {

// The query's inverse norm if the graph can answer it, else 0.
float graph_inv_norm(const core::PointTable& table, const HNSWIndex& graph, core::FloatSpan query) {
    const core::RowStore& rows = table.rows;
    if (graph.raw || graph.entry_row == core::NO_ROW || graph.node_count < EXACT_ROUTE_BELOW) return 0.0f;
    if (query.empty() || query.size() != rows.dim) return 0.0f;
    // Only steering uses this norm, so the fast kernel will do; the exact
    // scoring forms its own sums under the accumulation rule.
    return core::inverse_norm(core::fast_kernels().dot(query.data(), query.data(), query.size()));
}

// The least breadth of a walk. The graph links by cosine; on vectors of
// unequal lengths the other metrics' neighbours lie in it less tidily, and
// their walks keep a wider beam to find them as often as cosine's do.
std::uint64_t least_breadth(std::uint64_t ef_search, core::DistanceMetric metric) {
    const std::uint64_t widen = metric == core::DistanceMetric::DotProduct  ? 3
                                : metric == core::DistanceMetric::Euclidean ? 2
                                                                            : 1;
    return ef_search > UINT64_MAX / widen ? UINT64_MAX : ef_search * widen;
}

// A tenant with t of the graph's n nodes is scanned exactly when that is
// cheaper than a filtered walk. The walk visits about (breadth * list size)
// nodes per result list filled, n / t times more when only one node in n / t
// qualifies, and a visited node costs a few scanned points (random access).
bool tenant_scan_is_cheaper(std::size_t tenant_points, std::size_t nodes, std::size_t breadth, std::size_t list_size) {
    const double walk_visits = static_cast<double>(breadth) * static_cast<double>(list_size) *
                               static_cast<double>(nodes) / static_cast<double>(tenant_points);
    return static_cast<double>(tenant_points) <= 3.0 * walk_visits;
}

// Walks the graph and scores what it finds, with the points of the query's
// length that the graph cannot hold. False if a filtered walk gave up, or if
// the walk found fewer than `wanted` nodes: every node is reachable from the
// entry point, but not from every node the descent may end at, and a query
// must never get fewer hits than the store can give.
bool walk(const core::PointTable& table, const HNSWIndex& graph, const GraphQuery& query, std::size_t wanted,
          ExactScorer& scorer) {
    thread_local std::vector<std::uint32_t> found;
    found.clear();
    if (!search_knn(graph, table.rows, query, found) || found.size() < wanted) return false;
    for (const std::uint32_t row : found) scorer.add(table.rows.slot_of[row], table.rows.vector(row));
    scan_aside(query.query, table, query.tenant, scorer);
    return true;
}

}  // namespace

std::vector<SearchHit> answer(const core::PointTable& table, const HNSWIndex& graph, const Query& query) {
    if (query.limit == 0 || table.point_count == 0) return {};
    std::uint32_t tenant = 0;
    if (query.tenant) {
        tenant = table.tenants.find(*query.tenant);
        if (tenant == 0) return {};
    }
    const core::RowStore& rows = table.rows;
    const std::size_t candidates = tenant != 0 ? table.tenants.members[tenant].size() : rows.count;
    const float inv_norm = graph_inv_norm(table, graph, query.vector);
    const std::size_t breadth = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max(least_breadth(graph.ef_search, query.metric), query.limit), rows.count));

    TopK top(query.limit, query.metric);
    ExactScorer scorer(query.vector, query.metric, table, top);
    const bool graph_route =
        inv_norm != 0.0f && !(tenant != 0 && tenant_scan_is_cheaper(candidates, rows.count, breadth, graph.layer0_cap));
    // A filtered walk that has visited as many nodes as the tenant has points
    // costs more than the scan would have: it gives up, and the scan answers.
    const GraphQuery walk_query{query.vector, inv_norm, query.metric, breadth, tenant, tenant != 0 ? candidates : SIZE_MAX};
    // `candidates` counts a tenant's points kept aside too: a walk that finds
    // fewer than the limit then falls back to the scan, which is exact.
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(query.limit, candidates));
    if (!graph_route || !walk(table, graph, walk_query, wanted, scorer)) scan_all(query.vector, table, tenant, scorer);
    scorer.flush();
    return top.finish(table);
}

}  // namespace karnoxel::index
