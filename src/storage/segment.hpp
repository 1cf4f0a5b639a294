// The whole state behind one VectorStorage: the point table and the graph,
// each behind its own reader-writer lock. Locks are always taken points
// first, index second, and released in the reverse order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/points.hpp"
#include "core/random.hpp"
#include "core/vector.hpp"
#include "index/exact.hpp"
#include "index/hnsw.hpp"
#include "storage/files.hpp"
#include "storage/rwlock.hpp"

namespace karnoxel::storage {

// Stores whose graph has fewer nodes than this are always scanned exactly.
inline constexpr std::size_t EXACT_ROUTE_BELOW = 500;

struct SearchRequest {
    core::FloatSpan query;                   // any length
    std::uint64_t limit;                     // number of hits wanted
    core::DistanceMetric metric;             // scoring and order of the hits
    std::optional<std::string_view> tenant;  // restrict to this tenant's points
};

struct Segment {
    mutable RwLock points_lock;  // guards `points`
    core::PointTable points;     // every stored point
    mutable RwLock index_lock;   // guards `index` and `levels`; taken after `points_lock`
    index::HNSWIndex index;      // the graph over the points' rows
    core::LevelSource levels = core::LevelSource::from_environment();  // level draws of new nodes
    ForkSafeLocks fork_safety{points_lock, index_lock};

    // Stores or replaces a point. Never fails on content; may throw
    // std::bad_alloc or std::length_error, and then nothing has changed.
    void upsert(core::Point point);

    // Answers one query under both read locks.
    std::vector<index::SearchHit> search(const SearchRequest& request) const;

    // Encodes the whole store under both read locks, then writes the file
    // atomically without holding them.
    FileOutcome save_to_disk(const std::string& path, const Interrupt& interrupt) const;

    // Reads and decodes a file without locks, then swaps the whole state in
    // under both write locks: readers see the old store or the new one. On
    // failure the store is unchanged.
    FileOutcome load_from_disk(const std::string& path, const Interrupt& interrupt);
};

// Both read locks of a segment, taken points first and released in reverse.
class SegmentReadLock {
public:
    explicit SegmentReadLock(const Segment& segment) : points_(segment.points_lock), index_(segment.index_lock) {}

private:
    ReadGuard points_;
    ReadGuard index_;
};

// Answers one query; the caller holds both read locks.
std::vector<index::SearchHit> search_locked(const Segment& segment, const SearchRequest& request);

}  // namespace karnoxel::storage
