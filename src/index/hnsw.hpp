// The HNSW graph over a store's steerable vectors.
//
// Nodes are the rows of the point table (core::RowStore): neighbour lists
// hold dense 32-bit rows, and a node's layer-0 list lives in the prefix of
// its own row, right before its vector, so one hop reads one contiguous
// block. The few nodes that reach higher layers own their upper lists
// separately. Every used row is a node; a row left by its point is a free
// row (its layer-0 count is FREE_LIST) until the next point takes it.
//
// The graph is steered by the cosine distance computed with fast kernels
// (fused multiply-adds, any summation order); the candidates it returns are
// rescored exactly by the caller before anything reaches a user.
//
// Changes come in two steps: plan_* searches and reserves every byte the
// change will need (and may throw std::bad_alloc) without changing anything
// a reader can see; commit_* then applies it without allocating. A failed
// plan therefore leaves the graph exactly as it was.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/distance.hpp"
#include "core/table.hpp"

namespace karnoxel::index {

inline constexpr std::uint64_t DEFAULT_M = 16;
inline constexpr std::uint64_t DEFAULT_EF_CONSTRUCTION = 64;
inline constexpr std::uint64_t DEFAULT_EF_SEARCH = 32;
inline constexpr std::size_t MAX_LAYERS = 16;  // layers 0..15; the level draw never exceeds 15

// The search breadth of a store as it is created or loaded: the value of
// KARNOXEL_EF_SEARCH where that is an integer from 1 to MAX_EF_SEARCH_SETTING,
// else `otherwise` (DEFAULT_EF_SEARCH, or the value a snapshot brings). It
// trades recall for speed: every search of the store is at least this wide.
inline constexpr std::uint64_t MAX_EF_SEARCH_SETTING = 4096;
std::uint64_t ef_search_setting(std::uint64_t otherwise);

// List capacities come from m, kept within these bounds, so that an image
// with an extreme m can neither disable linking nor blow up memory: a
// layer-0 list (2 * the upper capacity) always fits a row's prefix.
inline constexpr std::uint64_t MIN_LINKS = 2;
inline constexpr std::uint64_t MAX_LINKS = (core::RowStore::PREFIX_WORDS - 1) / 2;
// Insertion breadth is at least the list capacity and at most this.
inline constexpr std::uint64_t MAX_EF_CONSTRUCTION = 4096;

// Nodes of the largest norms kept beside the graph, where dot-product
// walks also start (they are not part of an image: derived from the rows).
inline constexpr std::size_t HUBS = 64;

// On rows of unequal lengths, each node also keeps the TALL nodes of largest
// norm within two hops on layer 0, and the TALL_NEAR of largest norm in its
// own list (from which the others are found). A dot-product walk measures a
// node's tall ones as it expands it: the graph links by angle, so among
// nodes alike in direction the long ones, which win that metric, lie
// anywhere, and a walk by direction alone must cover the region to meet
// them. Derived from the rows and lists, never part of an image: a commit
// updates those of the nodes it links, and a save or load works out all of
// them anew, so that a store and a copy loaded from its image walk alike.
inline constexpr std::size_t TALL = 6;
inline constexpr std::size_t TALL_NEAR = 1;

inline constexpr std::uint8_t NO_NODE = 0xFF;           // in `levels`: the row has no node
inline constexpr std::uint32_t FREE_LIST = UINT32_MAX;  // layer-0 count of a row without a node
// In a plan: the row a new node will have, not known until its commit.
inline constexpr std::uint32_t PENDING_ROW = core::NO_ROW - 1;

struct Candidate {
    float d;            // graph distance
    std::uint32_t row;  // node
};

struct UpperLists {
    std::vector<std::vector<std::uint32_t>> layers;  // layers[l - 1]: the node's list on layer l
};

// An index record read from an image whose graph failed the checks of
// GraphBuilder: saved back byte for byte, never walked.
struct RawGraph {
    std::vector<std::uint8_t> record;
};

struct HNSWIndex {
    std::uint64_t m = DEFAULT_M;                              // as created or read; base of capacities and levels
    std::uint64_t ef_construction = DEFAULT_EF_CONSTRUCTION;  // breadth of the insertion search
    std::uint64_t ef_search = DEFAULT_EF_SEARCH;              // least breadth of the layer-0 query search
    std::uint64_t max_level = 0;                              // top layer
    std::uint32_t entry_row = core::NO_ROW;                   // node where walks start; NO_ROW for an empty graph

