#include "index/hits.hpp"

#include <algorithm>
#include <cmath>

namespace karnoxel::index {

std::vector<TopK::Entry>& TopK::thread_heap() {
    thread_local std::vector<Entry> heap;
    return heap;
}

TopK::TopK(std::uint64_t k, core::DistanceMetric metric)
    : k_(static_cast<std::size_t>(std::min<std::uint64_t>(k, SIZE_MAX))),
      negate_(!core::higher_is_better(metric)),
      heap_(thread_heap()) {
    heap_.clear();
}

bool TopK::better(const Entry& a, const Entry& b) {
    const bool a_nan = std::isnan(a.key), b_nan = std::isnan(b.key);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.key != b.key) return a.key > b.key;
    return a.slot < b.slot;
}

void TopK::offer(std::uint32_t slot, float score) {
    if (k_ == 0) return;
    const Entry entry{negate_ ? -score : score, score, slot};
    if (heap_.size() < k_) {
        heap_.push_back(entry);
        std::push_heap(heap_.begin(), heap_.end(), better);
    } else if (better(entry, heap_.front())) {
        std::pop_heap(heap_.begin(), heap_.end(), better);
        heap_.back() = entry;
        std::push_heap(heap_.begin(), heap_.end(), better);
    }
}

std::vector<SearchHit> TopK::finish(const core::PointTable& table) {
    std::sort_heap(heap_.begin(), heap_.end(), better);
    std::vector<SearchHit> hits;
    hits.reserve(heap_.size());
    for (const Entry& entry : heap_) hits.push_back(SearchHit{table.point_id(entry.slot), entry.score});
    heap_.clear();
    return hits;
}

}  // namespace karnoxel::index
