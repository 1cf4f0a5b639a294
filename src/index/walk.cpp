#include <algorithm>

#include "index/graph.hpp"

namespace karnoxel::index {
namespace graph {

// The calling thread's scratch. Not inlined on purpose: callers then hold a
// plain reference, instead of the compiler propagating the thread-local into
// the walks and recomputing its address (a __tls_get_addr call) on every use.
__attribute__((noinline)) Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

std::mutex& upper_lists_lock(std::uint32_t row) {
    static std::mutex locks[64];
    return locks[row % 64];
}

std::size_t copy_list(const HNSWIndex& index, const RowStore& rows, std::uint32_t row, std::size_t layer,
                      std::uint32_t* out) {
    if (layer == 0) {
        const std::uint32_t* prefix = rows.prefix(row);
        const std::uint32_t count = __atomic_load_n(prefix, __ATOMIC_ACQUIRE);
        if (count == FREE_LIST) return 0;
        const std::size_t n = std::min<std::size_t>(count, MAX_LIST);
        for (std::size_t i = 0; i < n; ++i) out[i] = __atomic_load_n(prefix + 1 + i, __ATOMIC_ACQUIRE);
        return n;
    }
    std::lock_guard<std::mutex> guard(upper_lists_lock(row));
    const auto list = index.neighbors(rows, row, layer);
    const std::size_t n = std::min(list.size(), MAX_LIST);
    std::copy_n(list.begin(), n, out);
    return n;
}

void read_list(const HNSWIndex& index, const RowStore& rows, std::uint32_t row, std::size_t layer,
               std::vector<std::uint32_t>& out) {
    std::uint32_t list[MAX_LIST];
    const std::size_t n = copy_list(index, rows, row, layer, list);
    out.assign(list, list + n);
}

std::vector<std::uint32_t>* upper_list(HNSWIndex& index, std::uint32_t row, std::size_t layer) {
    const std::uint32_t handle = index.upper_of[row];
    if (handle == 0) return nullptr;
    auto& layers = index.upper[handle - 1].layers;
    return layers.size() < layer ? nullptr : &layers[layer - 1];
}

// A walk asks for a row's lines this many distances before it measures the
// row. Asking for every listed row at once, a dozen lines each at 384
// dimensions, is more than a core keeps in flight: the first distances then
// waited behind the last rows' lines (measured: 10% more queries per second
// on 384-d text embeddings, 6% on 1,000,000 x 128).
constexpr std::size_t ROWS_AHEAD = 4;

// Asks for every line of a row's layer-0 list.
inline void prefetch_list(const RowStore& rows, std::uint32_t row) {
    const char* start = reinterpret_cast<const char*>(rows.prefix(row));
    for (std::size_t offset = 0; offset < RowStore::PREFIX_WORDS * sizeof(std::uint32_t); offset += 64) {
        __builtin_prefetch(start + offset);
    }
}

// Greedy walk on an upper layer: move to the nearest listed neighbour while
// it is strictly nearer.
void greedy(const HNSWIndex& index, const RowStore& rows, const Probe& probe, std::size_t layer, std::uint32_t& cur,
            float& cur_d) {
    std::uint32_t list[MAX_LIST];
    for (bool moved = true; moved;) {
        moved = false;
        const std::size_t count = copy_list(index, rows, cur, layer, list);
        // Rows asked for a few distances ahead, as in search_layer.
        for (std::size_t i = 0; i < std::min(count, ROWS_AHEAD); ++i) probe.prefetch(list[i]);
        for (std::size_t i = 0; i < count; ++i) {
            if (i + ROWS_AHEAD < count) probe.prefetch(list[i + ROWS_AHEAD]);
            const std::uint32_t n = list[i];
            if (!is_node(index, n)) continue;
            const float d = probe.to(n);
            if (d < cur_d) {
                cur_d = d;
                cur = n;
                moved = true;
            }
        }
    }
}

// Marks the unvisited nodes of a list visited and measures them with
// `measure`, in chunks: first the unvisited nodes, then their distances,
// each row asked for ROWS_AHEAD distances before it is measured. Returns
// false once more than `budget` nodes were visited.
template <class Measure>
inline bool visit_list(std::span<const std::uint32_t> list, std::uint16_t* visited, std::uint16_t epoch,
                       const Probe& probe, std::size_t& visits, std::size_t budget, Measure&& measure) {
    constexpr std::size_t CHUNK = 64;
    std::uint32_t fresh[CHUNK];
    for (std::size_t begin = 0; begin < list.size(); begin += CHUNK) {
        const std::size_t end = std::min(list.size(), begin + CHUNK);
        for (std::size_t j = begin; j < end; ++j) __builtin_prefetch(visited + list[j]);
        std::size_t count = 0;
        for (std::size_t j = begin; j < end; ++j) {
            const std::uint32_t n = list[j];
            if (visited[n] == epoch) continue;
            visited[n] = epoch;
            if (++visits > budget) return false;
            if (count < ROWS_AHEAD) probe.prefetch(n);
            fresh[count++] = n;
        }
        for (std::size_t j = 0; j < count; ++j) {
            if (j + ROWS_AHEAD < count) probe.prefetch(fresh[j + ROWS_AHEAD]);
            measure(fresh[j]);
        }
    }
    return true;
}

// Pushes onto a bounded best list (a max-heap of at most `ef`); returns
// the farthest kept once the list is full, else INF.
inline float keep_best(std::vector<Candidate>& best, std::size_t ef, Candidate c) {
    best.push_back(c);
    std::push_heap(best.begin(), best.end(), nearer);
    if (best.size() > ef) {
        std::pop_heap(best.begin(), best.end(), nearer);
        best.pop_back();
    }
    return best.size() >= ef ? best.front().d : INF;
}

// search_layer in two orders (see graph.hpp). The graph links by cosine:
// the nodes nearest the query by angle lead through the region the
// metric's best lie in, though many of them are too short to be results,
// so a walk that expands only the nearest by the metric misses the ways
// between. Expanding in turn by both finds more of the metric's
// neighbours for the work (measured, 50,000 raw text embeddings:
// Euclidean recall@10 0.882 keeping 16 by distance and 64 by angle,
// against 0.826 keeping 64 by distance alone, at the same rate; dot
// product 0.922 keeping 16 + 64 against 0.936 keeping 96, at 1.3x).
// Both orders share one visited set; a node the metric's bound rules out
// may still be expanded by angle, and a node both orders reach is
// expanded by each (the second time its neighbours are all visited).
// A dot-product walk on rows of unequal lengths also measures the tall
// nodes (hnsw.hpp) of each node it expands, whichever order expands it
// (measured, 100,000 clustered vectors of log-normal lengths: recall@10
// 0.59 -> 0.92 at breadth 10 and 0.86 -> 0.99 at 32, at the same queries
// per second; 50,000 raw text embeddings: 0.92 -> 0.95 at 32. With two
// tall nodes each, measuring them in the metric's order only found 0.81
// and 0.96 on the clustered vectors, in both orders 0.86 and 0.98).
bool search_layer_two_orders(const HNSWIndex& index, const RowStore& rows, const Probe& probe, std::uint32_t start,
                             const LayerSearch& search, Scratch& scratch, std::span<const std::uint32_t> more_starts) {
    scratch.begin(index.levels.size());
    auto& candidates = scratch.candidates;
    auto& results = scratch.results;
    auto& by_angle = scratch.by_angle;
    auto& angle_best = scratch.angle_best;
    candidates.clear();
    results.clear();
    by_angle.clear();
    angle_best.clear();
    std::uint16_t* const visited = scratch.visited.data();
    const std::uint16_t epoch = scratch.epoch;
    const std::uint32_t* const tenant_of = search.tenant == 0 ? nullptr : rows.tenant.data();
    float bound = INF;
    float angle_bound = INF;
    auto measure = [&](std::uint32_t n) {
        if (!is_node(index, n)) return;  // a list may name a row whose node is gone
        float angle;
        const float d = probe.to(n, angle);
        if (d < bound) {
            candidates.push_back({d, n});
            std::push_heap(candidates.begin(), candidates.end(), farther);
            // A tenant's walk passes through other nodes but keeps only its own.
            if (tenant_of == nullptr || tenant_of[n] == search.tenant) bound = keep_best(results, search.ef, {d, n});
        }
        if (angle < angle_bound) {
            by_angle.push_back({angle, n});
            std::push_heap(by_angle.begin(), by_angle.end(), farther);
            angle_bound = keep_best(angle_best, search.angle_ef, {angle, n});
        }
    };
    visited[start] = epoch;
    measure(start);
    for (const std::uint32_t r : more_starts) {
        if (visited[r] == epoch) continue;
        visited[r] = epoch;
        measure(r);
    }
    std::size_t visits = 1;
    for (bool metric_turn = true;; metric_turn = !metric_turn) {
        const bool metric_open = !candidates.empty() && !(candidates.front().d > bound);
        const bool angle_open = !by_angle.empty() && !(by_angle.front().d > angle_bound);
        if (!metric_open && !angle_open) break;
        const bool by_metric = (metric_turn && metric_open) || !angle_open;
        auto& heap = by_metric ? candidates : by_angle;
        const std::uint32_t row = heap.front().row;
        std::pop_heap(heap.begin(), heap.end(), farther);
        heap.pop_back();
        // The other order's next list, most likely the next expanded, loads meanwhile.
        const auto& next = by_metric ? by_angle : candidates;
        if (!next.empty()) prefetch_list(rows, next.front().row);
        std::uint32_t list_words[MAX_LIST + TALL];
        std::size_t count = copy_list(index, rows, row, 0, list_words);
        if (search.tall != nullptr) {
            for (std::size_t i = 0; i < TALL; ++i) {
                const std::uint32_t t = __atomic_load_n(search.tall + std::size_t{row} * TALL + i, __ATOMIC_RELAXED);
                if (t == NO_ROW) break;
                list_words[count++] = t;
            }
        }
        const std::span<const std::uint32_t> list(list_words, count);
        if (!visit_list(list, visited, epoch, probe, visits, search.visit_budget, measure)) return false;
    }
    return true;
}

// Best-first search of one layer from `start`. Leaves the results in
// scratch.results as a max-heap; returns false if the visit budget ran out.
bool search_layer(const HNSWIndex& index, const RowStore& rows, const Probe& probe, std::uint32_t start, float start_d,
                  const LayerSearch& search, Scratch& scratch, std::span<const std::uint32_t> more_starts) {
    if (two_orders(search)) return search_layer_two_orders(index, rows, probe, start, search, scratch, more_starts);
    // Rows below the graph's per-row arrays: the bound does not move while
    // another thread adds rows beside this walk.
    scratch.begin(index.levels.size());
    auto& candidates = scratch.candidates;
    auto& results = scratch.results;
    candidates.clear();
    results.clear();
    // The visited stamps in locals: the scratch is thread-local, and reaching
    // it through its address inside the loop costs a call per neighbour.
    std::uint16_t* const visited = scratch.visited.data();
    const std::uint16_t epoch = scratch.epoch;
    const std::uint32_t* const tenant_of = search.tenant == 0 ? nullptr : rows.tenant.data();
    auto keep = [&](std::uint32_t r) {
        return r != search.exclude && (search.tenant == 0 || tenant_of[r] == search.tenant);
    };
    float bound = INF;
    // Takes a node to expand later and, if it may be a result, among the
    // best `ef` results found so far.
    auto offer = [&](float d, std::uint32_t n) {
        candidates.push_back({d, n});
        std::push_heap(candidates.begin(), candidates.end(), farther);
        if (!keep(n)) return;
        bound = keep_best(results, search.ef, {d, n});
    };
    visited[start] = epoch;
    offer(start_d, start);
    for (const std::uint32_t r : more_starts) {
        if (visited[r] == epoch) continue;
        visited[r] = epoch;
        offer(probe.to(r), r);
    }
    std::size_t visits = 1;
    auto measure = [&](std::uint32_t n) {
        // A list may name a row whose node is gone.
        if (!is_node(index, n)) return;
        const float d = probe.to(n);
        if (results.size() >= search.ef && !(d < results.front().d)) return;
        offer(d, n);
    };
    while (!candidates.empty()) {
        const Candidate c = candidates.front();
        if (c.d > bound) break;
        std::pop_heap(candidates.begin(), candidates.end(), farther);
        candidates.pop_back();
        // The list of the next node to expand, most likely, loads meanwhile.
        if (!candidates.empty()) prefetch_list(rows, candidates.front().row);
        std::uint32_t list_words[MAX_LIST];
        const std::span<const std::uint32_t> list(list_words, copy_list(index, rows, c.row, search.layer, list_words));
        if (!visit_list(list, visited, epoch, probe, visits, search.visit_budget, measure)) return false;
    }
    return true;
}

// Gives every node a parent along layer 0, breadth first from the entry
// point, one level of the search at a time. A level's rows are expanded in
// row order (its frontier is a bitmap): at a million rows the lists are
// then read nearly front to back, where a queue's order is all over the
// rows and each list cost a cache and page-table miss (a fifth of a load's
// time). `bits` holds the two frontiers (room made by the caller where
// nothing may allocate). Returns the number of nodes reached (the entry
// included).
std::size_t assign_parents(HNSWIndex& index, const RowStore& rows, std::vector<std::uint64_t>& bits) {
    constexpr std::size_t BATCH = 256;
    constexpr std::size_t PREFETCH_AHEAD = 16;
    const std::size_t size = index.levels.size();
    for (std::uint32_t row = 0; row < size; ++row) index.parent0[row] = NO_ROW;
    if (index.entry_row == NO_ROW) return 0;
    const std::size_t words = frontier_words(size);
    bits.assign(2 * words, 0);
    std::uint64_t* frontier = bits.data();
    std::uint64_t* next = frontier + words;
    frontier[index.entry_row / 64] |= std::uint64_t{1} << (index.entry_row % 64);
    std::size_t reached = 1;
    std::uint32_t batch[BATCH];
    auto expand = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (i + PREFETCH_AHEAD < count) prefetch_list(rows, batch[i + PREFETCH_AHEAD]);
            const std::uint32_t row = batch[i];
            const auto list = index.neighbors(rows, row, 0);
            for (std::uint32_t n : list) __builtin_prefetch(index.parent0.data() + n);
            for (std::uint32_t n : list) {
                // A row's parent doubles as its "reached" mark.
                if (n == index.entry_row || !is_node(index, n) || index.parent0[n] != NO_ROW) continue;
                index.parent0[n] = row;
                next[n / 64] |= std::uint64_t{1} << (n % 64);
                ++reached;
            }
        }
    };
    for (bool more = true; more;) {
        more = false;
        std::size_t count = 0;
        for (std::size_t w = 0; w < words; ++w) {
            for (std::uint64_t set = frontier[w]; set != 0; set &= set - 1) {
                batch[count++] = static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(set)));
                if (count == BATCH) {
                    expand(count);
                    count = 0;
                }
            }
            frontier[w] = 0;
        }
        expand(count);
        for (std::size_t w = 0; w < words; ++w) more |= next[w] != 0;
        std::swap(frontier, next);
    }
    return reached;
}

}  // namespace graph

