#include "index/hnsw.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/kernels.hpp"

namespace karnoxel::index {
namespace {

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
    std::vector<Candidate> pool;         // selection input
    std::vector<Candidate> chosen;       // selection output
    std::vector<std::uint32_t> listed;   // a copy of the list being changed
    std::vector<std::uint32_t> links;    // a copy of a removed node's list
    std::vector<std::uint32_t> orphans;  // nodes whose parent was removed
    std::vector<std::uint32_t> queue;    // breadth-first order of the parent tree

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
    }
};

// The calling thread's scratch. Not inlined on purpose: callers then hold a
// plain reference, instead of the compiler propagating the thread-local into
// the walks and recomputing its address (a __tls_get_addr call) on every use.
__attribute__((noinline)) Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

// Cosine distances from one vector to the rows, for steering.
class Probe {
public:
    Probe(const RowStore& rows, core::FloatSpan vector, float inv_norm)
        : dot_(core::fast_kernels().dot),
          q_(vector.data()),
          dim_(rows.dim),
          inv_(inv_norm),
          words_(rows.words.data()),
          stride_(rows.stride) {}

    // Prefetches a whole row (its layer-0 list and its vector), so the loads
    // of several rows overlap.
    void prefetch(std::uint32_t row) const {
        const char* start = reinterpret_cast<const char*>(words_ + row * stride_);
        for (std::size_t offset = 0; offset < stride_ * sizeof(float); offset += 64) __builtin_prefetch(start + offset);
    }

    float to(std::uint32_t row) const {
        const float* v = reinterpret_cast<const float*>(words_ + row * stride_ + RowStore::PREFIX_WORDS);
        const float dot = dot_(q_, v, dim_);
        const float inv_b = v[dim_];  // the inverse norm after the vector: read last, its line is loaded by now
        const float d = 1.0f - dot * inv_ * inv_b;
        return d == d ? d : core::MAX_DISTANCE;  // NaN steers nowhere
    }

private:
    core::PairKernel dot_;
    const float* q_;
    std::uint32_t dim_;
    float inv_;
    const std::uint32_t* words_;
    std::size_t stride_;
};

Probe probe_for_row(const RowStore& rows, std::uint32_t row) {
    return Probe(rows, {rows.vector(row), rows.dim}, rows.inv_norm(row));
}

// Whether a row holds a node. Lists may name rows whose node is gone (a
// node that left links only to it from the nodes it listed); walks and
// changes pass over those.
bool is_node(const HNSWIndex& index, std::uint32_t row) {
    return index.levels[row] != NO_NODE;
}

void read_list(const HNSWIndex& index, const RowStore& rows, std::uint32_t row, std::size_t layer,
               std::vector<std::uint32_t>& out) {
    const auto list = index.neighbors(rows, row, layer);
    out.assign(list.begin(), list.end());
}

std::vector<std::uint32_t>* upper_list(HNSWIndex& index, std::uint32_t row, std::size_t layer) {
    const std::uint32_t handle = index.upper_of[row];
    if (handle == 0) return nullptr;
    auto& layers = index.upper[handle - 1].layers;
    return layers.size() < layer ? nullptr : &layers[layer - 1];
}

// Replaces a node's list on a layer. The list fits: layer-0 lists in the
// row's prefix, upper lists within the room made when the node was.
void write_list(HNSWIndex& index, RowStore& rows, std::uint32_t row, std::size_t layer,
                const std::vector<Candidate>& list) {
    if (layer == 0) {
        std::uint32_t* prefix = rows.prefix(row);
        prefix[0] = static_cast<std::uint32_t>(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) prefix[1 + i] = list[i].row;
        return;
    }
    if (auto* target = upper_list(index, row, layer)) {
        target->clear();
        for (const Candidate& c : list) target->push_back(c.row);
    }
}

std::size_t capacity(const HNSWIndex& index, std::size_t layer) {
    return layer == 0 ? index.layer0_cap : index.upper_cap;
}

