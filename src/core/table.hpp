// The point table of a store: every stored point, addressed by a dense slot.
//
// A slot is assigned to an id once and kept for the life of the table
// (points are replaced, never deleted), so slot order is the order in which
// ids were first stored; it breaks ties between equal scores.
//
// Vectors come in two kinds. Those a graph can steer by, with the table's
// main length and a finite non-zero norm, live in rows: fixed-stride blocks
// that start with a prefix owned by the graph index (its layer-0 list of the
// row's node), then the vector's inverse norm, then the vector split in two
// halves (see RowStore). A row left by its point is reused by the next one.
// Every other vector (another length, a zero or non-finite norm) is kept
// aside, grouped by length, and is only ever scanned exactly; empty vectors
// take no memory at all.
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
#include "core/halves.hpp"
#include "core/idmap.hpp"
#include "core/point.hpp"
#include "core/random.hpp"

namespace karnoxel::core {

inline constexpr std::uint32_t NO_ROW = UINT32_MAX;
inline constexpr std::uint32_t NO_SLOT = UINT32_MAX;
// The longest vector a point may hold: lengths are 32-bit, and the largest
// value marks slots without a point.
inline constexpr std::size_t MAX_VECTOR_LENGTH = UINT32_MAX - 1;

// Makes room for `count` elements, growing geometrically: reserve() alone
// allocates exactly what is asked, which would copy the array on every append.
template <class Vector>
void reserve_for(Vector& v, std::size_t count) {
    if (v.capacity() < count) v.reserve(std::max(count, v.capacity() + v.capacity() / 2));
}

// Rows of steerable vectors. Row r occupies words [r * stride, (r + 1) * stride):
// the graph's prefix, the inverse norm, the dim upper halves of the vector's
// floats, then their dim lower halves. A walk reads the prefix, the norm and
// the upper halves, one stream of bytes; the lower halves are read only to
// join the exact floats (to score, save or encode a point).
struct RowStore {
    // Words at the start of every row that belong to the graph index.
    static constexpr std::size_t PREFIX_WORDS = 33;

    std::uint32_t dim = 0;                 // vector length of every row; 0 before the first row
    std::size_t stride = 0;                // words per row: PREFIX_WORDS + 1 (the inverse norm) + dim
    PodBuffer<std::uint32_t> words;        // the rows back to back
    std::vector<std::uint32_t> slot_of;    // row -> slot of its point, NO_SLOT for a free row
    std::vector<std::uint32_t> tenant;     // row -> tenant code of its point (0: none)
    std::vector<std::uint32_t> free_rows;  // rows without a point, reused before new ones
    std::size_t count = 0;                 // rows holding a point
    std::size_t unit_count = 0;            // of those, rows whose vector has length 1 (unit_length)

    std::size_t size() const { return slot_of.size(); }
    bool used(std::uint32_t row) const { return slot_of[row] != NO_SLOT; }
    std::uint32_t* prefix(std::uint32_t row) { return words.data() + row * stride; }
    const std::uint32_t* prefix(std::uint32_t row) const { return words.data() + row * stride; }
    float inv_norm(std::uint32_t row) const { return reinterpret_cast<const float*>(prefix(row))[PREFIX_WORDS]; }
    // The upper halves; the lower ones follow them (at upper(row) + dim).
    const std::uint16_t* upper(std::uint32_t row) const {
        return reinterpret_cast<const std::uint16_t*>(prefix(row) + PREFIX_WORDS + 1);
    }
    // The row's vector, joined from its halves into out[0..dim).
    void copy_vector(std::uint32_t row, float* __restrict out) const {
        const std::size_t n = dim;
        const std::uint16_t* __restrict up = upper(row);
        const std::uint16_t* __restrict low = up + n;
        for (std::size_t i = 0; i < n; ++i) out[i] = join_halves(up[i], low[i]);
    }
};

// Whether a vector of this sum of squares has length 1, as normalised
// embeddings do up to rounding. On rows all of length 1 the dot product and
// the Euclidean distance rank as cosine does.
inline bool unit_length(float sq_norm) {
    return sq_norm >= 1.0f - 2e-4f && sq_norm <= 1.0f + 2e-4f;
}

inline std::size_t row_stride(std::uint32_t dim) {
    return RowStore::PREFIX_WORDS + 1 + dim;
}

// Vectors kept aside from the rows.
struct AsideVectors {
    std::unordered_map<std::uint32_t, std::vector<float>> values;             // slot -> its non-empty vector
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> by_length;  // length -> slots, any order
    std::vector<std::uint32_t> pos;                                           // slot -> index in its length's list
    std::unordered_map<std::uint32_t, std::size_t> steerable;  // length -> those with a finite non-zero norm

