// What the graph's own source files share: the per-thread working memory,
// the steering distance, list access and the walks. Not for use outside
// index/; nothing here changes a graph except through a caller that owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

#include "core/kernels.hpp"
#include "core/table.hpp"
#include "index/hnsw.hpp"

namespace karnoxel::index::graph {

using core::NO_ROW;
using core::RowStore;

constexpr float INF = std::numeric_limits<float>::infinity();

struct Farther {  // min-heap order
    bool operator()(const Candidate& a, const Candidate& b) const { return a.d > b.d; }
};
struct Nearer {  // max-heap order, and nearest-first sorting
    bool operator()(const Candidate& a, const Candidate& b) const { return a.d < b.d; }
};
constexpr Farther farther{};
constexpr Nearer nearer{};

// Per-thread working memory, reused by every walk and change of the
// thread: an epoch-stamped visited array (reset in O(1) until the stamp
// wraps), the candidate and result heaps, and the lists a change rewrites.
struct Scratch {
    std::vector<std::uint16_t> visited;  // row -> epoch of the walk that last visited it
    std::uint16_t epoch = 0;
    std::vector<Candidate> candidates;   // min-heap: nodes still to expand
    std::vector<Candidate> results;      // max-heap: best nodes found
    std::vector<Candidate> by_angle;     // a walk's second order: nodes to expand, by cosine (min-heap)
    std::vector<Candidate> angle_best;   // and the best by cosine found so far (max-heap)
    std::vector<Candidate> pool;         // selection input
    std::vector<Candidate> chosen;       // selection output
    std::vector<std::uint32_t> listed;   // a copy of the list being changed
    std::vector<std::uint32_t> links;    // a copy of a removed node's list
    std::vector<std::uint32_t> orphans;  // nodes whose parent was removed
    std::vector<std::uint32_t> queue;    // breadth-first order of the parent tree
    std::vector<std::uint64_t> frontiers;  // assign_parents' two bitmaps
    PlannedLink link;                    // a link being added at a commit

    void begin(std::size_t rows) {
        if (visited.size() < rows) visited.resize(rows, 0);
        if (++epoch == 0) {
            std::fill(visited.begin(), visited.end(), 0);
            epoch = 1;
        }
    }

    // Room for every list a commit may copy or build, so it never allocates.
    void reserve_changes(std::size_t list_cap) {
        const std::size_t room = list_cap + 2;
        candidates.reserve(room);
        pool.reserve(room);
        chosen.reserve(room);
        listed.reserve(room);
        links.reserve(room);
        orphans.reserve(room);
        link.list.reserve(room);
    }
};

// The calling thread's scratch. Not inlined on purpose: callers then hold a
// plain reference, instead of the compiler propagating the thread-local into
// the walks and recomputing its address (a __tls_get_addr call) on every use.
Scratch& thread_scratch();

// Distances from one vector to the rows, for steering, smaller is nearer.
// The graph is built and changed by cosine; a query walks it by its own
// metric, so that it heads for that metric's neighbours: the negated dot
// product, or the squared Euclidean distance less the query's own square
// (|x|^2 - 2 q.x, from the row's inverse norm). All from one fast dot with
// the rows' upper halves (bfloat16 values: half the bytes of the floats,
// and steering needs no more): from a float query, or from another row's
// upper halves when the graph measures its own nodes.
class Probe {
public:
    Probe(const RowStore& rows, core::FloatSpan vector, float inv_norm,
          core::DistanceMetric metric = core::DistanceMetric::Cosine)
        : Probe(rows, inv_norm, metric) {
        query_ = vector.data();
    }
    Probe(const RowStore& rows, std::uint32_t row) : Probe(rows, rows.inv_norm(row), core::DistanceMetric::Cosine) {
        query_upper_ = rows.upper(row);
    }