// Keeps a candidate only if it is closer to the base than to every
// candidate already kept: spreads the links over directions instead of
// spending them all on one dense cluster. `pool` is sorted nearest first.
void select_neighbors(const RowStore& rows, const std::vector<Candidate>& pool, std::size_t limit,
                      std::vector<Candidate>& chosen) {
    chosen.clear();
    for (const Candidate& c : pool) {
        if (chosen.size() >= limit) break;
        const Probe from_c = probe_for_row(rows, c.row);
        bool diverse = true;
        for (const Candidate& kept : chosen) {
            if (from_c.to(kept.row) < c.d) {
                diverse = false;
                break;
            }
        }
        if (diverse) chosen.push_back(c);
    }
}

bool contains(const std::vector<Candidate>& list, std::uint32_t row) {
    return std::any_of(list.begin(), list.end(), [&](const Candidate& c) { return c.row == row; });
}

// Puts every required candidate of `pool` into `chosen`: appended while
// there is room, else in place of the farthest chosen one that is not
// required. Leaves `chosen` sorted nearest first.
template <class Required>
void include_required(const std::vector<Candidate>& pool, std::size_t limit, Required&& required,
                      std::vector<Candidate>& chosen) {
    for (const Candidate& c : pool) {
        if (!required(c.row) || contains(chosen, c.row)) continue;
        if (chosen.size() < limit) {
            chosen.push_back(c);
            continue;
        }
        for (std::size_t i = chosen.size(); i-- > 0;) {
            if (!required(chosen[i].row)) {
                chosen[i] = c;
                break;
            }
        }
    }
    std::sort(chosen.begin(), chosen.end(), nearer);
}

// Layer 0 carries a spanning tree rooted at the entry point: every other
// node has a parent whose list names it, and a parent never drops its child.
// So pruning can reorganise links freely and no node is ever cut off.
bool needs_parent(const HNSWIndex& index, std::uint32_t row) {
    return row != index.entry_row && index.parent0[row] == NO_ROW;
}

// Adds the link node -> target on a layer and tells whether the target is
// listed afterwards. A full list is shrunk with the selection heuristic over
// its members and the target; on layer 0 the node's children stay, and a
// target without a parent is kept if any non-child can make room for it (the
// node then becomes its parent).
bool add_link(HNSWIndex& index, RowStore& rows, std::uint32_t node, std::uint32_t target, std::size_t layer,
              Scratch& scratch) {
    if (node == target || !is_node(index, node) || (layer > 0 && upper_list(index, node, layer) == nullptr)) {
        return false;
    }
    std::vector<std::uint32_t>& current = scratch.listed;
    read_list(index, rows, node, layer, current);
    const bool adopt = layer == 0 && needs_parent(index, target);
    if (std::find(current.begin(), current.end(), target) != current.end()) {
        if (adopt) index.parent0[target] = node;
        return true;
    }
    const std::size_t cap = capacity(index, layer);
    if (current.size() < cap) {
        if (layer == 0) {
            std::uint32_t* prefix = rows.prefix(node);
            prefix[1 + prefix[0]] = target;
            ++prefix[0];
        } else {
            upper_list(index, node, layer)->push_back(target);  // within the room made with the list
        }
        if (adopt) index.parent0[target] = node;
        return true;
    }
    auto& pool = scratch.pool;
    pool.clear();
    const Probe from_node = probe_for_row(rows, node);
    for (std::uint32_t s : current) {
        if (s != node && is_node(index, s) && !contains(pool, s)) pool.push_back({from_node.to(s), s});
    }
    pool.push_back({from_node.to(target), target});
    std::sort(pool.begin(), pool.end(), nearer);
    select_neighbors(rows, pool, cap, scratch.chosen);
    if (layer == 0) {
        // Children first: they must stay. Then the target, if it needs a parent
        // and a non-child can make room.
        auto child = [&](std::uint32_t s) { return index.parent0[s] == node; };
        include_required(pool, cap, child, scratch.chosen);
        if (adopt) {
            include_required(
                pool, cap, [&](std::uint32_t s) { return child(s) || s == target; }, scratch.chosen);
        }
    }
    write_list(index, rows, node, layer, scratch.chosen);
    const bool listed = contains(scratch.chosen, target);
    if (adopt && listed) index.parent0[target] = node;
    return listed;
}

