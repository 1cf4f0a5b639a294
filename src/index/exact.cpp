#include "index/exact.hpp"

#include <algorithm>
#include <cmath>

namespace karnoxel::index {

TopK::TopK(std::uint64_t k, core::DistanceMetric metric, std::size_t expected)
    : k_(static_cast<std::size_t>(std::min<std::uint64_t>(k, SIZE_MAX))), negate_(!core::higher_is_better(metric)) {
    heap_.reserve(std::min(k_, expected));
}

bool TopK::better(const Entry& a, const Entry& b) {
    const bool a_nan = std::isnan(a.key), b_nan = std::isnan(b.key);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.key != b.key) return a.key > b.key;
    return a.seq < b.seq;
}

void TopK::offer(std::uint32_t slot, float score) {
    if (k_ == 0) return;
    const Entry entry{negate_ ? -score : score, score, seq_++, slot};
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

std::vector<SearchHit> search_exact_knn(core::FloatSpan query, std::uint64_t k, core::DistanceMetric metric,
                                        const core::PointTable& table, std::optional<std::string_view> tenant) {
    if (k == 0 || table.point_count == 0) return {};
    const std::uint32_t* slots = nullptr;  // null: every slot in order
    std::size_t count = table.slot_count();
    if (tenant) {
        const std::uint32_t code = table.tenants.find(*tenant);
        if (code == 0) return {};
        const auto& members = table.tenants.members[code];
        slots = members.data();
        count = members.size();
    }
    TopK top(k, metric, count);
    score_slots(query, metric, table, slots, count, [&](std::uint32_t slot, float score) { top.offer(slot, score); });
    return top.finish(table);
}

}  // namespace karnoxel::index
