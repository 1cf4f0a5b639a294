#include "index/query.hpp"

#include <algorithm>
#include <cmath>

#include "core/kernels.hpp"
#include "index/coded_scan.hpp"
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

// The graph links by cosine; on vectors of unequal lengths the other metrics'
// neighbours lie in it less tidily. Walks by those metrics expand by angle as
// well as by their metric (graph.hpp, search_layer) and keep fewer by the
// metric: half the search breadth, or the limit when larger. By angle they
// keep twice that, and at least twice the search breadth. Measured against a
// single order by the metric at three (dot product) or two (Euclidean) times
// the search breadth, at about the same queries per second: 50,000 raw text
// embeddings, Euclidean recall@10 0.882 (was 0.826), dot product 0.922 (was
// 0.936) at 1.3x; clustered vectors, Euclidean 0.802 (was 0.783), and of
// varied lengths 0.982 (was 0.965), dot product 0.995 (was 0.994) at
// 1.2-1.3x. Keeping half as many by angle was faster still on the raw
// embeddings but lost recall on the clustered vectors (0.747). A tenant's
// walk runs in the same two orders (a single order by the metric, three times
// the search breadth, found 0.84-0.90 for tenants of 75-90% of 100,000
// clustered vectors of varied lengths, where the two orders find 0.95-0.98,
// as the unfiltered walk does, at 1.05-1.2x the rate).
struct TwoOrders {
    std::uint64_t metric;
    std::uint64_t angle;
};
TwoOrders two_order_breadths(std::uint64_t ef_search, std::uint64_t limit) {
    const std::uint64_t by_metric = std::max<std::uint64_t>(ef_search / 2, limit);
    const std::uint64_t cap = UINT64_MAX / 2;
    return {by_metric, std::min(std::max(ef_search, by_metric), cap) * 2};
}

// A tenant with t of the graph's n nodes is scanned when that is cheaper
// than a filtered walk. The walk visits about (breadth * list size) nodes
// per result list filled, n / t times more when only one node in n / t
// qualifies, and a visited node costs a few scanned points (random access),
// CODED_SCAN_GAIN times more points when the scan reads 8-bit codes: a
// quarter of the bytes, in one stream. Measured: half of 100,000 clustered
// points of 128 dimensions scan their codes twice as fast as they walk by
// the metric alone (Euclidean);
// 40% of 100,000 text embeddings of 384 dimensions walk faster (cosine,
// were every code scanned). A scan that ranks by angle (cosine, or any
// metric on rows of length 1) reads the codes' signs first and then only the
// codes of the entries near the query by sign, SIGNS_SCAN_GAIN times the
// points of a walk (coded_scan.cpp). Measured on 100,000 text embeddings:
// tenants of 45% scan at 0.6x the unfiltered rate (a walk 0.5x), of 50% at
// 0.45-0.55x (a walk about 0.5x, at recall 0.95 where the scan finds all;
// the scan's share depends on the machine's memory), so tenants up to about
// half of such a store scan. A dot-product scan of vectors of unequal
// lengths may also read the signs first, within bands of nearly equal
// lengths (coded_scan.cpp), but only where the bands are large enough to
// pay; the model counts it as a scan of every code (too high where the
// bands keep few entries: it may walk tenants that would scan faster).
constexpr double CODED_SCAN_GAIN = 4.5;
constexpr double SIGNS_SCAN_GAIN = 8.5;

bool tenant_scan_is_cheaper(std::size_t tenant_points, std::size_t nodes, std::size_t breadth, std::size_t list_size,
                            double gain) {
    const double walk_visits = static_cast<double>(breadth) * static_cast<double>(list_size) *
                               static_cast<double>(nodes) / static_cast<double>(tenant_points);
    return static_cast<double>(tenant_points) <= 3.0 * gain * walk_visits;
}

// Candidates a scan of 8-bit codes scores exactly for `limit` hits.
std::size_t coded_pool(std::uint64_t limit) {
    return static_cast<std::size_t>(std::max<std::uint64_t>(std::min<std::uint64_t>(limit, SIZE_MAX / 4) * 4, 64));
}