    std::size_t upper_cap = 16;             // list capacity on layers 1..15 (m within bounds)
    std::size_t layer0_cap = 32;            // list capacity on layer 0 (2 * upper_cap)
    std::vector<std::uint8_t> levels;       // row -> top layer of its node, NO_NODE without one
    std::vector<std::uint32_t> parent0;     // row -> node whose layer-0 list must keep it (a tree rooted at
                                            // the entry point), NO_ROW for the entry and for no node
    std::vector<std::uint32_t> upper_of;    // row -> 1 + index into `upper`, 0 for none
    std::vector<UpperLists> upper;          // upper-layer lists of the nodes that have them
    std::vector<std::uint32_t> free_upper;  // indexes into `upper` that no node uses
    std::size_t node_count = 0;             // rows with a node
    std::array<std::uint32_t, HUBS> hubs{};  // the HUBS nodes of largest norm (ties: lower row), largest first
    std::size_t hub_count = 0;               // entries of `hubs` in use
    // Kept while the rows have unequal lengths (else empty): row -> its TALL
    // (TALL_NEAR) nodes of largest norm within two hops (in its list),
    // largest first, NO_ROW after the last. Hints: they may name nodes gone
    // since, or miss nodes linked since. A save brings them up to date under
    // the read locks (mutable: walks read them atomically meanwhile), unless
    // nothing changed since they were all worked out (`talls_at` is then
    // `changes`, accessed atomically).
    mutable std::vector<std::uint32_t> tall;
    mutable std::vector<std::uint32_t> tall_near;
    mutable std::uint64_t talls_at = UINT64_MAX;
    std::uint64_t changes = 0;               // counts commits: tells whether a plan is still current
    std::uint64_t removals = 0;              // counts commits that removed or relinked a node
    std::unique_ptr<RawGraph> raw;          // set: a damaged graph kept only to be saved back

    HNSWIndex() : HNSWIndex(DEFAULT_M, DEFAULT_EF_CONSTRUCTION, DEFAULT_EF_SEARCH) {}
    HNSWIndex(std::uint64_t m_, std::uint64_t ef_construction_, std::uint64_t ef_search_);