// Greedy walk on an upper layer: move to the nearest listed neighbour while
// it is strictly nearer.
void greedy(const HNSWIndex& index, const RowStore& rows, const Probe& probe, std::size_t layer, std::uint32_t& cur,
            float& cur_d) {
    for (bool moved = true; moved;) {
        moved = false;
        const auto list = index.neighbors(rows, cur, layer);
        for (std::uint32_t n : list) probe.prefetch(n);
        for (std::uint32_t n : list) {
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

struct LayerSearch {
    std::size_t ef;  // results kept
    std::size_t layer;
    std::uint32_t exclude;     // walked through but never a result (the node being linked)
    std::uint32_t tenant;      // 0: every node may be a result
    std::size_t visit_budget;  // SIZE_MAX: unlimited
};

// Best-first search of one layer from `start`. Leaves the results in
// scratch.results as a max-heap; returns false if the visit budget ran out.
bool search_layer(const HNSWIndex& index, const RowStore& rows, const Probe& probe, std::uint32_t start, float start_d,
                  const LayerSearch& search, Scratch& scratch) {
    scratch.begin(rows.size());
    auto& candidates = scratch.candidates;
    auto& results = scratch.results;
    candidates.clear();
    results.clear();
    // The visited stamps in locals: the scratch is thread-local, and reaching
    // it through its address inside the loop costs a call per neighbour.
    std::uint16_t* const visited = scratch.visited.data();
    const std::uint16_t epoch = scratch.epoch;
    const std::uint32_t* const tenant_of = rows.tenant.data();
    auto keep = [&](std::uint32_t r) {
        return r != search.exclude && (search.tenant == 0 || tenant_of[r] == search.tenant);
    };
    visited[start] = epoch;
    candidates.push_back({start_d, start});
    if (keep(start)) results.push_back({start_d, start});
    float bound = results.size() >= search.ef ? results.front().d : INF;
    std::size_t visits = 1;
    while (!candidates.empty()) {
        const Candidate c = candidates.front();
        if (c.d > bound) break;
        std::pop_heap(candidates.begin(), candidates.end(), farther);
        candidates.pop_back();
        const auto list = index.neighbors(rows, c.row, search.layer);
        // First the unvisited neighbours, with their rows prefetched together;
        // then their distances.
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
                if (++visits > search.visit_budget) return false;
                probe.prefetch(n);
                fresh[count++] = n;
            }
            for (std::size_t j = 0; j < count; ++j) {
                const std::uint32_t n = fresh[j];
                // A list may name a row whose node is gone. On layer 0 the row's
                // own prefix says so, in the line just prefetched.
                if (search.layer == 0 ? rows.prefix(n)[0] == FREE_LIST : !is_node(index, n)) continue;
                const float d = probe.to(n);
                if (results.size() >= search.ef && !(d < results.front().d)) continue;
                candidates.push_back({d, n});
                std::push_heap(candidates.begin(), candidates.end(), farther);
                if (keep(n)) {
                    results.push_back({d, n});
                    std::push_heap(results.begin(), results.end(), nearer);
                    if (results.size() > search.ef) {
                        std::pop_heap(results.begin(), results.end(), nearer);
                        results.pop_back();
                    }
                    if (results.size() >= search.ef) bound = results.front().d;
                }
            }
        }
    }
    return true;
}

// Node n's list on a layer names `gone`: swap that entry for the nearest of
// `candidates` (rows valid on the layer) that n lacks, or drop it when there
// is none. Keeps n's degree and its neighbourhood connected.
void swap_link(HNSWIndex& index, RowStore& rows, std::uint32_t n, std::size_t layer, std::uint32_t gone,
               const std::vector<std::uint32_t>& candidates, Scratch& scratch) {
    std::vector<std::uint32_t>& list = scratch.listed;
    read_list(index, rows, n, layer, list);
    if (std::find(list.begin(), list.end(), gone) == list.end()) return;
    const Probe from_n = probe_for_row(rows, n);
    std::uint32_t best = NO_ROW;
    float best_d = INF;
    for (std::uint32_t s : candidates) {
        if (s == n || s == gone || !is_node(index, s)) continue;
        if (std::find(list.begin(), list.end(), s) != list.end()) continue;
        const float d = from_n.to(s);
        if (d < best_d) {
            best_d = d;
            best = s;
        }
    }
    auto& chosen = scratch.chosen;
    chosen.clear();
    for (std::uint32_t s : list) {
        if (s != gone) {
            chosen.push_back({0.0f, s});
        } else if (best != NO_ROW) {
            chosen.push_back({best_d, best});
        }
    }
    write_list(index, rows, n, layer, chosen);
}

// After a node moved, each old neighbour that linked to it swaps that link
// for the nearest of the moved node's old links it lacks, so the old
// neighbourhood keeps its connections and its degree. A link to a child
// stays: the moved node is its parent.
void repair_old_neighbourhood(HNSWIndex& index, RowStore& rows, std::uint32_t moved,
                              const std::vector<std::uint32_t>& old_links, Scratch& scratch) {
    for (std::uint32_t n : old_links) {
        if (n == moved || !is_node(index, n) || index.parent0[moved] == n) continue;
        swap_link(index, rows, n, 0, moved, old_links, scratch);
    }
}

// Whether `row` lies in the subtree of `ancestor` (walks up the parent tree).
bool descends_from(const HNSWIndex& index, std::uint32_t row, std::uint32_t ancestor) {
    for (std::size_t steps = 0; row != NO_ROW && steps <= index.node_count; ++steps) {
        if (row == ancestor) return true;
        row = index.parent0[row];
    }
    return false;
}

// Finds a new parent for a node whose parent was removed: first the removed
// node's ancestors (never in the orphan's own subtree), then the orphan's
// own neighbours outside its subtree. Gives up quietly if every candidate's
// list is full of its own children; a later link then adopts it.
void adopt_orphan(HNSWIndex& index, RowStore& rows, std::uint32_t orphan, std::uint32_t ancestor, Scratch& scratch) {
    constexpr int MAX_ANCESTORS = 8;
    for (int tried = 0; ancestor != NO_ROW && tried < MAX_ANCESTORS; ++tried, ancestor = index.parent0[ancestor]) {
        add_link(index, rows, ancestor, orphan, 0, scratch);
        if (!needs_parent(index, orphan)) return;
    }
    const auto list = index.neighbors(rows, orphan, 0);
    for (std::size_t i = 0; i < list.size() && needs_parent(index, orphan); ++i) {
        const std::uint32_t c = list[i];
        if (is_node(index, c) && !descends_from(index, c, orphan)) add_link(index, rows, c, orphan, 0, scratch);
    }
}

// Gives every node a parent along layer 0, breadth first from the entry
// point. Returns the number of nodes reached (the entry included).
std::size_t assign_parents(HNSWIndex& index, const RowStore& rows, std::vector<std::uint32_t>& queue) {
    for (std::uint32_t row = 0; row < index.levels.size(); ++row) index.parent0[row] = NO_ROW;
    queue.clear();
    if (index.entry_row == NO_ROW) return 0;
    queue.push_back(index.entry_row);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t row = queue[head];
        if (head + 1 < queue.size()) __builtin_prefetch(rows.prefix(queue[head + 1]));
        const auto list = index.neighbors(rows, row, 0);
        for (std::uint32_t n : list) __builtin_prefetch(index.parent0.data() + n);
        for (std::uint32_t n : list) {
            // A row's parent doubles as its "reached" mark.
            if (n == index.entry_row || !is_node(index, n) || index.parent0[n] != NO_ROW) continue;
            index.parent0[n] = row;
            queue.push_back(n);
        }
    }
    return queue.size();
}