    // Prefetches what a distance reads of a row (its norm and upper halves,
    // not its list), so the loads of several rows overlap.
    void prefetch(std::uint32_t row) const {
        const char* start = reinterpret_cast<const char*>(words_ + row * stride_ + RowStore::PREFIX_WORDS);
        const std::size_t bytes = sizeof(float) + dim_ * sizeof(std::uint16_t);
        for (std::size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(start + offset);
        __builtin_prefetch(start + bytes - 1);
    }

    float to(std::uint32_t row) const {
        const std::uint32_t* words = words_ + row * stride_ + RowStore::PREFIX_WORDS;
        const auto* upper = reinterpret_cast<const std::uint16_t*>(words + 1);
        const float dot = query_ != nullptr ? dot_(query_, upper, dim_) : dots_(query_upper_, upper, dim_);
        return by_metric(dot, *reinterpret_cast<const float*>(words));
    }

    // The distance by the probe's metric, and in `angle` the cosine
    // distance, from the same dot product (a float query only).
    float to(std::uint32_t row, float& angle) const {
        const std::uint32_t* words = words_ + row * stride_ + RowStore::PREFIX_WORDS;
        const float dot = dot_(query_, reinterpret_cast<const std::uint16_t*>(words + 1), dim_);
        const float inv_b = *reinterpret_cast<const float*>(words);
        const float cosine = 1.0f - dot * inv_ * inv_b;
        angle = cosine == cosine ? cosine : core::MAX_DISTANCE;
        return by_metric(dot, inv_b);
    }

private:
    float by_metric(float dot, float inv_b) const {
        float d;
        switch (metric_) {
            case core::DistanceMetric::DotProduct:
                d = -dot;
                break;
            case core::DistanceMetric::Euclidean:
                d = 1.0f / (inv_b * inv_b) - 2.0f * dot;
                break;
            default:
                d = 1.0f - dot * inv_ * inv_b;
        }
        return d == d ? d : core::MAX_DISTANCE;  // NaN steers nowhere
    }

    Probe(const RowStore& rows, float inv_norm, core::DistanceMetric metric)
        : dot_(core::fast_kernels().dot_upper),
          dots_(core::fast_kernels().dot_uppers),
          dim_(rows.dim),
          inv_(inv_norm),
          metric_(metric),
          words_(rows.words.data()),
          stride_(rows.stride) {}

    core::UpperKernel dot_;
    core::UppersKernel dots_;
    const float* query_ = nullptr;
    const std::uint16_t* query_upper_ = nullptr;
    std::uint32_t dim_;
    float inv_;
    core::DistanceMetric metric_;
    const std::uint32_t* words_;
    std::size_t stride_;
};

inline Probe probe_for_row(const RowStore& rows, std::uint32_t row) {
    return Probe(rows, row);
}

// Upserts of new points search the graph while others commit theirs (see
// prepare_insert), so the words such a search reads and a commit writes are
// accessed atomically: a node's level, its layer-0 list, its parent. A
// commit writes a new node's vector, lists and parent before its level, with
// release; a walk reads a level with acquire before anything else of the
// node, so a node it finds is whole. On x86 these are plain moves.
// Upper-layer lists (std::vector) are read and written under a striped lock.

// Whether a row holds a node. Lists may name rows whose node is gone (a
// node that left links only to it from the nodes it listed); walks and
// changes pass over those.
inline bool is_node(const HNSWIndex& index, std::uint32_t row) {
    return __atomic_load_n(index.levels.data() + row, __ATOMIC_ACQUIRE) != NO_NODE;
}
inline void set_level(HNSWIndex& index, std::uint32_t row, std::uint8_t level) {
    __atomic_store_n(index.levels.data() + row, level, __ATOMIC_RELEASE);
}
inline std::uint32_t parent_of(const HNSWIndex& index, std::uint32_t row) {
    return __atomic_load_n(index.parent0.data() + row, __ATOMIC_RELAXED);
}
inline void set_parent(HNSWIndex& index, std::uint32_t row, std::uint32_t parent) {
    __atomic_store_n(index.parent0.data() + row, parent, __ATOMIC_RELAXED);
}

// The longest list of any layer.
inline constexpr std::size_t MAX_LIST = RowStore::PREFIX_WORDS - 1;

// Copies a node's list on a layer into `out` (room for MAX_LIST entries);
// returns its length. Safe while another thread commits.
std::size_t copy_list(const HNSWIndex& index, const RowStore& rows, std::uint32_t row, std::size_t layer,
                      std::uint32_t* out);

void read_list(const HNSWIndex& index, const RowStore& rows, std::uint32_t row, std::size_t layer,
               std::vector<std::uint32_t>& out);

// The lock of a row's upper-layer lists (one of a fixed set, shared by rows).
std::mutex& upper_lists_lock(std::uint32_t row);

std::vector<std::uint32_t>* upper_list(HNSWIndex& index, std::uint32_t row, std::size_t layer);

inline std::size_t capacity(const HNSWIndex& index, std::size_t layer) {
    return layer == 0 ? index.layer0_cap : index.upper_cap;
}

// Greedy walk on an upper layer: move to the nearest listed neighbour while
// it is strictly nearer.
void greedy(const HNSWIndex& index, const RowStore& rows, const Probe& probe, std::size_t layer, std::uint32_t& cur,
            float& cur_d);

struct LayerSearch {
    std::size_t ef;  // results kept
    std::size_t layer;
    std::uint32_t exclude;     // walked through but never a result (the node being linked)
    std::uint32_t tenant;      // 0: every node may be a result
    std::size_t visit_budget;  // SIZE_MAX: unlimited
    std::size_t angle_ef = 0;  // 0, or also expand in order of angle, keeping this many (see search_layer)
    const std::uint32_t* tall = nullptr;  // with angle_ef: also measure an expanded node's tall nodes
};

// Whether a search runs in two orders: asked for, on layer 0, by a walk
// that answers a query (not one linking a node).
inline bool two_orders(const LayerSearch& search) {
    return search.angle_ef != 0 && search.layer == 0 && search.exclude == NO_ROW;
}

// Best-first search of one layer from `start` (and from `more_starts`,
// nodes all). Leaves the results in scratch.results as a max-heap; returns
// false if the visit budget ran out. With `angle_ef` (two_orders), for a
// walk of a float query by the dot product or the Euclidean distance, the
// search expands in turn the nearest node by the metric and the nearest by
// cosine (each order bounded by its own best `ef` / `angle_ef`), and keeps
// the results by the metric (of the tenant's nodes only, for a tenant: both
// orders expand every node).
bool search_layer(const HNSWIndex& index, const RowStore& rows, const Probe& probe, std::uint32_t start, float start_d,
                  const LayerSearch& search, Scratch& scratch, std::span<const std::uint32_t> more_starts = {});

// Chooses the hubs anew among all nodes (after a hub left or changed its
// norm, or when a graph is made from an image).
void choose_hubs(HNSWIndex& index, const RowStore& rows);

// Gives every node a parent along layer 0, breadth first from the entry
// point. `bits` is room for two frontier bitmaps (2 * frontier_words of
// the graph's rows). Returns the number of nodes reached (the entry
// included).
inline std::size_t frontier_words(std::size_t rows) { return (rows + 63) / 64; }
std::size_t assign_parents(HNSWIndex& index, const RowStore& rows, std::vector<std::uint64_t>& bits);

}  // namespace karnoxel::index::graph