using namespace graph;

// Layer-1 nodes per node an unfiltered walk keeps on layer 1, and the most
// it keeps. A greedy step on layer 1 ends at one node; on large graphs of
// clustered data that node is often a local best far from the query's true
// neighbours, and layer 0 then starts in the wrong place. Keeping the best
// few layer-1 nodes and starting layer 0 from all of them finds the way
// out (measured at 1,000,000 x 128, 62,000 nodes on layer 1, keeping 15:
// recall at breadth 32 from 0.55 to 0.73 at the same rate, about 1.3x the
// queries per second at equal recall 0.82, 1.14x at 0.88). On smaller
// graphs the step lands well already and the extra distances only cost
// (3% to 18% on 50,000 text embeddings at a fixed 8), so the number grows
// with layer 1: none below 8,192 nodes there, about 130,000 points.
constexpr std::size_t LAYER1_NODES_PER_KEPT = 4096;
constexpr std::size_t LAYER1_MOST_KEPT = 64;

WalkStart walk_start(const HNSWIndex& index, core::DistanceMetric metric) {
    WalkStart start;
    start.entry = index.entry_row;
    start.top = index.top_layer();
    const std::size_t layer1_nodes = index.upper.size() - index.free_upper.size();
    start.layer1_breadth = std::clamp<std::size_t>(layer1_nodes / LAYER1_NODES_PER_KEPT, 1, LAYER1_MOST_KEPT);
    if (metric == core::DistanceMetric::DotProduct) {
        start.hubs = index.hubs;
        start.hub_count = index.hub_count;
        if (keeps_talls(index)) start.tall = index.tall.data();
    }
    return start;
}