// After the entry point was removed: the tree is formed anew from the new
// entry, and nodes it no longer reaches are adopted by a reached neighbour
// (and the nodes behind them reached in turn), until nothing changes.
void regrow_parents(HNSWIndex& index, RowStore& rows, Scratch& scratch) {
    std::vector<std::uint32_t>& queue = scratch.queue;
    std::size_t reached = assign_parents(index, rows, queue);
    auto is_reached = [&](std::uint32_t r) { return r == index.entry_row || index.parent0[r] != NO_ROW; };
    for (bool progress = true; progress && reached < index.node_count;) {
        progress = false;
        for (std::uint32_t x = 0; x < index.levels.size(); ++x) {
            if (!is_node(index, x) || is_reached(x)) continue;
            const auto list = index.neighbors(rows, x, 0);
            for (std::size_t i = 0; i < list.size() && !is_reached(x); ++i) {
                if (is_node(index, list[i]) && is_reached(list[i])) add_link(index, rows, list[i], x, 0, scratch);
            }
            if (!is_reached(x)) continue;
            progress = true;
            // Reach what lies behind the adopted node.
            std::size_t head = queue.size();
            queue.push_back(x);
            ++reached;
            for (; head < queue.size(); ++head) {
                for (std::uint32_t n : index.neighbors(rows, queue[head], 0)) {
                    if (!is_node(index, n) || is_reached(n)) continue;
                    index.parent0[n] = queue[head];
                    queue.push_back(n);
                    ++reached;
                }
            }
        }
    }
}

