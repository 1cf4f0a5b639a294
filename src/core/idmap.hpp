// Map from 64-bit point ids to 32-bit slots: open addressing with linear
// probing, keyed per map with a random secret. Entries are never removed
// (nothing deletes a point), which keeps probing simple.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/random.hpp"

namespace karnoxel::core {

class IdMap {
public:
    static constexpr std::uint32_t NONE = UINT32_MAX;

    IdMap() : key_(entropy64()) {}

    std::size_t size() const { return size_; }

    std::uint32_t find(std::uint64_t id) const {
        if (size_ == 0) return NONE;
        for (std::size_t i = home(id);; i = (i + 1) & mask_) {
            const std::uint32_t slot = slots_[i];
            if (slot == NONE) return NONE;
            if (ids_[i] == id) return slot;
        }
    }

    // Starts loading the bucket where a lookup of `id` begins.
    void prefetch(std::uint64_t id) const {
        if (size_ != 0) {
            const std::size_t i = home(id);
            __builtin_prefetch(ids_.data() + i);
            __builtin_prefetch(slots_.data() + i);
        }
    }

    // Makes room for `count` entries, so the next inserts up to it cannot fail.
    void reserve(std::size_t count) {
        if (count * 4 > capacity() * 3) rehash(count);
    }

    // Maps id to slot unless it is mapped already; returns the slot it maps to.
    std::uint32_t insert(std::uint64_t id, std::uint32_t slot) {
        reserve(size_ + 1);
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

    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i] != NONE) f(ids_[i], slots_[i]);
        }
    }

private:
    std::size_t capacity() const { return slots_.size(); }
    std::size_t home(std::uint64_t id) const { return static_cast<std::size_t>(mix64(id ^ key_)) & mask_; }

    void rehash(std::size_t count) {
        std::size_t cap = 16;
        while (cap * 3 < count * 4 + 4) cap *= 2;
        std::vector<std::uint64_t> ids(cap);
        std::vector<std::uint32_t> slots(cap, NONE);
        const std::size_t mask = cap - 1;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i] == NONE) continue;
            std::size_t j = static_cast<std::size_t>(mix64(ids_[i] ^ key_)) & mask;
            while (slots[j] != NONE) j = (j + 1) & mask;
            ids[j] = ids_[i];
            slots[j] = slots_[i];
        }
        ids_.swap(ids);
        slots_.swap(slots);
        mask_ = mask;
    }

    std::uint64_t key_;
    std::vector<std::uint64_t> ids_;    // probe table of ids; valid where slots_ is not NONE
    std::vector<std::uint32_t> slots_;  // probe table of slots; NONE marks an empty bucket
    std::size_t size_ = 0;              // number of mapped ids
    std::size_t mask_ = 0;              // capacity - 1 (capacity is a power of two)
};

}  // namespace karnoxel::core
