#include "core/table.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/kernels.hpp"

namespace karnoxel::core {
namespace {

// Whether a slot's point holds exactly these floats, bit for bit.
bool same_vector(const PointTable& table, std::uint32_t slot, FloatSpan vector) {
    if (table.lens[slot] != vector.size()) return false;
    if (vector.empty()) return true;
    const std::uint32_t row = table.row_of[slot];
    if (row == NO_ROW) {
        return std::memcmp(table.aside.values.find(slot)->second.data(), vector.data(), vector.size_bytes()) == 0;
    }
    const std::uint16_t* upper = table.rows.upper(row);
    const std::uint16_t* lower = upper + table.rows.dim;
    for (std::size_t i = 0; i < vector.size(); ++i) {
        if (upper[i] != upper_half(vector[i]) || lower[i] != lower_half(vector[i])) return false;
    }
    return true;
}

// Room in every per-slot array for `slots` slots.
void reserve_slots(PointTable& table, std::size_t slots) {
    reserve_for(table.keys, slots);
    reserve_for(table.lens, slots);
    reserve_for(table.sq_norms, slots);
    reserve_for(table.payloads, slots);
    reserve_for(table.tenant_of, slots);
    reserve_for(table.tenant_pos, slots);
    reserve_for(table.row_of, slots);
    reserve_for(table.aside.pos, slots);
}

std::uint32_t append_slot(PointTable& table, std::uint64_t key) {
    const std::size_t slot_count = table.keys.size();
    if (slot_count >= PointTable::MAX_SLOTS) throw std::length_error("a store holds at most 2147483647 points");
    // Reserve everything first: the pushes below then cannot fail.
    table.slot_of.make_room(key);
    reserve_slots(table, slot_count + 1);

    const auto slot = static_cast<std::uint32_t>(slot_count);
    table.slot_of.insert(key, slot);
    table.keys.push_back(key);
    table.lens.push_back(PointTable::NO_POINT);
    table.sq_norms.push_back(0.0f);
    table.payloads.emplace_back();
    table.tenant_of.push_back(0);
    table.tenant_pos.push_back(0);
    table.row_of.push_back(NO_ROW);
    table.aside.pos.push_back(0);
    return slot;
}

// Upserts grow the rows by half at a time, in huge pages where the system
// grants them.
void grow_rows(RowStore& rows, std::size_t needed) {
    if (rows.words.capacity() >= needed) return;
    rows.words.use_huge_pages();
    rows.words.reserve(std::max(needed, rows.words.capacity() * 3 / 2));
}

// Room for one more row of `stride` words.
void reserve_row(RowStore& rows, std::size_t stride) {
    grow_rows(rows, (rows.size() + 1) * stride);
    reserve_for(rows.slot_of, rows.size() + 1);
    reserve_for(rows.tenant, rows.size() + 1);
}

// Fills a row with its point's vector and inverse norm; the graph's prefix
// is left to the graph.
void write_row(RowStore& rows, std::uint32_t row, FloatSpan vector, float inv_norm) {
    std::uint32_t* words = rows.prefix(row) + RowStore::PREFIX_WORDS;
    reinterpret_cast<float*>(words)[0] = inv_norm;
    // Locals and restrict, so that the compiler knows the stores leave the
    // length and the source alone, and vectorises both loops.
    const std::size_t n = rows.dim;
    std::uint16_t* __restrict upper = reinterpret_cast<std::uint16_t*>(words + 1);
    std::uint16_t* __restrict lower = upper + n;
    const float* __restrict v = vector.data();
    for (std::size_t i = 0; i < n; ++i) upper[i] = upper_half(v[i]);
    for (std::size_t i = 0; i < n; ++i) lower[i] = lower_half(v[i]);
}

void add_aside(AsideVectors& aside, std::uint32_t slot, std::uint32_t length, bool steerable) {
    auto& list = aside.by_length.find(length)->second;  // made by prepare_put
    aside.pos[slot] = static_cast<std::uint32_t>(list.size());
    list.push_back(slot);
    if (steerable) ++aside.steerable.find(length)->second;
}

void remove_aside(AsideVectors& aside, std::uint32_t slot, std::uint32_t length, bool steerable) {
    auto& list = aside.by_length.find(length)->second;
    const std::uint32_t pos = aside.pos[slot];
    list[pos] = list.back();
    aside.pos[list[pos]] = pos;
    list.pop_back();
    if (steerable) --aside.steerable.find(length)->second;
}

// Makes room in the aside structures for a vector of this length.
void reserve_aside(AsideVectors& aside, std::uint32_t slot, std::uint32_t length, bool steerable) {
    auto& list = aside.by_length.try_emplace(length).first->second;
    reserve_for(list, list.size() + 1);
    if (steerable) aside.steerable.try_emplace(length, 0);
    if (length != 0) aside.values.try_emplace(slot);
}

}  // namespace

float inverse_norm(float sq_norm) {
    if (!(sq_norm > 0.0f) || !std::isfinite(sq_norm)) return 0.0f;
    return 1.0f / std::sqrt(sq_norm);
}

namespace {

// The tenant code of a payload, made (with room in its member list) if new.
std::uint32_t reserve_tenant(TenantIndex& tenants, const Payload* payload) {
    const auto name = tenant_of(payload);
    if (!name) return 0;
    auto it = tenants.code_of.find(*name);
    if (it == tenants.code_of.end()) {
        reserve_for(tenants.members, tenants.members.size() + 1);
        reserve_for(tenants.codes, tenants.members.size() + 1);
        const auto code = static_cast<std::uint32_t>(tenants.members.size());
        it = tenants.code_of.emplace(std::string(*name), code).first;
        tenants.members.emplace_back();
        tenants.codes.emplace_back();
    }
    auto& members = tenants.members[it->second];
    reserve_for(members, members.size() + 1);
    return it->second;
}

// Entries the signs have room for: whole blocks.
std::size_t sign_room(std::size_t entries) {
    return (entries + SIGN_BLOCK - 1) / SIGN_BLOCK * SIGN_BLOCK;
}

// Room for `entries` entries of 8-bit codes.
void reserve_codes(TenantCodes& codes, std::size_t entries) {
    reserve_for(codes.values, entries * codes.stride);
    reserve_for(codes.scale, entries);
    reserve_for(codes.inv_norm, entries);
    reserve_for(codes.signs, sign_room(entries) * codes.sign_words());
}

std::size_t code_stride(std::uint32_t dim) {
    return (static_cast<std::size_t>(dim) + 63) / 64 * 64;
}

// Empty codes for vectors of length `dim`, with room for `entries` entries.
TenantCodes new_codes(std::uint32_t dim, std::size_t entries) {
    TenantCodes codes;
    codes.stride = code_stride(dim);
    reserve_codes(codes, entries);
    return codes;
}

// Whether a tenant of `members` points is large enough for 8-bit codes.
bool wants_codes(std::size_t members, std::uint32_t dim) {
    return dim != 0 && code_stride(dim) <= TenantCodes::MAX_STRIDE && members * dim >= CODED_TENANT_VALUES;
}

// Entry `pos` of the codes from a row's vector (its upper halves, the
// lower ones after them), or empty (null).
void encode_entry(TenantCodes& codes, std::size_t pos, const std::uint16_t* upper, std::size_t dim,
                  float inv_norm) {
    std::uint8_t* out = codes.values.data() + pos * codes.stride;
    const std::uint16_t* lower = upper == nullptr ? nullptr : upper + dim;
    // Written so that the compiler vectorises both loops: a row's values are
    // finite (its norm is), so max and rounding need no special cases.
    float top = 0.0f;
    if (upper != nullptr) {
        for (std::size_t i = 0; i < dim; ++i) {
            const float magnitude = std::fabs(join_halves(upper[i], lower[i]));
            top = magnitude > top ? magnitude : top;
        }
    }
    if (!(top > 0.0f) || !std::isfinite(top)) {
        std::fill(out, out + codes.stride, TenantCodes::ZERO);
        codes.scale[pos] = 0.0f;
        codes.inv_norm[pos] = 0.0f;
        return;
    }
    const auto levels = static_cast<float>(TenantCodes::LEVELS);
    const float to_code = levels / top;
    for (std::size_t i = 0; i < dim; ++i) {
        // Rounded half away from zero; |value * to_code| <= 127 but for rounding.
        const float scaled = join_halves(upper[i], lower[i]) * to_code;
        int code = static_cast<int>(scaled + (scaled < 0.0f ? -0.5f : 0.5f));
        code = code < -127 ? -127 : (code > 127 ? 127 : code);
        out[i] = static_cast<std::uint8_t>(code + TenantCodes::ZERO);
    }
    std::fill(out + dim, out + codes.stride, TenantCodes::ZERO);
    const std::size_t words = codes.sign_words();
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t word = 0;
        for (std::size_t bit = 0; bit < 64 && w * 64 + bit < dim; ++bit) {
            word |= static_cast<std::uint64_t>(out[w * 64 + bit] > TenantCodes::ZERO) << bit;
        }
        codes.signs[signs_index(pos, w, words)] = word;
    }
    codes.scale[pos] = top / levels;
    codes.inv_norm[pos] = inv_norm;
}

// Entry `pos` of a tenant's codes from its member's current row.
void encode_member(TenantCodes& codes, std::size_t pos, std::uint32_t slot, const RowStore& rows,
                   const std::vector<std::uint32_t>& row_of) {
    const std::uint32_t row = row_of[slot];
    if (row == NO_ROW) {
        encode_entry(codes, pos, nullptr, rows.dim, 0.0f);
    } else {
        encode_entry(codes, pos, rows.upper(row), rows.dim, rows.inv_norm(row));
    }
}

// Every entry of a tenant's codes, within the room they have.
void encode_members(TenantCodes& codes, const std::vector<std::uint32_t>& members, const RowStore& rows,
                    const std::vector<std::uint32_t>& row_of) {
    codes.values.resize(members.size() * codes.stride);
    codes.scale.resize(members.size());
    codes.inv_norm.resize(members.size());
    codes.signs.resize(sign_room(members.size()) * codes.sign_words());
    for (std::size_t pos = 0; pos < members.size(); ++pos) encode_member(codes, pos, members[pos], rows, row_of);
}

// Room for the point in its tenant's codes; or, when the point makes the
// tenant large, its first codes (filled when the point is stored).
void plan_codes(PointTable& table, PutPlan& plan) {
    if (plan.tenant == 0) return;
    TenantCodes& codes = table.tenants.codes[plan.tenant];
    const std::size_t entries = table.tenants.members[plan.tenant].size() + 1;
    if (codes.stride != 0) {
        reserve_codes(codes, entries);
    } else if (wants_codes(entries, table.rows.dim)) {
        plan.codes = new_codes(table.rows.dim, entries);
    }
}

// Where a changed vector goes (a row, or aside), with the room it needs.
void plan_place(PointTable& table, PutPlan& plan, FloatSpan vector) {
    const auto len = static_cast<std::uint32_t>(vector.size());
    RowStore& rows = table.rows;
    if (fits_rows(rows, len, plan.sq_norm)) {
        if (plan.old_row != NO_ROW) {
            plan.new_row = plan.old_row;
        } else if (!rows.free_rows.empty()) {
            plan.new_row = rows.free_rows.back();
        } else {
            reserve_row(rows, rows.dim == 0 ? row_stride(len) : rows.stride);
            plan.new_row = static_cast<std::uint32_t>(rows.size());
        }
        return;
    }
    reserve_aside(table.aside, plan.slot, len, inverse_norm(plan.sq_norm) != 0.0f);
    if (len != 0) {
        plan.aside.reserve(len);
        plan.aside.assign(vector.begin(), vector.end());
    }
    if (plan.old_row != NO_ROW) reserve_for(rows.free_rows, rows.free_rows.size() + 1);
}

// The slot's old vector leaves its row (the row becomes free) or its aside list.
void vacate(PointTable& table, const PutPlan& plan, std::uint32_t new_len) {
    const std::uint32_t slot = plan.slot;
    RowStore& rows = table.rows;
    if (plan.old_row == NO_ROW) {
        remove_aside(table.aside, slot, table.lens[slot], inverse_norm(table.sq_norms[slot]) != 0.0f);
        if (plan.new_row != NO_ROW || new_len == 0) table.aside.values.erase(slot);
    } else if (plan.new_row != plan.old_row) {
        rows.slot_of[plan.old_row] = NO_SLOT;
        rows.tenant[plan.old_row] = 0;
        rows.free_rows.push_back(plan.old_row);  // room reserved by prepare_put
        --rows.count;
    }
}

// The slot's new vector takes its planned row, or goes aside.
void occupy(PointTable& table, PutPlan& plan, FloatSpan vector) {
    const std::uint32_t slot = plan.slot;
    const auto len = static_cast<std::uint32_t>(vector.size());
    RowStore& rows = table.rows;
    const std::uint32_t row = plan.new_row;
    table.row_of[slot] = row;
    if (row == NO_ROW) {
        if (len != 0) table.aside.values.find(slot)->second = std::move(plan.aside);
        add_aside(table.aside, slot, len, inverse_norm(plan.sq_norm) != 0.0f);
        return;
    }
    if (rows.dim == 0) {
        rows.dim = len;
        rows.stride = row_stride(len);
    }
    if (row == rows.size()) {
        rows.words.resize((rows.size() + 1) * rows.stride, 0);  // within the reserved room
        rows.slot_of.push_back(NO_SLOT);
        rows.tenant.push_back(0);
    } else if (row != plan.old_row) {
        rows.free_rows.pop_back();  // prepare_put took the last free row
    }
    write_row(rows, row, vector, inverse_norm(plan.sq_norm));
    if (row != plan.old_row) {
        rows.slot_of[row] = slot;
        ++rows.count;
    }
}

// Moves the slot between tenant member lists (and their codes), or
// refreshes its codes when only its vector changed.
void change_tenant(PointTable& table, PutPlan& plan, std::uint32_t old_tenant) {
    const std::uint32_t slot = plan.slot;
    const std::uint32_t tenant = plan.tenant;
    TenantIndex& tenants = table.tenants;
    if (old_tenant == tenant) {
        TenantCodes& codes = tenants.codes[tenant];
        if (tenant != 0 && plan.vector_changed && codes.stride != 0) {
            encode_member(codes, table.tenant_pos[slot], slot, table.rows, table.row_of);
        }
    } else {
        if (old_tenant != 0) {
            auto& members = tenants.members[old_tenant];
            TenantCodes& codes = tenants.codes[old_tenant];
            const std::uint32_t pos = table.tenant_pos[slot];
            const std::size_t last = members.size() - 1;
            members[pos] = members[last];
            table.tenant_pos[members[pos]] = pos;
            members.pop_back();
            if (codes.stride != 0) {
                std::copy_n(codes.values.data() + last * codes.stride, codes.stride,
                            codes.values.data() + pos * codes.stride);
                codes.scale[pos] = codes.scale[last];
                codes.inv_norm[pos] = codes.inv_norm[last];
                const std::size_t words = codes.sign_words();
                for (std::size_t w = 0; w < words; ++w) {
                    codes.signs[signs_index(pos, w, words)] = codes.signs[signs_index(last, w, words)];
                }
                codes.values.resize(last * codes.stride);
                codes.signs.resize(sign_room(last) * words);
                codes.scale.pop_back();
                codes.inv_norm.pop_back();
            }
        }
        if (tenant != 0) {
            auto& members = tenants.members[tenant];
            TenantCodes& codes = tenants.codes[tenant];
            const std::size_t pos = members.size();
            table.tenant_pos[slot] = static_cast<std::uint32_t>(pos);
            members.push_back(slot);
            if (codes.stride != 0) {  // within the room prepare_put made
                codes.values.resize((pos + 1) * codes.stride);
                codes.signs.resize(sign_room(pos + 1) * codes.sign_words());
                codes.scale.push_back(0.0f);
                codes.inv_norm.push_back(0.0f);
                encode_member(codes, pos, slot, table.rows, table.row_of);
            }
        }
        table.tenant_of[slot] = tenant;
    }
    if (plan.codes.stride != 0) {
        tenants.codes[tenant] = std::move(plan.codes);
        encode_members(tenants.codes[tenant], tenants.members[tenant], table.rows, table.row_of);
    }
}

}  // namespace