void resize_nodes(HNSWIndex& index, std::size_t rows) {
    if (index.levels.size() >= rows) return;
    index.levels.resize(rows, NO_NODE);  // within the room reserve_nodes made
    index.parent0.resize(rows, NO_ROW);
    index.upper_of.resize(rows, 0);
}

void make_node(HNSWIndex& index, RowStore& rows, InsertPlan& plan) {
    const std::uint32_t row = plan.row;
    index.levels[row] = plan.level;
    index.parent0[row] = NO_ROW;
    rows.prefix(row)[0] = 0;
    if (plan.level > 0) {
        if (!index.free_upper.empty()) {
            const std::uint32_t handle = index.free_upper.back();
            index.free_upper.pop_back();
            std::swap(index.upper[handle], plan.upper);
            index.upper_of[row] = handle + 1;
        } else {
            index.upper.push_back(std::move(plan.upper));  // room reserved by plan_insert
            index.upper_of[row] = static_cast<std::uint32_t>(index.upper.size());
        }
    }
    ++index.node_count;
}

}  // namespace

HNSWIndex::HNSWIndex(std::uint64_t m_, std::uint64_t ef_construction_, std::uint64_t ef_search_)
    : m(m_), ef_construction(ef_construction_), ef_search(ef_search_) {
    upper_cap = static_cast<std::size_t>(std::clamp(m, MIN_LINKS, MAX_LINKS));
    layer0_cap = 2 * upper_cap;
}

std::uint64_t level_from_bits(std::uint64_t bits, std::uint64_t m) {
    const double u = static_cast<double>(bits >> 11) * 0x1.0p-53;
    if (u == 0.0) return MAX_LAYERS - 1;
    const double base = static_cast<double>(std::clamp(m, MIN_LINKS, MAX_LINKS));
    const double g = -1.0 / std::log(base);
    const double f = g * std::log(u);
    if (!(f >= 0.0)) return 0;
    return std::min<std::uint64_t>(f >= 16.0 ? 16 : static_cast<std::uint64_t>(f), MAX_LAYERS - 1);
}

void reserve_nodes(HNSWIndex& index, std::size_t rows) {
    core::reserve_for(index.levels, rows);
    core::reserve_for(index.parent0, rows);
    core::reserve_for(index.upper_of, rows);
}