    const std::vector<std::uint32_t>* slots_of_length(std::uint32_t length) const {
        auto it = by_length.find(length);
        return it == by_length.end() ? nullptr : &it->second;
    }
};

struct StringKeyHash {
    using is_transparent = void;
    std::uint64_t key = entropy64();
    std::size_t operator()(std::string_view s) const { return static_cast<std::size_t>(keyed_hash(s, key)); }
};

// A tenant whose point count times the rows' length reaches this many
// values gets 8-bit copies of its row vectors (TenantCodes): from about
// there on, a float scan of the tenant costs more than an unfiltered walk.
inline constexpr std::size_t CODED_TENANT_VALUES = std::size_t{1} << 18;

// 8-bit copies of a large tenant's row vectors, one entry per member in the
// order of its member list, so that a scan of the tenant reads a quarter of
// the bytes (and reads them in one stream) to pick the candidates it then
// scores exactly. An entry holds the vector divided by `scale` (its largest
// magnitude / 127), rounded and offset by 128 (so every code is a byte from
// 1 to 255), then 128s up to `stride`; members whose vector is not in the
// rows have scale 0. Each entry also has its signs, one bit per value (set
// where the code is above 128), an eighth of the codes' bytes again: a
// cosine scan reads them first, to pass over the entries that point away
// from the query.
struct TenantCodes {
    static constexpr std::size_t LEVELS = 127;        // values lie in [-127, 127] before the offset
    static constexpr std::uint8_t ZERO = 128;         // the code of 0
    static constexpr std::size_t MAX_STRIDE = 65536;  // longer vectors get no codes (their sums could overflow)

    std::size_t stride = 0;             // bytes per entry (the rows' length rounded up to 64); 0: no codes
    std::vector<std::uint8_t> values;   // entries back to back
    std::vector<float> scale;           // entry -> scale, 0 when the member has no row
    std::vector<float> inv_norm;        // entry -> the row's inverse norm
    std::vector<std::uint64_t> signs;   // sign_words() per entry, in blocks (kernels.hpp: signs_index)

    std::size_t sign_words() const { return stride / 64; }
};

// Points grouped by tenant, so a tenant's points can be scanned without
// visiting anyone else's. Codes are dense and start at 1; 0 means no tenant.
struct TenantIndex {
    std::unordered_map<std::string, std::uint32_t, StringKeyHash, std::equal_to<>> code_of;
    std::vector<std::vector<std::uint32_t>> members{1};  // code -> slots of its points
    std::vector<TenantCodes> codes{1};                   // code -> its 8-bit copies, if it is large

    std::uint32_t find(std::string_view tenant) const {
        auto it = code_of.find(tenant);
        return it == code_of.end() ? 0 : it->second;
    }
};

struct PointTable {
    static constexpr std::uint32_t NO_POINT = UINT32_MAX;  // in `lens`: slot without a point
    static constexpr std::size_t MAX_SLOTS = 0x7FFFFFFF;   // slots stay below 2^31

    IdMap slot_of;                                   // map key -> slot
    std::vector<std::uint64_t> keys;                 // slot -> map key
    std::vector<std::uint32_t> lens;                 // slot -> vector length, or NO_POINT
    std::vector<float> sq_norms;                     // slot -> sum of squares under the accumulation rule
    std::vector<std::unique_ptr<Payload>> payloads;  // slot -> payload, null when absent
    std::vector<std::uint32_t> tenant_of;            // slot -> tenant code, 0 for none
    std::vector<std::uint32_t> tenant_pos;           // slot -> index in its tenant's member list
    std::vector<std::uint32_t> row_of;               // slot -> row, NO_ROW when kept aside or without a point
    RowStore rows;                                   // steerable vectors
    AsideVectors aside;                              // every other vector
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

