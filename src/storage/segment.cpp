#include "storage/segment.hpp"

#include <algorithm>
#include <utility>

#include "core/kernels.hpp"
#include "storage/snapshot.hpp"

namespace karnoxel::storage {
namespace {

// The query's inverse norm if the graph can answer it, else 0. Queries the
// graph cannot steer (no usable entry point, a length other than the graph's
// vectors, a zero or non-finite magnitude, so no cosine to walk by) are
// answered exactly.
float graph_inv_norm(const Segment& segment, core::FloatSpan query) {
    const core::PointTable& table = segment.points;
    const index::HNSWIndex& graph = segment.index;
    if (table.point_count < EXACT_ROUTE_BELOW) return 0.0f;
    if (graph.entry_slot == index::NO_SLOT || !table.has_point(graph.entry_slot)) return 0.0f;
    // A graph that misses some points (possible only after loading a snapshot
    // that lacks their nodes) would never return them.
    if (graph.covered != table.point_count) return 0.0f;
    if (query.empty() || query.size() != table.arena.dim) return 0.0f;
    // Only steering uses this norm, so the fast kernel will do; the exact
    // rescoring forms its own sums under the accumulation rule.
    return core::inverse_norm(core::fast_kernels().dot(query.data(), query.data(), query.size()));
}

// A tenant with t of the store's n points is scanned exactly when that is
// cheaper than a filtered walk. The walk visits about (breadth * list size)
// nodes per result list filled, n / t times more when only one node in n / t
// qualifies, and a visited node costs a few scanned points (random access).
bool tenant_scan_is_cheaper(std::size_t tenant_points, std::size_t store_points, std::size_t breadth,
                            std::size_t list_size) {
    const double walk_visits = static_cast<double>(breadth) * static_cast<double>(list_size) *
                               static_cast<double>(store_points) / static_cast<double>(tenant_points);
    return static_cast<double>(tenant_points) <= 3.0 * walk_visits;
}

std::vector<index::SearchHit> scan(const Segment& segment, const SearchRequest& request) {
    return index::search_exact_knn(request.query, request.limit, request.metric, segment.points, request.tenant);
}

}  // namespace

void Segment::upsert(core::Point point) {
    WriteGuard points_guard(points_lock);
    WriteGuard index_guard(index_lock);
    index::reserve_slots(index, points.slot_count() + 1);
    const std::optional<std::uint32_t> existing = core::find_slot(points, point.id);
    const bool was_covered = existing && points.has_point(*existing) && index.has_node(*existing);
    const core::PutResult put = core::put_point(points, point.id, point.vector, std::move(point.payload));
    // An unchanged vector (a payload-only update) leaves the graph alone.
    if (put.vector_changed || !index.has_node(put.slot)) index::insert(index, points, put.slot);
    if (!was_covered) ++index.covered;
}

std::vector<index::SearchHit> Segment::search(const SearchRequest& request) const {
    SegmentReadLock locks(*this);
    return search_locked(*this, request);
}

std::optional<std::string> Segment::save_to_disk(const std::string& path) const {
    core::PodBuffer<std::uint8_t> image;
    {
        SegmentReadLock locks(*this);
        image = encode_snapshot(points, index);
    }
    return write_snapshot_file(path, {image.data(), image.size()});
}

std::optional<std::string> Segment::load_from_disk(const std::string& path) {
    std::unique_ptr<StoreState> state;
    {
        auto bytes = read_snapshot_file(path);
        if (!bytes.ok()) return bytes.error();
        auto decoded = decode_snapshot({bytes.value().data(), bytes.value().size()});
        if (!decoded.ok()) {
            return "Postcard binary deserialization pipeline failure (possible corruption): " +
                   std::string(error_text(decoded.error()));
        }
        state = std::move(decoded.value());
    }  // the file's bytes are released before the swap
    {
        WriteGuard points_guard(points_lock);
        WriteGuard index_guard(index_lock);
        std::swap(points, state->points);
        std::swap(index, state->index);
    }
    return std::nullopt;  // the old state is released here, outside the locks
}

std::vector<index::SearchHit> search_locked(const Segment& segment, const SearchRequest& request) {
    const core::PointTable& table = segment.points;
    if (request.limit == 0 || table.point_count == 0) return {};
    const float inv_norm = graph_inv_norm(segment, request.query);
    if (inv_norm == 0.0f) return scan(segment, request);

    std::uint32_t tenant = 0;
    std::size_t candidates = table.point_count;
    if (request.tenant) {
        tenant = table.tenants.find(*request.tenant);
        if (tenant == 0) return {};
        candidates = table.tenants.members[tenant].size();
    }
    const std::size_t breadth = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max(segment.index.ef_search, request.limit), table.point_count));
    if (tenant != 0 && tenant_scan_is_cheaper(candidates, table.point_count, breadth, segment.index.layer0_cap)) {
        return scan(segment, request);
    }

    // A filtered walk that has visited as many nodes as the tenant has points
    // costs more than the scan would have: give up and scan.
    const index::GraphQuery query{request.query, inv_norm, breadth, tenant, tenant != 0 ? candidates : SIZE_MAX};
    const index::GraphAnswer answer = index::search_knn(segment.index, table, query);
    if (answer.gave_up) return scan(segment, request);

    // Rescore every candidate exactly with the requested metric, then rank.
    index::TopK top(request.limit, request.metric, answer.slots.size());
    index::score_slots(request.query, request.metric, table, answer.slots.data(), answer.slots.size(),
                       [&](std::uint32_t slot, float score) { top.offer(slot, score); });
    return top.finish(table);
}

}  // namespace karnoxel::storage