PutPlan prepare_put(PointTable& table, std::uint64_t key, FloatSpan vector, const Payload* payload,
                    float known_sq_norm) {
    if (vector.size() > MAX_VECTOR_LENGTH) throw std::length_error("a vector holds at most 4294967294 values");
    PutPlan plan;
    plan.tenant = reserve_tenant(table.tenants, payload);
    plan_codes(table, plan);
    const std::optional<std::uint32_t> existing = find_slot(table, key);
    plan.slot = existing ? *existing : append_slot(table, key);
    plan.created = !existing;
    plan.had_point = table.has_point(plan.slot);
    plan.old_row = plan.had_point ? table.row_of[plan.slot] : NO_ROW;
    plan.vector_changed = !plan.had_point || !same_vector(table, plan.slot, vector);
    if (!plan.vector_changed) {
        // A payload-only update keeps the vector where it is.
        plan.new_row = plan.old_row;
        plan.sq_norm = table.sq_norms[plan.slot];
        return plan;
    }
    // NaN marks "not given" (a real NaN sum is recomputed, to the same NaN).
    plan.sq_norm = known_sq_norm == known_sq_norm ? known_sq_norm : sum_squares(vector.data(), vector.size());
    plan_place(table, plan, vector);
    return plan;
}

bool row_room_ready(const PointTable& table, std::size_t pending) {
    const RowStore& rows = table.rows;
    return rows.free_rows.size() > pending || rows.words.capacity() >= (rows.size() + pending + 1) * rows.stride;
}

