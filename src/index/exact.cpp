#include "index/exact.hpp"

#include <algorithm>
#include <cmath>

#include "core/kernels.hpp"

namespace karnoxel::index {

using core::DistanceMetric;
using core::PointTable;

ExactScorer::ExactScorer(core::FloatSpan query, DistanceMetric metric, const PointTable& table, TopK& top)
    : query_(query), metric_(metric), table_(table), top_(top) {
    if (query.size() >= PointTable::NO_POINT) {
        possible_ = false;  // longer than any stored vector can be
    } else if (metric == DistanceMetric::Cosine) {
        query_squares_ = core::sum_squares(query.data(), query.size());
        possible_ = query_squares_ != 0.0f;  // every cosine fails on a zero query
    }
}

void ExactScorer::add_slot(std::uint32_t slot) {
    if (table_.lens[slot] != query_.size()) return;  // another length, or no point at all
    const std::uint32_t row = table_.row_of[slot];
    if (row != core::NO_ROW) {
        add_row(slot, table_.rows.upper(row));
    } else {
        add(slot, query_.empty() ? nullptr : table_.aside.values.find(slot)->second.data());  // empty: none kept
    }
}

void ExactScorer::flush() {
    const std::size_t floats = filled_, rows = row_filled_;
    filled_ = 0;
    row_filled_ = 0;
    if (!possible_) return;
    const core::ExactKernels& kernels = core::exact_kernels();
    const bool euclidean = metric_ == DistanceMetric::Euclidean;
    if (floats != 0) {
        (euclidean ? kernels.sqdiff_rows : kernels.dot_rows)(query_.data(), vectors_, floats, query_.size(), sums_);
        offer(slots_, floats);
    }
    if (rows != 0) {
        (euclidean ? kernels.sqdiff_split : kernels.dot_split)(query_.data(), rows_, rows, query_.size(), sums_);
        offer(row_slots_, rows);
    }
}

// Offers the scores of the first n candidates, their sums in sums_.
void ExactScorer::offer(const std::uint32_t* slots, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t slot = slots[j];
        switch (metric_) {
            case DistanceMetric::DotProduct:
                top_.offer(slot, sums_[j]);
                break;
            case DistanceMetric::Euclidean:
                top_.offer(slot, std::sqrt(sums_[j]));
                break;
            case DistanceMetric::Cosine: {
                const core::ScoreResult cosine =
                    core::cosine_from_sums(sums_[j], query_squares_, table_.sq_norms[slot]);
                if (cosine.ok()) top_.offer(slot, cosine.value());
                break;
            }
        }
    }
}

void scan_aside(core::FloatSpan query, const PointTable& table, std::uint32_t tenant, ExactScorer& scorer) {
    if (!scorer.possible() || query.size() >= PointTable::NO_POINT) return;
    const auto* slots = table.aside.slots_of_length(static_cast<std::uint32_t>(query.size()));
    if (slots == nullptr) return;
    for (const std::uint32_t slot : *slots) {
        if (tenant == 0 || table.tenant_of[slot] == tenant) scorer.add_slot(slot);
    }
}

void scan_all(core::FloatSpan query, const PointTable& table, std::uint32_t tenant, ExactScorer& scorer) {
    if (!scorer.possible()) return;
    if (tenant != 0) {
        for (const std::uint32_t slot : table.tenants.members[tenant]) scorer.add_slot(slot);
        return;
    }
    const core::RowStore& rows = table.rows;
    if (!query.empty() && query.size() == rows.dim) {
        for (std::uint32_t row = 0; row < rows.size(); ++row) {
            const std::uint32_t slot = rows.slot_of[row];
            if (slot != core::NO_SLOT) scorer.add_row(slot, rows.upper(row));
        }
    }
    scan_aside(query, table, 0, scorer);
}

}  // namespace karnoxel::index
