// The HNSW graph over a store's points.
//
// Nodes are the slots of the point table, so neighbour lists hold dense
// 32-bit slots and a walk never needs a hash lookup per distance. Layer 0 is
// one fixed-stride block (a count, then up to 2*m slots per node); the few
// nodes that reach higher layers own their upper lists separately.
//
// The graph is steered by the cosine distance computed with fast kernels
// (fused multiply-adds, any summation order); the candidates it returns are
// rescored exactly by the caller before anything reaches a user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/distance.hpp"
#include "core/points.hpp"

namespace karnoxel::index {

inline constexpr std::uint64_t DEFAULT_M = 16;
inline constexpr std::uint64_t DEFAULT_EF_CONSTRUCTION = 64;
inline constexpr std::uint64_t DEFAULT_EF_SEARCH = 32;
inline constexpr std::size_t MAX_LAYERS = 16;  // layers 0..15; the level draw never exceeds 15

// List capacities come from m, kept within these bounds so that a snapshot
// with an extreme m can neither disable linking nor blow up the layout.
inline constexpr std::uint64_t MIN_LINKS = 2;
inline constexpr std::uint64_t MAX_LINKS = 64;
// Insertion breadth is at least the list capacity and at most this.
inline constexpr std::uint64_t MAX_EF_CONSTRUCTION = 4096;

inline constexpr std::uint8_t NO_NODE = 0xFF;                // in `levels`: the slot has no node
inline constexpr std::uint32_t OVERFLOW_COUNT = UINT32_MAX;  // layer-0 count of a list kept in layer0_overflow
// List entries at or above this name `ghost_ids[entry - GHOST]`: ids a loaded
// snapshot listed that have neither a point nor a node. Walks pass over
// them (every slot is below GHOST); saving writes them back as read.
inline constexpr std::uint32_t GHOST = 0x80000000u;
inline constexpr std::uint32_t NO_SLOT = UINT32_MAX;

struct UpperLists {
    std::vector<std::vector<std::uint32_t>> layers;  // layers[l - 1]: the node's list on layer l
};

struct HNSWIndex {
    std::uint64_t m = DEFAULT_M;                              // base of list capacities and of the level draw
    std::uint64_t ef_construction = DEFAULT_EF_CONSTRUCTION;  // breadth of the insertion search
    std::uint64_t ef_search = DEFAULT_EF_SEARCH;              // least breadth of the layer-0 query search
    std::optional<std::uint64_t> entry_point;                 // id of the node where walks start
    std::uint64_t max_level = 0;                              // top layer

    std::uint32_t entry_slot = NO_SLOT;     // slot of entry_point, NO_SLOT when there is none
    std::size_t upper_cap = 16;             // list capacity on layers 1..15 (m within bounds)
    std::size_t layer0_cap = 32;            // list capacity on layer 0 (2 * upper_cap)
    std::vector<std::uint8_t> levels;       // slot -> top layer of its node, NO_NODE without one
    core::PodBuffer<std::uint32_t> layer0;  // slot * (1 + layer0_cap): count, then neighbour slots
    std::vector<std::uint32_t> parent0;     // slot -> node whose layer-0 list must keep it (a tree rooted
                                            // at the entry point), NO_SLOT for the entry and for no node
    std::vector<std::uint32_t> upper_of;    // slot -> 1 + index into `upper`, 0 for none
    std::vector<UpperLists> upper;          // upper-layer lists of the nodes that have them
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> layer0_overflow;  // loaded lists over layer0_cap
    std::vector<std::uint64_t> ghost_ids;                                           // ids of listed entries >= GHOST
    std::unordered_map<std::uint32_t, std::uint64_t>
        node_ids;                  // slot -> node id where a snapshot gave another than the key
    std::size_t node_count = 0;    // slots with a node
    bool parents_pending = false;  // parent0 not formed yet (a loaded graph that nothing changed)
    std::size_t covered = 0;       // slots with both a node and a point (all points, unless a
                                   // loaded snapshot left some without a node)

    HNSWIndex() = default;
    HNSWIndex(std::uint64_t m_, std::uint64_t ef_construction_, std::uint64_t ef_search_);

    std::size_t stride() const { return 1 + layer0_cap; }
    bool has_node(std::uint32_t slot) const { return slot < levels.size() && levels[slot] != NO_NODE; }
    // A node's list on a layer; empty for slots without a node (their
    // layer-0 count is 0 and they own no upper lists).
    std::span<const std::uint32_t> neighbors(std::uint32_t slot, std::size_t layer) const {
        if (layer == 0) {
            const std::uint32_t* block = layer0.data() + slot * stride();
            if (block[0] == OVERFLOW_COUNT) {
                const auto& list = layer0_overflow.find(slot)->second;
                return {list.data(), list.size()};
            }
            return {block + 1, block[0]};
        }
        const std::uint32_t handle = upper_of[slot];
        if (handle == 0 || layer >= MAX_LAYERS) return {};
        const auto& layers = upper[handle - 1].layers;
        if (layers.size() < layer) return {};
        return {layers[layer - 1].data(), layers[layer - 1].size()};
    }
};

// A level in 0..15: floor(-ln(u) / ln(m)) for u uniform in (0, 1) with 53
// random bits, 15 when u is 0, saturating. Draws from the calling thread's
// generator, seeded from the operating system's entropy.
std::uint64_t random_level(std::uint64_t m);

// Grows the per-slot arrays to cover every slot of the table. Call under the
// write locks before anything that may add slots' nodes; may throw bad_alloc
// and then leaves the graph as it was.
void reserve_slots(HNSWIndex& index, std::size_t slot_count);

// Adds the node of `slot` (whose point is stored) or, if it has one already,
// relinks it for its new vector. Standard HNSW insertion: a beam search of
// ef_construction per layer, neighbours chosen by the diversity heuristic,
// links in both directions, overflowing lists shrunk by the same heuristic.
void insert(HNSWIndex& index, const core::PointTable& table, std::uint32_t slot);

struct GraphQuery {
    core::FloatSpan query;     // the query vector (length: the table's main dimension)
    float inv_norm;            // 1/|query|, non-zero
    std::size_t breadth;       // layer-0 result list length
    std::uint32_t tenant;      // keep only nodes of this tenant code; 0: no filter
    std::size_t visit_budget;  // give up after visiting this many nodes (SIZE_MAX: never)
};

struct GraphAnswer {
    std::vector<std::uint32_t> slots;  // candidates by graph distance, nearest first
    bool gave_up = false;              // the visit budget ran out
};

// Best-first search: greedy descent to layer 1, then a search of layer 0
// keeping `breadth` results. With a tenant the walk passes through every
// node but keeps only the tenant's.
GraphAnswer search_knn(const HNSWIndex& index, const core::PointTable& table, const GraphQuery& query);

}  // namespace karnoxel::index
