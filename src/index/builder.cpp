#include <algorithm>

#include "index/graph.hpp"

namespace karnoxel::index {

using namespace graph;

GraphBuilder::GraphBuilder(core::PointTable& table, const GraphHeader& header)
    : table_(table), header_(header), index_(header.m, header.ef_construction, header.ef_search) {
    const core::RowStore& rows = table.rows;
    index_.levels.assign(rows.size(), NO_NODE);
    index_.parent0.assign(rows.size(), NO_ROW);
    index_.upper_of.assign(rows.size(), 0);
    for (std::uint32_t row = 0; row < rows.size(); ++row) table.rows.prefix(row)[0] = FREE_LIST;
    // Keys to rows: a direct array when the keys are dense enough (sequential
    // ids are common), the table's hash map otherwise.
    std::uint64_t max_key = 0;
    for (std::uint64_t key : table.keys) max_key = std::max(max_key, key);
    if (table.slot_count() != 0 && max_key < 4 * static_cast<std::uint64_t>(table.slot_count()) + 1024) {
        direct_.assign(static_cast<std::size_t>(max_key) + 1, NO_ROW);
        for (std::uint32_t slot = 0; slot < table.slot_count(); ++slot) direct_[table.keys[slot]] = table.row_of[slot];
        // Ids 0, 1, 2, ... stored in that order are rows 0, 1, 2, ...: the
        // lists then need no translation (the lookups would be most of the
        // graph's decoding).
        identity_ = true;
        for (std::size_t key = 0; key < direct_.size() && identity_; ++key) identity_ = direct_[key] == key;
    }
    if (header.max_level >= MAX_LAYERS) sound_ = false;
    index_.max_level = header.max_level;
}

std::uint32_t GraphBuilder::row_of_key(std::uint64_t key) const {
    if (identity_) return key < direct_.size() ? static_cast<std::uint32_t>(key) : NO_ROW;
    if (!direct_.empty()) return key < direct_.size() ? direct_[key] : NO_ROW;
    const std::uint32_t slot = table_.slot_of.find(key);
    return slot == core::IdMap::NONE ? NO_ROW : table_.row_of[slot];
}

void GraphBuilder::add_node(std::uint64_t key, std::uint64_t id,
                            const std::array<std::vector<std::uint64_t>, MAX_LAYERS>& lists) {
    if (!sound_) return;
    const std::uint32_t row = row_of_key(key);
    if (row == NO_ROW) return;  // no point the graph could steer by: its node is left out
    if (id != key || index_.has_node(row)) {
        sound_ = false;
        return;
    }
    std::size_t level = 0;
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
        resolved_.clear();
        for (std::uint64_t listed : lists[layer]) {
            const std::uint32_t target = row_of_key(listed);
            if (target != NO_ROW) resolved_.push_back(target);
        }
        if (resolved_.size() > capacity(index_, layer)) {
            sound_ = false;
            return;
        }
        if (layer == 0) {
            std::uint32_t* prefix = table_.rows.prefix(row);
            prefix[0] = static_cast<std::uint32_t>(resolved_.size());
            std::copy(resolved_.begin(), resolved_.end(), prefix + 1);
            continue;
        }
        if (lists[layer].empty()) continue;
        level = layer;
        if (index_.upper_of[row] == 0) {
            index_.upper.emplace_back();
            index_.upper_of[row] = static_cast<std::uint32_t>(index_.upper.size());
        }
        auto& layers = index_.upper[index_.upper_of[row] - 1].layers;
        layers.resize(layer);
        layers[layer - 1].reserve(index_.upper_cap);
        layers[layer - 1].assign(resolved_.begin(), resolved_.end());
    }
    if (level > header_.max_level) {
        sound_ = false;
        return;
    }
    index_.levels[row] = static_cast<std::uint8_t>(level);
    ++index_.node_count;
}

void GraphBuilder::take_entry() {
    if (!header_.entry_point) return;
    const std::uint32_t entry = row_of_key(*header_.entry_point);
    if (entry == NO_ROW || !index_.has_node(entry)) return;
    index_.entry_row = entry;
    // The entry's lists may stop below the top layer (it may be alone up
    // there): its level is the graph's.
    index_.levels[entry] = static_cast<std::uint8_t>(header_.max_level);
    if (header_.max_level == 0) return;
    if (index_.upper_of[entry] == 0) {
        index_.upper.emplace_back();
        index_.upper_of[entry] = static_cast<std::uint32_t>(index_.upper.size());
    }
    index_.upper[index_.upper_of[entry] - 1].layers.resize(static_cast<std::size_t>(header_.max_level));
}

bool GraphBuilder::holds_together() {
    if (index_.entry_row == NO_ROW || index_.node_count != table_.rows.count) return false;
    // Every node must be reachable on layer 0; this also forms the tree.
    std::vector<std::uint64_t> frontiers;
    return assign_parents(index_, table_.rows, frontiers) == index_.node_count;
}

HNSWIndex GraphBuilder::finish(std::span<const std::uint8_t> record) {
    core::RowStore& rows = table_.rows;
    if (sound_ && rows.count == 0) {
        // Nothing to steer by: an empty graph, whatever the record named.
        for (std::uint32_t row = 0; row < rows.size(); ++row) rows.prefix(row)[0] = FREE_LIST;
        return HNSWIndex(header_.m, header_.ef_construction, header_.ef_search);
    }
    if (sound_) take_entry();
    if (sound_ && holds_together()) {
        for (auto& lists : index_.upper) {
            for (auto& list : lists.layers) list.reserve(index_.upper_cap);
        }
        choose_hubs(index_, rows);
        if (wants_talls(index_, rows)) choose_talls(index_, rows);
        return std::move(index_);
    }
    HNSWIndex damaged(header_.m, header_.ef_construction, header_.ef_search);
    damaged.raw = std::make_unique<RawGraph>();
    damaged.raw->record.assign(record.begin(), record.end());
    return damaged;
}

}  // namespace karnoxel::index
