#include "storage/segment.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <utility>

#include "parallel/pool.hpp"
#include "storage/codec.hpp"

namespace karnoxel::storage {
namespace {

// Both read locks of a segment, taken points first and released in reverse.
class SegmentReadLock {
public:
    explicit SegmentReadLock(const Segment& segment) : points_(segment.points_lock), index_(segment.index_lock) {}

private:
    ReadGuard points_;
    ReadGuard index_;
};

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

enum class Beside { Done, Alone };

// An upsert of a new point whose vector goes into a row of a sound graph
// plans beside other such upserts, and beside searches:
//  1. holding the read locks, it checks that the point is new (and that no
//     other upsert plans it), draws its level and notes where walks start.
//     Arrays that a planning walk reads never move while upserts plan: when
//     they could not hold every planned node, the upsert first waits until
//     it is the only writer and grows them (rarely: they grow geometrically);
//  2. holding only the writer lock (shared), it walks the graph for its
//     neighbours and works out their new lists, while searches, other
//     upserts' walks and their commits go on. Lists, levels and parents are
//     read and written atomically (see index/graph.hpp), so a walk sees
//     each list old or new, and each node whole or not at all;
//  3. under the exclusive locks (searches wait, microseconds) it stores the
//     point and commits the node: each planned list is checked against the
//     neighbour's list of the moment, and worked out anew where a commit
//     beside it changed that.
// Removals, relinks, rebuilds and row moves never overlap these: they run
// alone, under the writer lock taken exclusively. Tells whether the upsert
// is done, or must run alone: the point exists already (or another upsert
// plans it), the graph is to be rebuilt, or the vector goes aside.
Beside upsert_beside_others(Segment& segment, core::Point& point, float sq_norm) {
    core::PointTable& points = segment.points;
    index::HNSWIndex& index = segment.index;
    const core::FloatSpan vector = point.vector;
    index::InsertPlan& insert = thread_insert_plan();
    ReadGuard writer(segment.writer_lock);
    for (;;) {
        {
            ReadGuard points_guard(segment.points_lock);
            ReadGuard index_guard(segment.index_lock);
            std::lock_guard<std::mutex> planning(segment.planning_lock);
            auto& planned = segment.planned_ids;
            const bool planned_elsewhere = std::find(planned.begin(), planned.end(), point.id) != planned.end();
            if (index.raw || points.rows.dim == 0 || !core::fits_rows(points.rows, vector.size(), sq_norm) ||
                core::find_slot(points, point.id) || planned_elsewhere) {
                return Beside::Alone;
            }
            const std::size_t others = planned.size();
            if (core::row_room_ready(points, others) &&
                index::insert_room_ready(index, points.rows, others)) {
                index::begin_insert(index, draw_level_bits(segment.levels), insert);
                planned.push_back(point.id);  // the last step that may fail
                break;
            }
        }
        // Room for the rows and nodes of every planned upsert, made while
        // no other upsert plans.
        writer.unlock();
        {
            WriteGuard alone(segment.writer_lock);
            WriteGuard walks(segment.walk_lock);
            WriteGuard points_guard(segment.points_lock);
            WriteGuard index_guard(segment.index_lock);
            core::make_row_room(points, 0);
            index::make_insert_room(index, points.rows, 0);
        }
        writer.lock();
    }
    // No longer planned once done, whether it succeeds or fails.
    struct Unplan {
        Segment& segment;
        std::uint64_t id;
        ~Unplan() {
            std::lock_guard<std::mutex> planning(segment.planning_lock);
            auto& planned = segment.planned_ids;
            const auto it = std::find(planned.begin(), planned.end(), id);
            *it = planned.back();
            planned.pop_back();
        }
    } unplan{segment, point.id};

    index::search_insert(index, points.rows, vector, core::inverse_norm(sq_norm), insert);

    WriteGuard points_guard(segment.points_lock);
    WriteGuard index_guard(segment.index_lock);
    // The room checked when planning holds this point's row and node (every
    // planner checks room for all that are planned), so the rows and the
    // per-row arrays do not move here, under the other planners' walks.
    core::PutPlan put = core::prepare_put(points, point.id, vector, point.payload.get(), sq_norm);
    core::commit_put(points, put, vector, std::move(point.payload));
    insert.row = put.new_row;
    index::commit_insert(index, points.rows, insert);
    return Beside::Done;
}

}  // namespace

void Segment::upsert(core::Point point) {
    const core::FloatSpan vector = point.vector;
    const float sq_norm = core::sum_squares(vector.data(), vector.size());
    if (upsert_beside_others(*this, point, sq_norm) == Beside::Done) return;

    // Alone: from here on only this thread changes the store, so what it
    // plans stays valid while it lets searches in.
    WriteGuard writer(writer_lock);

    // Everything that can fail happens first, and changes nothing a reader
    // can see: a graph read from a damaged image is built anew, the table
    // makes room for the point, the graph makes room for the node's links
    // (all of which may move memory that searches read: they wait)...
    std::optional<index::HNSWIndex> rebuilt;
    core::PutPlan put;
    index::InsertPlan& insert = thread_insert_plan();
    bool inserts = false;
    bool removes = false;
    {
        WriteGuard walks(walk_lock);
        WriteGuard points_guard(points_lock);
        WriteGuard index_guard(index_lock);
        if (index.raw) {
            rebuilt.emplace(index.m, index.ef_construction, index.ef_search);
            index::build(*rebuilt, points.rows, [&] { return draw_level_bits(levels); });
        }
        index::HNSWIndex& graph = rebuilt ? *rebuilt : index;
        put = core::prepare_put(points, point.id, vector, point.payload.get(), sq_norm);
        inserts = put.vector_changed && put.new_row != core::NO_ROW;
        removes = put.vector_changed && put.old_row != core::NO_ROW && put.new_row != put.old_row;
        if (inserts) index::prepare_insert(graph, points.rows, put.new_row, levels.next(), insert);
        if (removes) index::plan_remove(graph, put.old_row);
    }
    // ... then the graph is searched for the node's neighbours, the longest
    // part, while searches go on beside it ...
    if (inserts) {
        ReadGuard points_guard(points_lock);
        ReadGuard index_guard(index_lock);
        index::search_insert(rebuilt ? *rebuilt : index, points.rows, vector, core::inverse_norm(put.sq_norm), insert);
    }

    // ... and the change is made at once. From here on nothing allocates.
    WriteGuard walks(walk_lock);
    WriteGuard points_guard(points_lock);
    WriteGuard index_guard(index_lock);
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

std::vector<index::SearchHit> Segment::search(const index::Query& query) const {
    // The walk runs between two short holds of the read locks, so that an
    // upsert of a new point commits without waiting for it.
    ReadGuard walking(walk_lock);
    index::Route route;
    {
        SegmentReadLock locks(*this);
        if (auto hits = index::begin_answer(points, index, query, route)) return std::move(*hits);
    }
    const bool walked = index::walk_graph(index, points.rows, route);
    SegmentReadLock locks(*this);
    return index::end_answer(points, query, route, walked);
}

void Segment::batch_search(const QueryBatch& batch, std::vector<std::vector<index::SearchHit>>& answers) const {
    ReadGuard walking(walk_lock);
    SegmentReadLock locks(*this);
    // The workers search under the locks this thread holds and take none.
    auto answer = [&](std::size_t i) {
        answers[i] = index::answer(points, index, {batch.vectors[i], batch.limit, batch.metric, batch.tenant});
    };
    parallel::parallel_for(batch.vectors.size(), answer);
}

FileOutcome Segment::save_to_disk(const std::string& path, const Interrupt& interrupt) const {
    core::PodBuffer<std::uint8_t> image;
    {
        SegmentReadLock locks(*this);
        // The graph's hints a load works out anew from the image, worked out
        // here too: the store and a copy loaded from its image then walk alike.
        index::refresh_talls(index, points.rows);
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
        state->index.ef_search = index::ef_search_setting(state->index.ef_search);
    }  // the file's bytes are released before the swap
    {
        WriteGuard writer(writer_lock);
        WriteGuard walks(walk_lock);
        WriteGuard points_guard(points_lock);
        WriteGuard index_guard(index_lock);
        std::swap(points, state->points);
        std::swap(index, state->index);
    }
    return {};  // the old state is released here, outside the locks
}

}  // namespace karnoxel::storage