bool search_knn(const HNSWIndex& index, const RowStore& rows, const GraphQuery& query, const WalkStart& start,
                std::vector<std::uint32_t>& out) {
    // The graph links by cosine. A Euclidean query descends the upper layers
    // by cosine too: their few long links lead to the right direction, where
    // the search of layer 0 then finds the right lengths (descending by
    // distance stops early at nodes of about the query's length). A
    // dot-product query starts layer 0 also from the nodes of largest norm,
    // and meets the longest near each node it expands (its tall nodes): long
    // vectors win that metric for many queries, whatever their direction,
    // and a walk by direction alone rarely reaches them.
    const Probe probe(rows, query.query, query.inv_norm, query.metric);
    const bool euclidean = query.metric == core::DistanceMetric::Euclidean;
    const Probe descent(rows, query.query, query.inv_norm, euclidean ? core::DistanceMetric::Cosine : query.metric);
    std::uint32_t cur = start.entry;
    float cur_d = descent.to(cur);
    for (std::size_t layer = start.top; layer >= 2; --layer) greedy(index, rows, descent, layer, cur, cur_d);

    // Layer 0 starts from the layer-1 nodes kept (walk_start says how many)
    // and, for a dot product, from the hubs too. A tenant's walk keeps the
    // greedy step: at a million points the kept nodes lifted a tenant of
    // half the points at the least breadth, but not at wider ones, and cost
    // a tenant of a fifth some recall.
    Scratch& scratch = thread_scratch();
    std::uint32_t starts[LAYER1_MOST_KEPT + HUBS];
    std::size_t start_count = 0;
    if (start.top >= 1 && start.layer1_breadth > 1 && query.tenant == 0) {
        const LayerSearch layer1{start.layer1_breadth, 1, NO_ROW, 0, SIZE_MAX};
        search_layer(index, rows, descent, cur, cur_d, layer1, scratch);
        for (const Candidate& c : scratch.results) {
            if (c.row != cur) starts[start_count++] = c.row;
        }
    } else if (start.top >= 1) {
        greedy(index, rows, descent, 1, cur, cur_d);
    }
    for (std::size_t i = 0; i < start.hub_count; ++i) starts[start_count++] = start.hubs[i];
    LayerSearch search{std::max<std::size_t>(query.breadth, 1), 0, NO_ROW, query.tenant, query.visit_budget};
    search.angle_ef = query.angle_breadth;
    search.tall = start.tall;
    if (euclidean && !two_orders(search)) cur_d = probe.to(cur);
    if (!search_layer(index, rows, probe, cur, cur_d, search, scratch, {starts, start_count})) return false;
    auto& results = scratch.results;
    std::sort_heap(results.begin(), results.end(), nearer);
    for (const Candidate& c : results) out.push_back(c.row);
    return true;
}

}  // namespace karnoxel::index
