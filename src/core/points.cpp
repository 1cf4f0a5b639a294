#include "core/points.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace karnoxel::core {
namespace {

std::size_t stride_for(std::uint32_t dim) {
    return static_cast<std::size_t>(dim) + 1;
}

bool same_bits(FloatSpan a, FloatSpan b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// The arena covers the slots up to the highest one whose vector it holds;
// slots without such a vector past that cost no row.
void cover_slot(VectorArena& arena, std::uint32_t slot) {
    const std::size_t needed = (static_cast<std::size_t>(slot) + 1) * arena.stride;
    if (arena.data.size() < needed) arena.data.resize(needed, 0.0f);
}

std::uint32_t append_slot(PointTable& table, std::uint64_t key) {
    const std::size_t slot_count = table.keys.size();
    if (slot_count >= PointTable::MAX_SLOTS) throw std::length_error("a store holds at most 2147483647 points");
    // Reserve everything first: the pushes below then cannot fail.
    table.slot_of.reserve(slot_count + 1);  // grows geometrically itself
    reserve_for(table.keys, slot_count + 1);
    reserve_for(table.lens, slot_count + 1);
    reserve_for(table.sq_norms, slot_count + 1);
    reserve_for(table.payloads, slot_count + 1);
    reserve_for(table.tenant_of, slot_count + 1);
    reserve_for(table.tenant_pos, slot_count + 1);

    const auto slot = static_cast<std::uint32_t>(slot_count);
    table.slot_of.insert(key, slot);
    table.keys.push_back(key);
    table.lens.push_back(PointTable::NO_POINT);
    table.sq_norms.push_back(0.0f);
    table.payloads.emplace_back();
    table.tenant_of.push_back(0);
    table.tenant_pos.push_back(0);
    return slot;
}

// Moves the arena to a new main dimension once vectors of that length
// outnumber the ones in the arena. Builds the new layout completely before
// swapping it in.
void rebase_arena(PointTable& table, std::uint32_t dim) {
    VectorArena arena;
    arena.dim = dim;
    arena.stride = stride_for(dim);
    for (std::uint32_t slot = 0; slot < table.slot_count(); ++slot) {
        if (table.lens[slot] == dim) cover_slot(arena, slot);
    }
    std::unordered_map<std::uint32_t, std::vector<float>> odd;
    std::unordered_map<std::uint32_t, std::uint32_t> odd_counts;
    std::size_t arena_count = 0;
    for (std::uint32_t slot = 0; slot < table.slot_count(); ++slot) {
        const std::uint32_t len = table.lens[slot];
        if (len == 0 || len == PointTable::NO_POINT) continue;
        // Copy the vector together with the inverse norm stored after it.
        const float* v = table.vector(slot).data();
        if (len == dim) {
            std::copy(v, v + len + 1, arena.data.data() + slot * arena.stride);
            ++arena_count;
        } else {
            odd.emplace(slot, std::vector<float>(v, v + len + 1));
            ++odd_counts[len];
        }
    }
    table.arena = std::move(arena);
    table.odd.swap(odd);
    table.odd_counts.swap(odd_counts);
    table.arena_count = arena_count;
}

}  // namespace

std::uint32_t ensure_slot(PointTable& table, std::uint64_t key) {
    if (auto slot = find_slot(table, key)) return *slot;
    return append_slot(table, key);
}

float inverse_norm(float sq_norm) {
    if (!(sq_norm > 0.0f) || !std::isfinite(sq_norm)) return 0.0f;
    return 1.0f / std::sqrt(sq_norm);
}

PutResult put_point(PointTable& table, std::uint64_t key, FloatSpan vector, std::unique_ptr<Payload> payload) {
    return put_point(table, key, vector, std::move(payload), NAN);
}

PutResult put_point(PointTable& table, std::uint64_t key, FloatSpan vector, std::unique_ptr<Payload> payload,
                    float known_sq_norm) {
    const auto len = static_cast<std::uint32_t>(vector.size());
    const Payload* new_payload = payload.get();

    // Tenant membership: find or make the code and room in its list.
    std::uint32_t tenant = 0;
    if (auto name = tenant_of(new_payload)) {
        auto it = table.tenants.code_of.find(*name);
        if (it == table.tenants.code_of.end()) {
            reserve_for(table.tenants.members, table.tenants.members.size() + 1);
            const auto code = static_cast<std::uint32_t>(table.tenants.members.size());
            it = table.tenants.code_of.emplace(std::string(*name), code).first;
            table.tenants.members.emplace_back();
        }
        tenant = it->second;
        auto& members = table.tenants.members[tenant];
        reserve_for(members, members.size() + 1);
    }

    // The first non-empty vector fixes the arena's dimension.
    if (table.arena.dim == 0 && len != 0) {
        table.arena.dim = len;
        table.arena.stride = stride_for(len);
    }

    const std::optional<std::uint32_t> existing = find_slot(table, key);
    const std::uint32_t slot = existing ? *existing : append_slot(table, key);
    const bool had_point = table.has_point(slot);
    const bool vector_changed = !had_point || !same_bits(table.vector(slot), vector);

    // An identical vector (a payload-only update) keeps its row and its norms.
    const bool to_arena = len != 0 && len == table.arena.dim;
    if (vector_changed) {
        // NaN marks "not given" (a real NaN sum is recomputed, to the same NaN).
        const float sq_norm =
            known_sq_norm == known_sq_norm ? known_sq_norm : sum_squares(vector.data(), vector.size());
        // Make room for the vector before changing anything: an arena row, or a
        // vector aside for another length.
        std::vector<float> aside;
        if (to_arena) {
            cover_slot(table.arena, slot);
        } else if (len != 0) {
            table.odd_counts.try_emplace(len, 0);
            table.odd.try_emplace(slot);
            aside.reserve(len + 1);
            aside.assign(vector.begin(), vector.end());
        }

        // From here on nothing allocates.
        const std::uint32_t old_len = had_point ? table.lens[slot] : 0;
        if (old_len != 0) {
            if (old_len == table.arena.dim) {
                --table.arena_count;
            } else {
                auto count = table.odd_counts.find(old_len);
                if (--count->second == 0 && old_len != len) table.odd_counts.erase(count);
            }
        }
        const float inv_norm = inverse_norm(sq_norm);
        if (to_arena) {
            float* row = table.arena.data.data() + slot * table.arena.stride;
            std::copy(vector.begin(), vector.end(), row);
            row[len] = inv_norm;
            ++table.arena_count;
            table.odd.erase(slot);
        } else if (len != 0) {
            aside.push_back(inv_norm);  // room was reserved with the vector
            table.odd.find(slot)->second = std::move(aside);
            ++table.odd_counts.find(len)->second;
        } else {
            table.odd.erase(slot);
        }
        table.lens[slot] = len;
        table.sq_norms[slot] = sq_norm;
    }
    table.payloads[slot] = std::move(payload);
    if (!had_point) ++table.point_count;
    table.foreign_ids.erase(slot);

    // Move the slot between tenant lists when its tenant changes.
    const std::uint32_t old_tenant = had_point ? table.tenant_of[slot] : 0;
    if (old_tenant != tenant) {
        if (old_tenant != 0) {
            auto& members = table.tenants.members[old_tenant];
            const std::uint32_t pos = table.tenant_pos[slot];
            members[pos] = members.back();
            table.tenant_pos[members[pos]] = pos;
            members.pop_back();
        }
        if (tenant != 0) {
            auto& members = table.tenants.members[tenant];
            table.tenant_pos[slot] = static_cast<std::uint32_t>(members.size());
            members.push_back(slot);
        }
        table.tenant_of[slot] = tenant;
    }

    // Keep the arena on the most common length. Failing here (out of memory)
    // leaves a consistent table on the old layout.
    if (vector_changed && !to_arena && len != 0) {
        auto count = table.odd_counts.find(len);
        if (count != table.odd_counts.end() && count->second > table.arena_count) {
            try {
                rebase_arena(table, len);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    return PutResult{slot, !existing.has_value(), vector_changed};
}

}  // namespace karnoxel::core