    bool has_node(std::uint32_t row) const { return row < levels.size() && levels[row] != NO_NODE; }
    // The top layer walks descend from (max_level read from an image may exceed the layers kept).
    std::size_t top_layer() const {
        return static_cast<std::size_t>(std::min<std::uint64_t>(max_level, MAX_LAYERS - 1));
    }
    // A node's list on a layer; empty for rows without a node there.
    std::span<const std::uint32_t> neighbors(const core::RowStore& rows, std::uint32_t row, std::size_t layer) const {
        if (layer == 0) {
            const std::uint32_t* prefix = rows.prefix(row);
            return prefix[0] == FREE_LIST ? std::span<const std::uint32_t>() : std::span(prefix + 1, prefix[0]);
        }
        const std::uint32_t handle = upper_of[row];
        if (handle == 0 || layer >= MAX_LAYERS) return {};
        const auto& layers = upper[handle - 1].layers;
        if (layers.size() < layer) return {};
        return {layers[layer - 1].data(), layers[layer - 1].size()};
    }
};

// A level in 0..15 from 64 random bits: floor(-ln(u) / ln(base)) for u in
// [0, 1) made of the top 53 bits, 15 when u is 0, saturating. The base is m
// within the list bounds.
std::uint64_t level_from_bits(std::uint64_t bits, std::uint64_t m);

// Grows the per-row arrays to cover `rows` rows (and some more, so that
// growing is rare); may throw, changes nothing a reader can see. Their size
// only changes here, never while rows are added beside a walk.
void reserve_nodes(HNSWIndex& index, std::size_t rows);

// Whether the graph keeps the tall nodes of each node (`tall`), and whether
// it should: while the rows have unequal lengths.
inline bool keeps_talls(const HNSWIndex& index) { return !index.tall.empty(); }
inline bool wants_talls(const HNSWIndex& index, const core::RowStore& rows) {
    return rows.unit_count != rows.count && !keeps_talls(index);
}
// Makes room for every node's tall nodes and works them out from the lists
// (may throw std::bad_alloc, changing nothing then).
void choose_talls(HNSWIndex& index, const core::RowStore& rows);
// Works out every node's tall nodes anew where the graph keeps them and
// changed since they were all worked out. Runs beside walks and other
// refreshes (under the read locks), never beside a change of the graph.
void refresh_talls(const HNSWIndex& index, const core::RowStore& rows) noexcept;

// A neighbour's list after it links to a new node, worked out while the
// insertion searches, so that making the links is only writing them.
struct PlannedLink {
    std::uint32_t node = core::NO_ROW;
    std::uint8_t layer = 0;
    bool changes = false;         // `list` replaces the node's list on the layer
    bool adopts = false;          // the node becomes the new node's parent on layer 0
    std::vector<Candidate> list;  // nearest first where pruned
    std::vector<std::uint32_t> seen;  // the node's list on the layer when this was worked out
};

// An insertion (or the relinking of a node whose vector changed), planned.
struct InsertPlan {
    std::uint32_t row = core::NO_ROW;            // the node's row; set before commit_insert
    bool relink = false;                         // the row has a node that is relinked
    std::uint8_t level = 0;                      // the node's level
    std::vector<std::vector<Candidate>> chosen;  // layer -> the node's new neighbours
    std::vector<Candidate> nearest;              // layer-0 candidates, nearest first
    std::vector<std::uint32_t> old_links;        // a relinked node's layer-0 list before
    UpperLists upper;                            // a new node's upper lists, room reserved
    std::vector<PlannedLink> links;              // a new node: what linking to it does to each neighbour
    std::uint32_t entry = core::NO_ROW;          // the graph's entry point when the plan was made
    std::uint8_t top = 0;                        // its top layer then (at most 15)
    std::uint64_t planned_at = 0;                // the graph's `changes` when the plan was made
    std::uint64_t removals_at = 0;               // the graph's `removals` then
};

// Searches the graph for the neighbours of `vector` (length rows.dim, with
// inverse norm `inv_norm`). `row` is the row that will hold it, if known
// (a relinked node's, or one being added by a rebuild), else NO_ROW.
void plan_insert(HNSWIndex& index, const core::RowStore& rows, core::FloatSpan vector, float inv_norm,
                 std::uint32_t row, std::uint64_t level_bits, InsertPlan& plan);
// The two halves of plan_insert, for a caller that lets searches in between
// them: the first makes every room (it may move the graph's arrays, so no
// one else may look at the graph meanwhile); the second only reads the
// graph and the rows, so searches may run beside it.
void prepare_insert(HNSWIndex& index, const core::RowStore& rows, std::uint32_t row, std::uint64_t level_bits,
                    InsertPlan& plan);

// Insertions of new nodes planned beside each other, and beside the
// commits of the others: begin_insert starts a plan without changing the
// graph (the node's row is PENDING_ROW until the commit); search_insert
// then reads the graph while other threads commit (lists, levels and
// parents are accessed atomically); commit_insert checks every planned list
// against the neighbour's list of the moment, and works out anew one that
// another commit changed meanwhile. The arrays a planning walk reads must
// not move meanwhile: insert_room_ready tells whether `rows` rows and the
// nodes of `pending` planned insertions besides this one fit (and that the
// graph keeps its tall nodes if it should), and make_insert_room (only while
// no insertion is planned) makes that room.
// Removals and relinks must not run while insertions are planned.
void begin_insert(const HNSWIndex& index, std::uint64_t level_bits, InsertPlan& plan);
bool insert_room_ready(const HNSWIndex& index, const core::RowStore& rows, std::size_t pending);
void make_insert_room(HNSWIndex& index, const core::RowStore& rows, std::size_t pending);
void search_insert(const HNSWIndex& index, const core::RowStore& rows, core::FloatSpan vector, float inv_norm,
                   InsertPlan& plan);
// Links the node; its row holds the vector by now. Never allocates.
void commit_insert(HNSWIndex& index, core::RowStore& rows, InsertPlan& plan) noexcept;

// Removes the node of a row whose point left the rows: every node that
// linked to it takes one of its neighbours instead, and the nodes it held in
// the tree of layer 0 find new parents. Never allocates.
void plan_remove(HNSWIndex& index, std::uint32_t row);
void commit_remove(HNSWIndex& index, core::RowStore& rows, std::uint32_t row) noexcept;

// Forgets every node and builds the graph anew over every used row, in slot
// order, drawing levels from `next_bits`. Throws std::bad_alloc; the graph
// is then unusable and must be discarded.
template <class NextBits>
void build(HNSWIndex& index, core::RowStore& rows, NextBits&& next_bits);

struct GraphQuery {
    core::FloatSpan query;     // the query vector (length rows.dim)
    float inv_norm;            // 1/|query|, non-zero
    core::DistanceMetric metric;  // the walk heads for this metric's neighbours
    std::size_t breadth;       // layer-0 result list length
    std::uint32_t tenant;      // keep only nodes of this tenant code; 0: no filter
    std::size_t visit_budget;  // give up after visiting this many nodes (SIZE_MAX: never)
    // Dot product or Euclidean without a tenant: also expand by angle,
    // keeping this many (0: by the metric only; ignored with a tenant).
    std::size_t angle_breadth = 0;
};

// Where a walk starts: the entry point and its top layer, how many nodes
// of layer 1 an unfiltered walk keeps there (1: a greedy step), and for a
// dot-product walk the hubs and the tall nodes. Noted with the graph's read
// lock held, so a walk can run while commits of new nodes go on.
struct WalkStart {
    std::uint32_t entry = core::NO_ROW;
    std::size_t top = 0;
    std::size_t layer1_breadth = 1;
    std::array<std::uint32_t, HUBS> hubs{};
    std::size_t hub_count = 0;
    const std::uint32_t* tall = nullptr;  // the graph's `tall`, for a dot-product walk where kept
};
WalkStart walk_start(const HNSWIndex& index, core::DistanceMetric metric);

// Best-first search: greedy descent to layer 2, on layer 1 a greedy step
// or (unfiltered, on graphs with a large layer 1) a search keeping
// `start.layer1_breadth` nodes, then a search of layer 0 from those nodes
// keeping `breadth` results (and, with `angle_breadth`, expanding by angle
// too: graph.hpp, search_layer). With a tenant the walk passes through every
// node but keeps only the tenant's. Appends the rows found, nearest first,
// to `out`; returns false if the visit budget ran out. Lists and levels are
// read atomically: commits of new nodes may run meanwhile, provided nothing
// moves the graph's arrays or removes a node.
bool search_knn(const HNSWIndex& index, const core::RowStore& rows, const GraphQuery& query, const WalkStart& start,
                std::vector<std::uint32_t>& out);

// The graph's parameters as an image records them.
struct GraphHeader {
    std::uint64_t m = DEFAULT_M;
    std::uint64_t ef_construction = DEFAULT_EF_CONSTRUCTION;
    std::uint64_t ef_search = DEFAULT_EF_SEARCH;
    std::optional<std::uint64_t> entry_point;  // a point id
    std::uint64_t max_level = 0;
};

// Makes a graph from the node records of an image, over a table whose
// points are already in place. Records of ids that have no row (missing
// points, vectors the graph cannot steer by) are left out, and so are list
// entries that name them. The graph is kept if what remains is sound: each
// row's node given once with its own id, lists within their capacities, an
// entry point that is a node at the top layer, every row a node, every node
// reachable on layer 0 from the entry point. Otherwise the result keeps the
// record's bytes to be saved back unchanged, is never walked, and is built
// anew at the store's next change.
class GraphBuilder {
public:
    GraphBuilder(core::PointTable& table, const GraphHeader& header);
    // One node record; `lists` holds the 16 lists of ids, layer 0 first.
    void add_node(std::uint64_t key, std::uint64_t id, const std::array<std::vector<std::uint64_t>, MAX_LAYERS>& lists);
    HNSWIndex finish(std::span<const std::uint8_t> record);

private:
    std::uint32_t row_of_key(std::uint64_t key) const;
    // Makes the recorded entry point the graph's, if it is a node.
    void take_entry();
    // Whether the entry point is set, every row is a node and every node is
    // reachable from the entry on layer 0 (forms the tree of layer 0).
    bool holds_together();