Route route(const core::PointTable& table, const HNSWIndex& graph, const Query& query) {
    Route r;
    if (query.limit == 0 || table.point_count == 0) {
        r.empty = true;
        return r;
    }
    if (query.tenant) {
        r.tenant = table.tenants.find(*query.tenant);
        if (r.tenant == 0) {
            r.empty = true;
            return r;
        }
    }
    const core::RowStore& rows = table.rows;
    const std::size_t candidates = r.tenant != 0 ? table.tenants.members[r.tenant].size() : rows.count;
    const float inv_norm = graph_inv_norm(table, graph, query.vector);
    // On rows all of length 1 (normalised embeddings) every metric ranks the
    // rows as cosine does: the walk keeps cosine's breadth and starts.
    const core::DistanceMetric ranks_as =
        ranks_by_angle(table, query.metric) ? core::DistanceMetric::Cosine : query.metric;
    std::size_t breadth =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(graph.ef_search, query.limit), rows.count));
    // The breadth the scan-or-walk choice below prices a walk at: a walk in
    // two orders at half of each order's. Measured on tenants of 20-90% of
    // 50,000 raw text embeddings (dot product, Euclidean) and of 100,000
    // clustered vectors of varied lengths (both): the walk overtakes the scan
    // from about 45-60% of the store on (at 0.72-1.01x the unfiltered rate,
    // where the scans of 45-90% answered at 0.35-0.58x), about where this
    // count has it; pricing the walk at three (dot product) or two
    // (Euclidean) times the search breadth, as a walk by the metric alone
    // needed, scanned tenants of up to 90%.
    std::size_t model_breadth = breadth;
    std::size_t angle_breadth = 0;
    if (ranks_as != core::DistanceMetric::Cosine) {
        const TwoOrders two = two_order_breadths(graph.ef_search, query.limit);
        breadth = static_cast<std::size_t>(std::min<std::uint64_t>(two.metric, rows.count));
        angle_breadth = static_cast<std::size_t>(std::min<std::uint64_t>(two.angle, rows.count));
        model_breadth = breadth / 2 + angle_breadth / 2;
    }
    // Codes only pick candidates in stores large enough for the graph (smaller
    // ones are always scanned exactly), and only when far fewer are wanted
    // than the tenant has.
    const bool coded = inv_norm != 0.0f && has_codes(table, r.tenant, query.vector.size()) &&
                       coded_pool(query.limit) <= candidates / 4;
    const double gain = !coded ? 1.0 : ranks_as == core::DistanceMetric::Cosine ? SIGNS_SCAN_GAIN : CODED_SCAN_GAIN;
    r.graph = inv_norm != 0.0f &&
              !(r.tenant != 0 && tenant_scan_is_cheaper(candidates, rows.count, model_breadth, graph.layer0_cap, gain));
    r.coded = coded;  // also when a filtered walk gives up
    // A filtered walk keeps only the tenant's nodes among those it measures,
    // so its result list reaches less far around the query than an unfiltered
    // one: it widens with the share of nodes outside the tenant, up to half
    // again (a quarter for a tenant of half the store); a walk in two orders
    // widens both.
    std::size_t walk_breadth = breadth;
    if (r.graph && r.tenant != 0 && candidates < rows.count) {
        const double outside = static_cast<double>(rows.count - candidates) / static_cast<double>(rows.count);
        auto widen = [&](std::size_t b) {
            return std::min<std::size_t>(
                rows.count, b + static_cast<std::size_t>(std::ceil(static_cast<double>(b) * outside / 2.0)));
        };
        walk_breadth = widen(breadth);
        if (angle_breadth != 0) angle_breadth = widen(angle_breadth);
    }
    // A filtered walk that has visited as many nodes as the tenant has points
    // costs more than the scan would have: it gives up, and the scan answers.
    r.walk = {query.vector, inv_norm, query.metric, walk_breadth, r.tenant, r.tenant != 0 ? candidates : SIZE_MAX};
    r.walk.angle_breadth = angle_breadth;
    // `candidates` counts a tenant's points kept aside too: a walk that finds
    // fewer than the limit then falls back to the scan, which scores every
    // point (or, through a tenant's codes, at least four times the limit).
    r.wanted = static_cast<std::size_t>(std::min<std::uint64_t>(query.limit, candidates));
    if (r.graph) r.start = walk_start(graph, ranks_as);
    return r;
}

// Scores what a walk found, with the points of the query's length that the
// graph cannot hold; or, if the walk gave up (a filtered walk) or found
// fewer than `wanted` nodes, scans (the tenant's codes when the route says
// so, else exactly): every node is reachable from the entry point, but not
// from every node the descent may end at, and a query must never get fewer
// hits than the store can give.
std::vector<SearchHit> score(const core::PointTable& table, const Query& query, const Route& r, bool walked,
                             const std::vector<std::uint32_t>& found) {
    TopK top(query.limit, query.metric);
    ExactScorer scorer(query.vector, query.metric, table, top);
    if (walked && found.size() >= r.wanted) {
        for (const std::uint32_t row : found) scorer.add_row(table.rows.slot_of[row], table.rows.upper(row));
        scan_aside(query.vector, table, r.tenant, scorer);
    } else if (!(r.coded &&
                 scan_coded(query.vector, query.metric, table, r.tenant, coded_pool(query.limit), scorer))) {
        scan_all(query.vector, table, r.tenant, scorer);
    }
    scorer.flush();
    return top.finish(table);
}

std::vector<std::uint32_t>& thread_found() {
    thread_local std::vector<std::uint32_t> found;
    return found;
}

}  // namespace

bool walk_graph(const HNSWIndex& graph, const core::RowStore& rows, const Route& r) {
    std::vector<std::uint32_t>& found = thread_found();
    found.clear();
    return search_knn(graph, rows, r.walk, r.start, found);
}

std::vector<SearchHit> end_answer(const core::PointTable& table, const Query& query, const Route& r, bool walked) {
    return score(table, query, r, walked, thread_found());
}

namespace {

// Walks the graph if the route says so, and scores, in one go.
std::vector<SearchHit> walk_and_score(const core::PointTable& table, const HNSWIndex& graph, const Query& query,
                                      const Route& r) {
    const bool walked = r.graph && walk_graph(graph, table.rows, r);
    return end_answer(table, query, r, walked);
}

}  // namespace

std::vector<SearchHit> answer(const core::PointTable& table, const HNSWIndex& graph, const Query& query) {
    const Route r = route(table, graph, query);
    if (r.empty) return {};
    return walk_and_score(table, graph, query, r);
}

std::optional<std::vector<SearchHit>> begin_answer(const core::PointTable& table, const HNSWIndex& graph,
                                                   const Query& query, Route& r) {
    r = route(table, graph, query);
    if (r.empty) return std::vector<SearchHit>();
    // Scans, and filtered walks (they read the rows' tenants, an array a
    // commit may move), are answered here, under the locks.
    if (!r.graph || r.tenant != 0) return walk_and_score(table, graph, query, r);
    return std::nullopt;
}

}  // namespace karnoxel::index
