#include "storage/segment.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "core/kernels.hpp"
#include "storage/codec.hpp"

namespace karnoxel::storage {
namespace {

// The query's inverse norm if the graph can answer it, else 0. The graph
// answers queries of its rows' length with a finite non-zero norm, once it
// has enough nodes and is sound; everything else is answered exactly.
float graph_inv_norm(const Segment& segment, core::FloatSpan query) {
    const index::HNSWIndex& graph = segment.index;
    const core::RowStore& rows = segment.points.rows;
    if (graph.raw || graph.entry_row == core::NO_ROW || graph.node_count < EXACT_ROUTE_BELOW) return 0.0f;
    if (query.empty() || query.size() != rows.dim) return 0.0f;
    // Only steering uses this norm, so the fast kernel will do; the exact
    // rescoring forms its own sums under the accumulation rule.
    return core::inverse_norm(core::fast_kernels().dot(query.data(), query.data(), query.size()));
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

// The bits of the next level draw, used up.
std::uint64_t draw_level_bits(core::LevelSource& levels) {
    const std::uint64_t bits = levels.next();
    levels.advance();
    return bits;
}

// The working memory of one upsert's graph change, kept per thread.
index::InsertPlan& thread_insert_plan() {
    thread_local index::InsertPlan plan;
    return plan;
}

// Moves the rows to another length once its steerable vectors outnumber
// the rows: new rows and a new graph are built completely, then swapped in.
// If that runs out of memory the store stays as it is, whole and consistent.
void move_rows_if_outnumbered(Segment& segment, std::uint32_t length) {
    const std::optional<std::uint32_t> dim = core::preferred_length(segment.points, length);
    if (!dim) return;
    try {
        core::Layout layout = core::relayout(segment.points, *dim);
        index::HNSWIndex graph(segment.index.m, segment.index.ef_construction, segment.index.ef_search);
        index::build(graph, layout.rows, [&] { return draw_level_bits(segment.levels); });
        core::swap_layout(segment.points, layout);
        segment.index = std::move(graph);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

void Segment::upsert(core::Point point) {
    WriteGuard points_guard(points_lock);
    WriteGuard index_guard(index_lock);
    const core::FloatSpan vector = point.vector;

    // Everything that can fail happens first, and changes nothing a reader
    // can see: a graph read from a damaged image is built anew, the table
    // makes room for the point, the graph plans the node's links.
    std::optional<index::HNSWIndex> rebuilt;
    if (index.raw) {
        rebuilt.emplace(index.m, index.ef_construction, index.ef_search);
        index::build(*rebuilt, points.rows, [&] { return draw_level_bits(levels); });
    }
    index::HNSWIndex& graph = rebuilt ? *rebuilt : index;
    core::PutPlan put = core::prepare_put(points, point.id, vector, point.payload.get(), NAN);
    const bool inserts = put.vector_changed && put.new_row != core::NO_ROW;
    const bool removes = put.vector_changed && put.old_row != core::NO_ROW && put.new_row != put.old_row;
    index::InsertPlan& insert = thread_insert_plan();
    if (inserts) {
        index::plan_insert(graph, points.rows, vector, core::inverse_norm(put.sq_norm), put.new_row, levels.next(),
                           insert);
    }
    if (removes) index::plan_remove(graph, put.old_row);

    // From here on nothing allocates.
    if (rebuilt) index = std::move(*rebuilt);
    core::commit_put(points, put, vector, std::move(point.payload));
    if (removes) index::commit_remove(index, points.rows, put.old_row);
    if (inserts) {
        insert.row = put.new_row;
        index::commit_insert(index, points.rows, insert);
        if (!insert.relink) levels.advance();
    }

    if (put.vector_changed && put.new_row == core::NO_ROW) {
        move_rows_if_outnumbered(*this, static_cast<std::uint32_t>(vector.size()));
    }
}

std::vector<index::SearchHit> Segment::search(const SearchRequest& request) const {
    SegmentReadLock locks(*this);
    return search_locked(*this, request);
}

FileOutcome Segment::save_to_disk(const std::string& path, const Interrupt& interrupt) const {
    core::PodBuffer<std::uint8_t> image;
    {
        SegmentReadLock locks(*this);
        image = encode_snapshot(points, index);
    }
    return write_snapshot_file(path, {image.data(), image.size()}, interrupt);
}

FileOutcome Segment::load_from_disk(const std::string& path, const Interrupt& interrupt) {
    std::unique_ptr<StoreState> state;
    {
        SnapshotReader reader(interrupt);
        FileOutcome opened = reader.open(path);
        if (opened.status != FileStatus::Done) return opened;
        auto decoded = decode_snapshot(reader);
        if (!decoded.ok()) {
            if (decoded.error() == DecodeError::SourceFailed) return reader.failure();
            return {FileStatus::Failed, "Postcard binary deserialization pipeline failure (possible corruption): " +
                                            std::string(error_text(decoded.error()))};
        }
        state = std::move(decoded.value());
    }  // the file's bytes are released before the swap
    {
        WriteGuard points_guard(points_lock);
        WriteGuard index_guard(index_lock);
        std::swap(points, state->points);
        std::swap(index, state->index);
    }
    return {};  // the old state is released here, outside the locks
}

std::vector<index::SearchHit> search_locked(const Segment& segment, const SearchRequest& request) {
    const core::PointTable& table = segment.points;
    if (request.limit == 0 || table.point_count == 0) return {};
    std::uint32_t tenant = 0;
    if (request.tenant) {
        tenant = table.tenants.find(*request.tenant);
        if (tenant == 0) return {};
    }
    const core::RowStore& rows = table.rows;
    const std::size_t candidates = tenant != 0 ? table.tenants.members[tenant].size() : rows.count;
    const float inv_norm = graph_inv_norm(segment, request.query);
    const std::size_t breadth =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(segment.index.ef_search, request.limit), rows.count));

    index::TopK top(request.limit, request.metric, std::min<std::size_t>(candidates, breadth + 64));
    index::ExactScorer scorer(request.query, request.metric, table, top);
    bool walked = false;
    if (inv_norm != 0.0f &&
        !(tenant != 0 && tenant_scan_is_cheaper(candidates, rows.count, breadth, segment.index.layer0_cap))) {
        // A filtered walk that has visited as many nodes as the tenant has
        // points costs more than the scan would have: it gives up.
        thread_local std::vector<std::uint32_t> found;
        found.clear();
        const index::GraphQuery query{request.query, inv_norm, breadth, tenant, tenant != 0 ? candidates : SIZE_MAX};
        walked = index::search_knn(segment.index, rows, query, found);
        if (walked) {
            // Rescore every candidate exactly, together with the points of this
            // length that the graph cannot hold (zero or non-finite norms).
            for (const std::uint32_t row : found) scorer.add(rows.slot_of[row], rows.vector(row));
            index::scan_aside(request.query, table, tenant, scorer);
        }
    }
    if (!walked) index::scan_all(request.query, table, tenant, scorer);
    scorer.flush();
    return top.finish(table);
}

}  // namespace karnoxel::storage