    core::PointTable& table_;
    GraphHeader header_;
    HNSWIndex index_;
    std::vector<std::uint32_t> direct_;  // key -> row for small keys, when keys are dense
    bool identity_ = false;              // direct_ maps every key to itself
    bool sound_ = true;
    std::vector<std::uint32_t> resolved_;
};

}  // namespace karnoxel::index

namespace karnoxel::index {

template <class NextBits>
void build(HNSWIndex& index, core::RowStore& rows, NextBits&& next_bits) {
    HNSWIndex fresh(index.m, index.ef_construction, index.ef_search);
    reserve_nodes(fresh, rows.size());
    for (std::uint32_t row = 0; row < rows.size(); ++row) rows.prefix(row)[0] = FREE_LIST;
    // Slot order: the order in which the points were first stored.
    std::vector<std::uint32_t> order;
    order.reserve(rows.count);
    for (std::uint32_t row = 0; row < rows.size(); ++row) {
        if (rows.used(row)) order.push_back(row);
    }
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return rows.slot_of[a] < rows.slot_of[b]; });
    InsertPlan plan;
    std::vector<float> vector(rows.dim);
    for (const std::uint32_t row : order) {
        rows.copy_vector(row, vector.data());
        plan_insert(fresh, rows, {vector.data(), rows.dim}, rows.inv_norm(row), row, next_bits(), plan);
        plan.row = row;
        commit_insert(fresh, rows, plan);
    }
    index = std::move(fresh);
}

}  // namespace karnoxel::index