void plan_insert(HNSWIndex& index, const RowStore& rows, core::FloatSpan vector, float inv_norm, std::uint32_t row,
                 std::uint64_t level_bits, InsertPlan& plan) {
    Scratch& scratch = thread_scratch();
    scratch.reserve_changes(index.layer0_cap);
    reserve_nodes(index, rows.size() + 1);
    plan.row = row;
    plan.relink = row != NO_ROW && index.has_node(row);
    plan.level = static_cast<std::uint8_t>(plan.relink ? index.levels[row] : level_from_bits(level_bits, index.m));
    plan.chosen.resize(MAX_LAYERS);
    for (auto& list : plan.chosen) list.clear();
    plan.nearest.clear();
    plan.old_links.clear();
    plan.upper.layers.clear();
    if (!plan.relink && plan.level > 0) {
        plan.upper.layers.resize(plan.level);
        for (auto& list : plan.upper.layers) list.reserve(index.upper_cap);
        if (index.free_upper.empty()) core::reserve_for(index.upper, index.upper.size() + 1);
    }
    if (index.entry_row == NO_ROW || (plan.relink && index.node_count == 1)) return;

    const Probe probe(rows, vector, inv_norm);
    std::uint32_t cur = index.entry_row;
    float cur_d = probe.to(cur);
    const std::size_t top = static_cast<std::size_t>(std::min<std::uint64_t>(index.max_level, MAX_LAYERS - 1));
    for (std::size_t layer = top; layer > plan.level; --layer) greedy(index, rows, probe, layer, cur, cur_d);

    const std::size_t ef = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(index.ef_construction, index.upper_cap, MAX_EF_CONSTRUCTION));
    for (std::size_t layer = std::min<std::size_t>(plan.level, top);; --layer) {
        search_layer(index, rows, probe, cur, cur_d, LayerSearch{ef, layer, plan.relink ? row : NO_ROW, 0, SIZE_MAX},
                     scratch);
        auto& pool = scratch.results;
        std::sort_heap(pool.begin(), pool.end(), nearer);
        if (!pool.empty()) {
            cur = pool.front().row;
            cur_d = pool.front().d;
        }
        auto& chosen = plan.chosen[layer];
        chosen.reserve(index.layer0_cap);
        select_neighbors(rows, pool, index.upper_cap, chosen);
        if (layer == 0) {
            plan.nearest.assign(pool.begin(), pool.end());
            if (plan.relink) {
                // A relinked node keeps its children, wherever they are now.
                read_list(index, rows, row, 0, plan.old_links);
                for (std::uint32_t s : plan.old_links) {
                    if (is_node(index, s) && !contains(plan.nearest, s)) plan.nearest.push_back({probe.to(s), s});
                }
                std::sort(plan.nearest.begin(), plan.nearest.end(), nearer);
                include_required(
                    plan.nearest, index.layer0_cap, [&](std::uint32_t s) { return index.parent0[s] == row; }, chosen);
            }
            break;
        }
    }
}

void commit_insert(HNSWIndex& index, RowStore& rows, InsertPlan& plan) noexcept {
    Scratch& scratch = thread_scratch();
    const std::uint32_t row = plan.row;
    resize_nodes(index, rows.size());
    if (!plan.relink) make_node(index, rows, plan);
    if (index.entry_row == NO_ROW) {
        index.entry_row = row;
        index.max_level = plan.level;
        return;
    }
    if (index.node_count == 1) return;

    const std::size_t top = static_cast<std::size_t>(std::min<std::uint64_t>(index.max_level, MAX_LAYERS - 1));
    for (std::size_t layer = std::min<std::size_t>(plan.level, top);; --layer) {
        write_list(index, rows, row, layer, plan.chosen[layer]);
        for (const Candidate& c : plan.chosen[layer]) add_link(index, rows, c.row, row, layer, scratch);
        if (layer == 0) break;
    }
    if (plan.relink) repair_old_neighbourhood(index, rows, row, plan.old_links, scratch);
    // No chosen neighbour could adopt the node (their lists are full of
    // their own children): the nearest node that can make room adopts it.
    if (needs_parent(index, row)) {
        for (const Candidate& c : plan.nearest) {
            if (add_link(index, rows, c.row, row, 0, scratch) && !needs_parent(index, row)) break;
        }
    }
    if (!plan.relink && plan.level > index.max_level) {
        // The new top node becomes the root; the old root hangs below it.
        const std::uint32_t old_entry = index.entry_row;
        index.max_level = plan.level;
        index.entry_row = row;
        index.parent0[row] = NO_ROW;
        add_link(index, rows, row, old_entry, 0, scratch);
    }
}

void plan_remove(HNSWIndex& index, std::uint32_t row) {
    Scratch& scratch = thread_scratch();
    scratch.reserve_changes(index.layer0_cap);
    core::reserve_for(index.free_upper, index.upper.size());
    if (row == index.entry_row) scratch.queue.reserve(index.levels.size());
}

