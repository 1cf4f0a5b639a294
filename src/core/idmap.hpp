// Map from 64-bit point ids to 32-bit slots. Entries are never removed
// (nothing deletes a point), which keeps both parts simple:
// - ids counted from 0 (row numbers, list positions: the common case) live
//   in a direct array, 4 bytes an id, one load a lookup, and inserts in
//   order walk memory in order; it covers ids below its size and grows
//   (doubling) while at least a quarter of the ids it covers are mapped;
// - every other id lives in a probe table: open addressing with linear
//   probing, keyed per map with a random secret.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/random.hpp"

namespace karnoxel::core {

class IdMap {
public:
    static constexpr std::uint32_t NONE = UINT32_MAX;

    IdMap() : key_(entropy64()) {}

    std::size_t size() const { return direct_count_ + size_; }

    std::uint32_t find(std::uint64_t id) const {
        if (id < direct_.size()) return direct_[static_cast<std::size_t>(id)];
        if (size_ == 0) return NONE;
        for (std::size_t i = home(id);; i = (i + 1) & mask_) {
            const std::uint32_t slot = slots_[i];
            if (slot == NONE) return NONE;
            if (ids_[i] == id) return slot;
        }
    }

    // Makes room to insert `id`, so that the insert cannot fail; may throw
    // std::bad_alloc, leaving the map as it was.
    void make_room(std::uint64_t id) {
        if (id < direct_.size()) return;
        const std::size_t covered = std::max<std::size_t>(2 * direct_.size(), MIN_DIRECT);
        if (id < covered && (direct_.empty() || 4 * (direct_count_ + 1) >= covered)) {
            grow_direct(covered);
        } else if (4 * (size_ + 1) > 3 * capacity()) {
            rehash(size_ + 1);
        }
    }

    // Maps id to slot unless it is mapped already; returns the slot it maps
    // to. Call make_room(id) first.
    std::uint32_t insert(std::uint64_t id, std::uint32_t slot) {
        if (id < direct_.size()) {
            std::uint32_t& entry = direct_[static_cast<std::size_t>(id)];
            if (entry == NONE) {
                entry = slot;
                ++direct_count_;
            }
            return entry;
        }
        for (std::size_t i = home(id);; i = (i + 1) & mask_) {
            if (slots_[i] == NONE) {
                ids_[i] = id;
                slots_[i] = slot;
                ++size_;
                return slot;
            }
            if (ids_[i] == id) return slots_[i];
        }
    }

private:
    static constexpr std::size_t MIN_DIRECT = 16;

    std::size_t capacity() const { return slots_.size(); }
    std::size_t home(std::uint64_t id) const { return static_cast<std::size_t>(mix64(id ^ key_)) & mask_; }

    // Covers the ids below `covered` directly; those the probe table held
    // move over (the table is rebuilt without them).
    void grow_direct(std::size_t covered) {
        std::vector<std::uint32_t> direct(covered, NONE);
        std::copy(direct_.begin(), direct_.end(), direct.begin());
        std::size_t moved = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i] != NONE && ids_[i] < covered) {
                direct[static_cast<std::size_t>(ids_[i])] = slots_[i];
                ++moved;
            }
        }
        if (moved != 0) {
            Table rest = table_of(size_ - moved + 1, covered);
            ids_.swap(rest.ids);
            slots_.swap(rest.slots);
            mask_ = rest.mask;
            size_ -= moved;
        }
        direct_.swap(direct);
        direct_count_ += moved;
    }

    void rehash(std::size_t count) {
        Table table = table_of(count, 0);
        ids_.swap(table.ids);
        slots_.swap(table.slots);
        mask_ = table.mask;
    }

    struct Table {
        std::vector<std::uint64_t> ids;
        std::vector<std::uint32_t> slots;
        std::size_t mask;
    };

    // A probe table with room for `count` ids: this one's, less those below `below`.
    Table table_of(std::size_t count, std::uint64_t below) const {
        std::size_t cap = 16;
        while (cap * 3 < count * 4 + 4) cap *= 2;
        Table t{std::vector<std::uint64_t>(cap), std::vector<std::uint32_t>(cap, NONE), cap - 1};
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i] == NONE || ids_[i] < below) continue;
            std::size_t j = static_cast<std::size_t>(mix64(ids_[i] ^ key_)) & t.mask;
            while (t.slots[j] != NONE) j = (j + 1) & t.mask;
            t.ids[j] = ids_[i];
            t.slots[j] = slots_[i];
        }
        return t;
    }

    std::uint64_t key_;
    std::vector<std::uint32_t> direct_;  // id -> slot for ids below its size; NONE where unmapped
    std::size_t direct_count_ = 0;       // ids mapped in direct_
    std::vector<std::uint64_t> ids_;     // probe table of ids; valid where slots_ is not NONE
    std::vector<std::uint32_t> slots_;   // probe table of slots; NONE marks an empty bucket
    std::size_t size_ = 0;               // ids mapped in the probe table
    std::size_t mask_ = 0;               // capacity - 1 (capacity is a power of two)
};

}  // namespace karnoxel::core
