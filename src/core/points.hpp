// The point table of a store: every stored point, addressed by a dense slot.
//
// A slot is assigned to an id once and kept for the life of the table
// (nothing deletes points), so indexes can hold slots instead of ids and
// never need a hash lookup per distance. Per-slot fields live in parallel
// arrays. Vectors whose length is the table's main dimension sit in one
// aligned arena at a fixed stride; vectors of any other length (a store may
// mix lengths) are kept aside and looked up only on that rare path.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/buffer.hpp"
#include "core/distance.hpp"
#include "core/idmap.hpp"
#include "core/random.hpp"
#include "core/vector.hpp"

namespace karnoxel::core {

// Makes room for `count` elements, growing geometrically: reserve() alone
// allocates exactly what is asked, which would copy the array on every append.
template <class Vector>
void reserve_for(Vector& v, std::size_t count) {
    if (v.capacity() < count) v.reserve(std::max(count, v.capacity() + v.capacity() / 2));
}

// Vectors of the table's main dimension, one row per slot. Each row ends
// with the vector's inverse norm, so a graph distance reads its vector and
// its norm from the same cache lines.
struct VectorArena {
    std::uint32_t dim = 0;   // vector length; 0 until the first non-empty vector arrives
    std::size_t stride = 0;  // floats per row: dim + 1 (the inverse norm)
    PodBuffer<float> data;   // slot * stride floats; rows of slots without such a vector stay zero
};

struct StringKeyHash {
    using is_transparent = void;
    std::uint64_t key = entropy64();
    std::size_t operator()(std::string_view s) const { return static_cast<std::size_t>(keyed_hash(s, key)); }
};

// Points grouped by tenant, so a tenant's points can be scanned without
// visiting anyone else's. Codes are dense and start at 1; 0 means no tenant.
struct TenantIndex {
    std::unordered_map<std::string, std::uint32_t, StringKeyHash, std::equal_to<>> code_of;
    std::vector<std::vector<std::uint32_t>> members{1};  // code -> slots of its points

    std::uint32_t find(std::string_view tenant) const {
        auto it = code_of.find(tenant);
        return it == code_of.end() ? 0 : it->second;
    }
};

struct PointTable {
    static constexpr std::uint32_t NO_POINT = UINT32_MAX;  // in `lens`: slot without a point
    static constexpr std::size_t MAX_SLOTS = 0x7FFFFFFF;   // slots stay below 2^31 (the graph marks others)

    IdMap slot_of;                                   // map key -> slot
    std::vector<std::uint64_t> keys;                 // slot -> map key
    std::vector<std::uint32_t> lens;                 // slot -> vector length, or NO_POINT
    std::vector<float> sq_norms;                     // slot -> sum of squares under the accumulation rule
    std::vector<std::unique_ptr<Payload>> payloads;  // slot -> payload, null when absent
    std::vector<std::uint32_t> tenant_of;            // slot -> tenant code, 0 for none
    std::vector<std::uint32_t> tenant_pos;           // slot -> index in its tenant's member list
    VectorArena arena;                               // vectors of length arena.dim (rows up to the last such slot)
    std::unordered_map<std::uint32_t, std::vector<float>>
        odd;  // slot -> vector of another non-zero length, then its inverse norm
    std::unordered_map<std::uint32_t, std::uint32_t> odd_counts;   // length -> number of odd vectors of it
    std::size_t arena_count = 0;                                   // points whose vector lives in the arena
    std::unordered_map<std::uint32_t, std::uint64_t> foreign_ids;  // slot -> Point.id where it differs from the key
    TenantIndex tenants;
    std::size_t point_count = 0;  // slots holding a point

    std::size_t slot_count() const { return keys.size(); }
    bool has_point(std::uint32_t slot) const { return lens[slot] != NO_POINT; }

    // The id reported for a slot's point (its key, unless a loaded snapshot said otherwise).
    std::uint64_t point_id(std::uint32_t slot) const {
        if (foreign_ids.empty()) return keys[slot];
        auto it = foreign_ids.find(slot);
        return it == foreign_ids.end() ? keys[slot] : it->second;
    }

    FloatSpan vector(std::uint32_t slot) const {
        const std::uint32_t len = lens[slot];
        if (len == 0 || len == NO_POINT) return {};
        if (len == arena.dim) return {arena.data.data() + slot * arena.stride, len};
        return {odd.find(slot)->second.data(), len};
    }

    // 1/sqrt(sum of squares), or 0 where the cosine is undefined (empty, zero
    // or non-finite vectors, slots without a point).
    float inv_norm(std::uint32_t slot) const {
        const std::uint32_t len = lens[slot];
        if (len == 0 || len == NO_POINT) return 0.0f;
        return vector(slot).data()[len];
    }

    // Every slot holds a point whose vector is in the arena: walks may then
    // skip the per-slot length and presence checks.
    bool uniform() const { return arena_count == keys.size(); }
};

struct PutResult {
    std::uint32_t slot;   // the point's slot
    bool created;         // the slot is new
    bool vector_changed;  // the stored vector differs (bit for bit) from the one before, or is new
};

// The slot of a key, if it has one.
inline std::optional<std::uint32_t> find_slot(const PointTable& table, std::uint64_t key) {
    const std::uint32_t slot = table.slot_of.find(key);
    if (slot == IdMap::NONE) return std::nullopt;
    return slot;
}

// The inverse norm kept after each vector: 0 marks an undefined cosine.
float inverse_norm(float sq_norm);

// Stores or replaces the point under `key` (copying the vector). Every
// allocation happens before the table is changed, so a failed allocation
// leaves it as it was.
PutResult put_point(PointTable& table, std::uint64_t key, FloatSpan vector, std::unique_ptr<Payload> payload);

// The same with the vector's sum of squares (under the accumulation rule)
// already formed, as a bulk load does many at a time.
PutResult put_point(PointTable& table, std::uint64_t key, FloatSpan vector, std::unique_ptr<Payload> payload,
                    float sq_norm);

// Gives `key` a slot without a point (used for graph nodes of loaded
// snapshots whose point is missing).
std::uint32_t ensure_slot(PointTable& table, std::uint64_t key);

}  // namespace karnoxel::core
