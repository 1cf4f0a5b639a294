#include "storage/segment.hpp"

#include <utility>

namespace karnoxel::storage {

void Segment::upsert(core::Point point) {
    WriteGuard points_guard(points_lock);
    core::put_point(points, std::move(point));
    WriteGuard index_guard(index_lock);
}

std::vector<index::SearchHit> Segment::search(const SearchRequest& request) const {
    SegmentReadLock locks(*this);
    return search_locked(*this, request);
}

std::vector<index::SearchHit> search_locked(const Segment& segment, const SearchRequest& request) {
    return index::search_exact_knn(request.query, request.limit, request.metric, segment.points, request.tenant);
}

}  // namespace karnoxel::storage
