// The whole state behind one VectorStorage: the point table and the graph,
// each behind its own reader-writer lock, a lock that keeps walks safe from
// changes that move memory, and a lock that orders the writers (upserts and
// loads). Locks are always taken writer first, then walk, then points, then
// index, and released in the reverse order.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/point.hpp"
#include "core/random.hpp"
#include "core/table.hpp"
#include "index/hits.hpp"
#include "index/hnsw.hpp"
#include "index/query.hpp"
#include "storage/files.hpp"
#include "storage/rwlock.hpp"

namespace karnoxel::storage {

// Many queries with the same limit, metric and tenant.
struct QueryBatch {
    std::span<const core::FloatSpan> vectors;  // one per query, any lengths
    std::uint64_t limit;
    core::DistanceMetric metric;
    std::optional<std::string_view> tenant;
};

struct Segment {
    // Taken before the others for a whole upsert or load: shared by upserts
    // of new points, which plan beside each other; exclusive for every other
    // upsert and for a load, which then run alone.
    RwLock writer_lock{false};
    // Taken shared by a search for its whole run, exclusively by whatever
    // moves the arrays a walk reads or removes nodes (the steps of an upsert
    // that runs alone, growing room, a load). Commits of new points do not
    // take it: a search walks the graph without the locks below, which it
    // holds only to choose its route and to score what it found.
    mutable RwLock walk_lock;
    mutable RwLock points_lock;  // guards `points`
    core::PointTable points;     // every stored point
    mutable RwLock index_lock;   // guards `index` and `levels` (see planning_lock); taken after `points_lock`
    index::HNSWIndex index{index::DEFAULT_M, index::DEFAULT_EF_CONSTRUCTION,
                           index::ef_search_setting(index::DEFAULT_EF_SEARCH)};  // the graph over the points' rows
    core::LevelSource levels = core::LevelSource::from_environment();  // level draws of new nodes
    // Upserts planning beside each other (holding the locks above shared)
    // draw levels and note their ids under this one, taken last.
    std::mutex planning_lock;
    std::vector<std::uint64_t> planned_ids;  // ids of the new points planned beside each other
    ForkSafeLocks fork_safety{{&writer_lock, &walk_lock, &points_lock, &index_lock}};

    // Stores or replaces a point. Never fails on content; may throw
    // std::bad_alloc or std::length_error, and then nothing has changed.
    // Searches go on while the graph is searched for the new node's
    // neighbours: only making room and linking hold them out. Upserts of
    // new points from several threads search the graph at the same time.
    void upsert(core::Point point);

    // Answers one query under both read locks.
    std::vector<index::SearchHit> search(const index::Query& query) const;

    // Answers every query of a batch on the worker pool, under one pair of
    // read locks for the whole batch: every query sees the same contents even
    // if another thread upserts meanwhile. answers[i] is query i's.
    void batch_search(const QueryBatch& batch, std::vector<std::vector<index::SearchHit>>& answers) const;

    // Encodes the whole store under both read locks, then writes the file
    // atomically without holding them.
    FileOutcome save_to_disk(const std::string& path, const Interrupt& interrupt) const;

    // Reads and decodes a file without locks, then swaps the whole state in
    // under both write locks: readers see the old store or the new one. On
    // failure the store is unchanged.
    FileOutcome load_from_disk(const std::string& path, const Interrupt& interrupt);
};

}  // namespace karnoxel::storage