void make_row_room(PointTable& table, std::size_t pending) {
    RowStore& rows = table.rows;
    grow_rows(rows, (rows.size() + pending + 1) * rows.stride);
}

void reserve_points(PointTable& table, std::size_t count) {
    reserve_slots(table, table.keys.size() + count);
    RowStore& rows = table.rows;
    if (rows.stride == 0) return;
    const std::size_t row_count = rows.size() + count;
    if (rows.words.capacity() < row_count * rows.stride) rows.words.reserve(row_count * rows.stride);
    reserve_for(rows.slot_of, row_count);
    reserve_for(rows.tenant, row_count);
}

void commit_put(PointTable& table, PutPlan& plan, FloatSpan vector, std::unique_ptr<Payload> payload) noexcept {
    const std::uint32_t slot = plan.slot;
    if (plan.vector_changed) {
        if (plan.had_point && plan.old_row != NO_ROW && unit_length(table.sq_norms[slot])) --table.rows.unit_count;
        if (plan.had_point) vacate(table, plan, static_cast<std::uint32_t>(vector.size()));
        occupy(table, plan, vector);
        if (plan.new_row != NO_ROW && unit_length(plan.sq_norm)) ++table.rows.unit_count;
        table.lens[slot] = static_cast<std::uint32_t>(vector.size());
        table.sq_norms[slot] = plan.sq_norm;
    }
    table.payloads[slot] = std::move(payload);
    if (!plan.had_point) ++table.point_count;
    table.foreign_ids.erase(slot);
    if (table.row_of[slot] != NO_ROW) table.rows.tenant[table.row_of[slot]] = plan.tenant;
    change_tenant(table, plan, plan.had_point ? table.tenant_of[slot] : 0);
}