    // The vector of a slot's point (empty for slots without one): a vector
    // kept aside as it is stored, a row's joined into `buffer`.
    FloatSpan vector(std::uint32_t slot, std::vector<float>& buffer) const {
        const std::uint32_t len = lens[slot];
        if (len == 0 || len == NO_POINT) return {};
        if (row_of[slot] == NO_ROW) return {aside.values.find(slot)->second.data(), len};
        buffer.resize(len);
        rows.copy_vector(row_of[slot], buffer.data());
        return {buffer.data(), len};
    }
};

// The inverse norm kept in each row: 0 where the cosine is undefined (zero
// or non-finite norm), which keeps a vector out of the rows.
float inverse_norm(float sq_norm);

// Whether a vector with this length and norm belongs in the rows.
inline bool fits_rows(const RowStore& rows, std::size_t length, float sq_norm) {
    return inverse_norm(sq_norm) != 0.0f && (rows.dim == 0 || length == rows.dim);
}

// How an upsert changes the table, worked out (and every allocation made)
// before anything a reader could see changes.
struct PutPlan {
    std::uint32_t slot = 0;          // the point's slot (made by prepare_put when the key is new)
    bool created = false;            // the slot is new
    bool had_point = false;          // the slot held a point before
    bool vector_changed = false;     // the vector differs (bit for bit) from the one before, or is new
    std::uint32_t old_row = NO_ROW;  // the point's row before
    std::uint32_t new_row = NO_ROW;  // the point's row after; NO_ROW when its vector goes aside
    std::uint32_t tenant = 0;        // tenant code after
    TenantCodes codes;               // the tenant's first codes, when this point makes it large
    float sq_norm = 0.0f;            // the vector's sum of squares
    std::vector<float> aside;        // the vector, when it goes aside
};

// Plans storing or replacing the point under `key`. Throws std::bad_alloc
// or std::length_error (vector too long, table full) and then leaves the
// table as a reader sees it (a new empty slot or tenant code may remain).
// `sq_norm` is the vector's sum of squares when known, NaN otherwise.
PutPlan prepare_put(PointTable& table, std::uint64_t key, FloatSpan vector, const Payload* payload, float sq_norm);

// Whether `pending` + 1 puts of new steerable vectors can find rows
// without moving the rows' memory (walks read it without the table's lock
// while such puts are planned); make_row_room makes that room, and may
// throw std::bad_alloc.
bool row_room_ready(const PointTable& table, std::size_t pending);
// Room for `count` more points, steerable ones included (when the rows have
// a length), so that adding that many moves no memory. May throw std::bad_alloc.
void reserve_points(PointTable& table, std::size_t count);
void make_row_room(PointTable& table, std::size_t pending);

// Stores the point as planned. Never allocates.
void commit_put(PointTable& table, PutPlan& plan, FloatSpan vector, std::unique_ptr<Payload> payload) noexcept;

// Records the id a snapshot gave a point when it differs from its key (the
// id the point's hits report).
void keep_point_id(PointTable& table, std::uint32_t slot, std::uint64_t id);

// Stores or replaces a point in one step (prepare, then commit).
PutPlan put_point(PointTable& table, std::uint64_t key, FloatSpan vector, std::unique_ptr<Payload> payload,
                  float sq_norm);

// The length whose steerable vectors now outnumber the rows, if any: the
// rows should move to it.
std::optional<std::uint32_t> preferred_length(const PointTable& table, std::uint32_t length);

// New rows and aside vectors with `dim` as the main length: every steerable
// vector of that length moves into rows (in slot order), every row's vector
// goes aside. Builds everything before changing anything; apply it with
// swap_layout.
struct Layout {
    RowStore rows;
    AsideVectors aside;
    std::vector<std::uint32_t> row_of;
    std::vector<TenantCodes> codes;
};
Layout relayout(const PointTable& table, std::uint32_t dim);
void swap_layout(PointTable& table, Layout& layout) noexcept;

// The slot of a key, if it has one.
inline std::optional<std::uint32_t> find_slot(const PointTable& table, std::uint64_t key) {
    const std::uint32_t slot = table.slot_of.find(key);
    if (slot == IdMap::NONE) return std::nullopt;
    return slot;
}

}  // namespace karnoxel::core