void commit_remove(HNSWIndex& index, RowStore& rows, std::uint32_t row) noexcept {
    Scratch& scratch = thread_scratch();
    const std::size_t level = std::min<std::size_t>(index.levels[row], MAX_LAYERS - 1);
    std::vector<std::uint32_t>& links = scratch.links;
    // Upper layers first, so that `links` ends as the layer-0 list.
    for (std::size_t layer = level;; --layer) {
        read_list(index, rows, row, layer, links);
        for (std::uint32_t n : links) {
            if (n != row && is_node(index, n)) swap_link(index, rows, n, layer, row, links, scratch);
        }
        if (layer == 0) break;
    }
    const std::uint32_t parent = index.parent0[row];
    if (parent != NO_ROW && std::find(links.begin(), links.end(), parent) == links.end()) {
        swap_link(index, rows, parent, 0, row, links, scratch);
    }
    auto& orphans = scratch.orphans;
    orphans.clear();
    for (std::uint32_t x : links) {
        if (x != row && is_node(index, x) && index.parent0[x] == row) {
            index.parent0[x] = NO_ROW;
            orphans.push_back(x);
        }
    }

    rows.prefix(row)[0] = FREE_LIST;
    index.levels[row] = NO_NODE;
    index.parent0[row] = NO_ROW;
    if (const std::uint32_t handle = index.upper_of[row]) {
        index.free_upper.push_back(handle - 1);  // capacity: one per entry of `upper`
        index.upper_of[row] = 0;
    }
    --index.node_count;

    if (row != index.entry_row) {
        for (std::uint32_t x : orphans) adopt_orphan(index, rows, x, parent, scratch);
        return;
    }
    // The entry point left: the highest remaining node takes its place.
    index.entry_row = NO_ROW;
    index.max_level = 0;
    for (std::uint32_t r = 0; r < index.levels.size(); ++r) {
        if (index.levels[r] != NO_NODE && (index.entry_row == NO_ROW || index.levels[r] > index.max_level)) {
            index.entry_row = r;
            index.max_level = index.levels[r];
        }
    }
    regrow_parents(index, rows, scratch);
}

bool search_knn(const HNSWIndex& index, const RowStore& rows, const GraphQuery& query,
                std::vector<std::uint32_t>& out) {
    const Probe probe(rows, query.query, query.inv_norm);
    std::uint32_t cur = index.entry_row;
    float cur_d = probe.to(cur);
    const std::size_t top = static_cast<std::size_t>(std::min<std::uint64_t>(index.max_level, MAX_LAYERS - 1));
    for (std::size_t layer = top; layer >= 1; --layer) greedy(index, rows, probe, layer, cur, cur_d);

    Scratch& scratch = thread_scratch();
    const LayerSearch search{std::max<std::size_t>(query.breadth, 1), 0, NO_ROW, query.tenant, query.visit_budget};
    if (!search_layer(index, rows, probe, cur, cur_d, search, scratch)) return false;
    auto& results = scratch.results;
    std::sort_heap(results.begin(), results.end(), nearer);
    for (const Candidate& c : results) out.push_back(c.row);
    return true;
}

// ---------------------------------------------------------------- loading

GraphBuilder::GraphBuilder(core::PointTable& table, const GraphHeader& header)
    : table_(table), header_(header), index_(header.m, header.ef_construction, header.ef_search) {
    const core::RowStore& rows = table.rows;
    index_.levels.assign(rows.size(), NO_NODE);
    index_.parent0.assign(rows.size(), NO_ROW);
    index_.upper_of.assign(rows.size(), 0);
    for (std::uint32_t row = 0; row < rows.size(); ++row) table.rows.prefix(row)[0] = FREE_LIST;
    // Keys to rows: a direct array when the keys are dense enough (sequential
    // ids are common), the table's hash map otherwise.
    std::uint64_t max_key = 0;
    for (std::uint64_t key : table.keys) max_key = std::max(max_key, key);
    if (table.slot_count() != 0 && max_key < 4 * static_cast<std::uint64_t>(table.slot_count()) + 1024) {
        direct_.assign(static_cast<std::size_t>(max_key) + 1, NO_ROW);
        for (std::uint32_t slot = 0; slot < table.slot_count(); ++slot) direct_[table.keys[slot]] = table.row_of[slot];
    }
    if (header.max_level >= MAX_LAYERS) sound_ = false;
    index_.max_level = header.max_level;
}