void keep_point_id(PointTable& table, std::uint32_t slot, std::uint64_t id) {
    if (id != table.keys[slot]) table.foreign_ids[slot] = id;
}

PutPlan put_point(PointTable& table, std::uint64_t key, FloatSpan vector, std::unique_ptr<Payload> payload,
                  float sq_norm) {
    PutPlan plan = prepare_put(table, key, vector, payload.get(), sq_norm);
    commit_put(table, plan, vector, std::move(payload));
    return plan;
}

std::optional<std::uint32_t> preferred_length(const PointTable& table, std::uint32_t length) {
    if (length == table.rows.dim) return std::nullopt;
    auto it = table.aside.steerable.find(length);
    if (it == table.aside.steerable.end() || it->second <= table.rows.count) return std::nullopt;
    return length;
}

Layout relayout(const PointTable& table, std::uint32_t dim) {
    Layout layout;
    RowStore& rows = layout.rows;
    rows.dim = dim;
    rows.stride = row_stride(dim);
    const std::size_t moving_in = table.aside.steerable.count(dim) ? table.aside.steerable.at(dim) : 0;
    rows.words.resize(moving_in * rows.stride, 0);
    rows.slot_of.reserve(moving_in);
    rows.tenant.reserve(moving_in);
    layout.row_of.assign(table.slot_count(), NO_ROW);
    layout.aside.pos.assign(table.slot_count(), 0);
    std::vector<float> joined;
    for (std::uint32_t slot = 0; slot < table.slot_count(); ++slot) {
        if (!table.has_point(slot)) continue;
        const FloatSpan vector = table.vector(slot, joined);
        const auto len = static_cast<std::uint32_t>(vector.size());
        const float inv = inverse_norm(table.sq_norms[slot]);
        if (len == dim && inv != 0.0f) {
            const auto row = static_cast<std::uint32_t>(rows.slot_of.size());
            rows.slot_of.push_back(slot);
            rows.tenant.push_back(table.tenant_of[slot]);
            write_row(rows, row, vector, inv);
            if (unit_length(table.sq_norms[slot])) ++rows.unit_count;
            layout.row_of[slot] = row;
            continue;
        }
        reserve_aside(layout.aside, slot, len, inv != 0.0f);
        if (len != 0) layout.aside.values.find(slot)->second.assign(vector.begin(), vector.end());
        add_aside(layout.aside, slot, len, inv != 0.0f);
    }
    rows.count = rows.slot_of.size();
    const TenantIndex& tenants = table.tenants;
    layout.codes.resize(tenants.codes.size());
    for (std::size_t code = 1; code < tenants.members.size(); ++code) {
        const auto& members = tenants.members[code];
        if (!wants_codes(members.size(), dim)) continue;
        layout.codes[code] = new_codes(dim, members.size());
        encode_members(layout.codes[code], members, rows, layout.row_of);
    }
    return layout;
}

void swap_layout(PointTable& table, Layout& layout) noexcept {
    std::swap(table.rows, layout.rows);
    std::swap(table.aside, layout.aside);
    std::swap(table.row_of, layout.row_of);
    std::swap(table.tenants.codes, layout.codes);
}

}  // namespace karnoxel::core