std::uint32_t GraphBuilder::row_of_key(std::uint64_t key) const {
    if (!direct_.empty()) return key < direct_.size() ? direct_[key] : NO_ROW;
    const std::uint32_t slot = table_.slot_of.find(key);
    return slot == core::IdMap::NONE ? NO_ROW : table_.row_of[slot];
}

void GraphBuilder::add_node(std::uint64_t key, std::uint64_t id,
                            const std::array<std::vector<std::uint64_t>, MAX_LAYERS>& lists) {
    if (!sound_) return;
    const std::uint32_t row = row_of_key(key);
    if (row == NO_ROW) return;  // no point the graph could steer by: its node is left out
    if (id != key || index_.has_node(row)) {
        sound_ = false;
        return;
    }
    std::size_t level = 0;
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
        resolved_.clear();
        for (std::uint64_t listed : lists[layer]) {
            const std::uint32_t target = row_of_key(listed);
            if (target != NO_ROW) resolved_.push_back(target);
        }
        if (resolved_.size() > capacity(index_, layer)) {
            sound_ = false;
            return;
        }
        if (layer == 0) {
            std::uint32_t* prefix = table_.rows.prefix(row);
            prefix[0] = static_cast<std::uint32_t>(resolved_.size());
            std::copy(resolved_.begin(), resolved_.end(), prefix + 1);
            continue;
        }
        if (lists[layer].empty()) continue;
        level = layer;
        if (index_.upper_of[row] == 0) {
            index_.upper.emplace_back();
            index_.upper_of[row] = static_cast<std::uint32_t>(index_.upper.size());
        }
        auto& layers = index_.upper[index_.upper_of[row] - 1].layers;
        layers.resize(layer);
        layers[layer - 1].reserve(index_.upper_cap);
        layers[layer - 1].assign(resolved_.begin(), resolved_.end());
    }
    if (level > header_.max_level) {
        sound_ = false;
        return;
    }
    index_.levels[row] = static_cast<std::uint8_t>(level);
    ++index_.node_count;
}

HNSWIndex GraphBuilder::finish(std::span<const std::uint8_t> record) {
    core::RowStore& rows = table_.rows;
    if (sound_ && rows.count == 0) {
        // Nothing to steer by: an empty graph, whatever the record named.
        HNSWIndex empty(header_.m, header_.ef_construction, header_.ef_search);
        for (std::uint32_t row = 0; row < rows.size(); ++row) rows.prefix(row)[0] = FREE_LIST;
        return empty;
    }
    if (sound_ && header_.entry_point) {
        const std::uint32_t entry = row_of_key(*header_.entry_point);
        if (entry != NO_ROW && index_.has_node(entry)) {
            index_.entry_row = entry;
            // The entry's lists may stop below the top layer (it may be alone up
            // there): its level is the graph's.
            index_.levels[entry] = static_cast<std::uint8_t>(header_.max_level);
            auto& upper = index_.upper;
            if (header_.max_level > 0) {
                if (index_.upper_of[entry] == 0) {
                    upper.emplace_back();
                    index_.upper_of[entry] = static_cast<std::uint32_t>(upper.size());
                }
                auto& layers = upper[index_.upper_of[entry] - 1].layers;
                layers.resize(static_cast<std::size_t>(header_.max_level));
            }
        }
    }
    bool sound = sound_ && index_.entry_row != NO_ROW && index_.node_count == rows.count;
    if (sound) {
        // Every node must be reachable on layer 0; this also forms the tree.
        std::vector<std::uint32_t> queue;
        queue.reserve(index_.node_count);
        sound = assign_parents(index_, rows, queue) == index_.node_count;
    }
    if (sound) {
        for (auto& lists : index_.upper) {
            for (auto& list : lists.layers) list.reserve(index_.upper_cap);
        }
        return std::move(index_);
    }
    HNSWIndex damaged(header_.m, header_.ef_construction, header_.ef_search);
    damaged.raw = std::make_unique<RawGraph>();
    damaged.raw->record.assign(record.begin(), record.end());
    return damaged;
}

}  // namespace karnoxel::index
