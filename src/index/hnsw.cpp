#include "index/hnsw.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "core/kernels.hpp"
#include "core/random.hpp"

namespace karnoxel::index {
namespace {

using core::PointTable;

constexpr float INF = std::numeric_limits<float>::infinity();

struct Candidate {
    float d;             // graph distance
    std::uint32_t slot;  // node
};
struct Farther {  // min-heap order
    bool operator()(const Candidate& a, const Candidate& b) const { return a.d > b.d; }
};
struct Nearer {  // max-heap order, and nearest-first sorting
    bool operator()(const Candidate& a, const Candidate& b) const { return a.d < b.d; }
};
constexpr Farther farther{};
constexpr Nearer nearer{};

// Per-thread working memory, reused by every walk of the thread: an
// epoch-stamped visited array (reset in O(1) until the stamp wraps) and the
// candidate and result heaps.
struct Scratch {
    std::vector<std::uint16_t> visited;  // slot -> epoch of the walk that last visited it
    std::uint16_t epoch = 0;
    std::vector<Candidate> candidates;  // min-heap: nodes still to expand
    std::vector<Candidate> results;     // max-heap: best nodes found
    std::vector<Candidate> pool;        // selection input
    std::vector<Candidate> chosen;      // selection output
    std::vector<std::uint32_t> listed;  // a copy of the list being changed

    void begin(std::size_t slots) {
        if (visited.size() < slots) visited.resize(slots, 0);
        if (++epoch == 0) {
            std::fill(visited.begin(), visited.end(), 0);
            epoch = 1;
        }
    }
};

// The calling thread's scratch. Not inlined on purpose: callers then hold a
// plain reference, instead of the compiler propagating the thread-local into
// the walks and recomputing its address (a __tls_get_addr call) on every use.
__attribute__((noinline)) Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

// Cosine distances from one vector to the table's points, for steering.
class Probe {
public:
    Probe(const PointTable& table, core::FloatSpan vector, float inv_norm)
        : table_(table),
          dot_(core::fast_kernels().dot),
          q_(vector.data()),
          len_(static_cast<std::uint32_t>(vector.size())),
          inv_(inv_norm),
          arena_(table.arena.data.data()),
          stride_(table.arena.stride),
          in_arena_(len_ != 0 && len_ == table.arena.dim),
          fast_(in_arena_ && table.uniform()) {}

    // Every slot holds a point whose vector has the probe's length.
    bool uniform() const { return fast_; }

    // Prefetches a whole row, so the loads of several rows overlap.
    void prefetch(std::uint32_t slot) const {
        if (!in_arena_) return;
        const char* row = reinterpret_cast<const char*>(arena_ + slot * stride_);
        for (std::size_t offset = 0; offset < stride_ * sizeof(float); offset += 64) __builtin_prefetch(row + offset);
    }

    float to(std::uint32_t slot) const {
        if (inv_ == 0.0f) return core::MAX_DISTANCE;
        const float* row;
        if (fast_) {
            row = arena_ + slot * stride_;
        } else {
            if (table_.lens[slot] != len_) return core::MAX_DISTANCE;
            row = in_arena_ ? arena_ + slot * stride_ : table_.vector(slot).data();
        }
        const float dot = dot_(q_, row, len_);
        const float inv_b = row[len_];  // the inverse norm after the vector: read last, its line is loaded by now
        if (inv_b == 0.0f) return core::MAX_DISTANCE;
        const float d = 1.0f - dot * inv_ * inv_b;
        return d == d ? d : core::MAX_DISTANCE;  // NaN steers nowhere
    }

private:
    const PointTable& table_;
    core::PairKernel dot_;
    const float* q_;
    std::uint32_t len_;
    float inv_;
    const float* arena_;
    std::size_t stride_;
    bool in_arena_;
    bool fast_;
};

Probe probe_for_slot(const PointTable& table, std::uint32_t slot) {
    return Probe(table, table.vector(slot), table.inv_norm(slot));
}

std::size_t capacity(const HNSWIndex& index, std::size_t layer) {
    return layer == 0 ? index.layer0_cap : index.upper_cap;
}

std::uint32_t* layer0_block(HNSWIndex& index, std::uint32_t slot) {
    return index.layer0.data() + slot * index.stride();
}

std::vector<std::uint32_t>* upper_list(HNSWIndex& index, std::uint32_t slot, std::size_t layer, bool grow) {
    std::uint32_t handle = index.upper_of[slot];
    if (handle == 0) {
        if (!grow) return nullptr;
        index.upper.emplace_back();
        handle = static_cast<std::uint32_t>(index.upper.size());
        index.upper_of[slot] = handle;
    }
    auto& layers = index.upper[handle - 1].layers;
    if (layers.size() < layer) {
        if (!grow) return nullptr;
        layers.resize(layer);
    }
    return &layers[layer - 1];
}

void read_list(const HNSWIndex& index, std::uint32_t slot, std::size_t layer, std::vector<std::uint32_t>& out) {
    const auto list = index.neighbors(slot, layer);
    out.assign(list.begin(), list.end());
}

void write_list(HNSWIndex& index, std::uint32_t slot, std::size_t layer, const std::vector<Candidate>& list) {
    if (layer == 0) {
        std::uint32_t* block = layer0_block(index, slot);
        if (list.size() > index.layer0_cap) {
            // Only lists read from a snapshot can be this long; they stay aside.
            auto& aside = index.layer0_overflow[slot];
            aside.clear();
            for (const Candidate& c : list) aside.push_back(c.slot);
            block[0] = OVERFLOW_COUNT;
            return;
        }
        if (block[0] == OVERFLOW_COUNT) index.layer0_overflow.erase(slot);
        block[0] = static_cast<std::uint32_t>(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) block[1 + i] = list[i].slot;
        return;
    }
    auto* target = upper_list(index, slot, layer, true);
    target->clear();
    for (const Candidate& c : list) target->push_back(c.slot);
    if (index.levels[slot] < layer) index.levels[slot] = static_cast<std::uint8_t>(layer);
}

// Keeps a candidate only if it is closer to the base than to every
// candidate already kept: spreads the links over directions instead of
// spending them all on one dense cluster. `pool` is sorted nearest first.
void select_neighbors(const PointTable& table, const std::vector<Candidate>& pool, std::size_t limit,
                      std::vector<Candidate>& chosen) {
    chosen.clear();
    for (const Candidate& c : pool) {
        if (chosen.size() >= limit) break;
        const Probe from_c = probe_for_slot(table, c.slot);
        bool diverse = true;
        for (const Candidate& kept : chosen) {
            if (from_c.to(kept.slot) < c.d) {
                diverse = false;
                break;
            }
        }
        if (diverse) chosen.push_back(c);
    }
}

bool contains(const std::vector<Candidate>& list, std::uint32_t slot) {
    return std::any_of(list.begin(), list.end(), [&](const Candidate& c) { return c.slot == slot; });
}

// Puts every required candidate of `pool` into `chosen`: appended while
// there is room, else in place of the farthest chosen one that is not
// required. Leaves `chosen` sorted nearest first.
template <class Required>
void include_required(const std::vector<Candidate>& pool, std::size_t limit, Required&& required,
                      std::vector<Candidate>& chosen) {
    for (const Candidate& c : pool) {
        if (!required(c.slot) || contains(chosen, c.slot)) continue;
        if (chosen.size() < limit) {
            chosen.push_back(c);
            continue;
        }
        for (std::size_t i = chosen.size(); i-- > 0;) {
            if (!required(chosen[i].slot)) {
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
bool needs_parent(const HNSWIndex& index, std::uint32_t slot) {
    return slot != index.entry_slot && index.parent0[slot] == NO_SLOT;
}

// Adds the link node -> target on a layer and tells whether the target is
// listed afterwards. A full list is shrunk with the selection heuristic over
// its members and the target; on layer 0 the node's children stay, and a
// target without a parent is kept if any non-child can make room for it (the
// node then becomes its parent).
bool add_link(HNSWIndex& index, const PointTable& table, std::uint32_t node, std::uint32_t target, std::size_t layer,
              Scratch& scratch) {
    if (node == target) return false;
    std::vector<std::uint32_t>& current = scratch.listed;
    read_list(index, node, layer, current);
    const bool adopt = layer == 0 && needs_parent(index, target);
    if (std::find(current.begin(), current.end(), target) != current.end()) {
        if (adopt) index.parent0[target] = node;
        return true;
    }
    const std::size_t cap = capacity(index, layer);
    const bool overflowed = layer == 0 && layer0_block(index, node)[0] == OVERFLOW_COUNT;
    if (current.size() < cap && !overflowed) {
        if (layer == 0) {
            std::uint32_t* block = layer0_block(index, node);
            block[1 + block[0]] = target;
            ++block[0];
        } else {
            upper_list(index, node, layer, true)->push_back(target);
            if (index.levels[node] < layer) index.levels[node] = static_cast<std::uint8_t>(layer);
        }
        if (adopt) index.parent0[target] = node;
        return true;
    }
    auto& pool = scratch.pool;
    pool.clear();
    const Probe from_node = probe_for_slot(table, node);
    for (std::uint32_t s : current) {
        if (s != node && s < GHOST && !contains(pool, s)) pool.push_back({from_node.to(s), s});
    }
    pool.push_back({from_node.to(target), target});
    std::sort(pool.begin(), pool.end(), nearer);
    select_neighbors(table, pool, cap, scratch.chosen);
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
    write_list(index, node, layer, scratch.chosen);
    const bool listed = contains(scratch.chosen, target);
    if (adopt && listed) index.parent0[target] = node;
    return listed;
}

// Greedy walk on an upper layer: move to the nearest listed neighbour while
// it is strictly nearer.
void greedy(const HNSWIndex& index, const PointTable& table, const Probe& probe, std::size_t layer, std::uint32_t& cur,
            float& cur_d) {
    for (bool moved = true; moved;) {
        moved = false;
        const auto list = index.neighbors(cur, layer);
        for (std::uint32_t n : list) {
            if (n < GHOST) probe.prefetch(n);
        }
        for (std::uint32_t n : list) {
            if (n >= GHOST || (!probe.uniform() && !table.has_point(n))) continue;
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
bool search_layer(const HNSWIndex& index, const PointTable& table, const Probe& probe, std::uint32_t start,
                  float start_d, const LayerSearch& search, Scratch& scratch) {
    scratch.begin(table.slot_count());
    auto& candidates = scratch.candidates;
    auto& results = scratch.results;
    candidates.clear();
    results.clear();
    // The visited stamps in locals: the scratch is thread-local, and reaching
    // it through its address inside the loop costs a call per neighbour.
    std::uint16_t* const visited = scratch.visited.data();
    const std::uint16_t epoch = scratch.epoch;
    auto keep = [&](std::uint32_t s) {
        return s != search.exclude && (search.tenant == 0 || table.tenant_of[s] == search.tenant);
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
        const auto list = index.neighbors(c.slot, search.layer);
        // First the unvisited neighbours, with their rows prefetched together;
        // then their distances.
        constexpr std::size_t CHUNK = 64;
        std::uint32_t fresh[CHUNK];
        for (std::size_t begin = 0; begin < list.size(); begin += CHUNK) {
            const std::size_t end = std::min(list.size(), begin + CHUNK);
            for (std::size_t j = begin; j < end; ++j) {
                if (list[j] < GHOST) __builtin_prefetch(visited + list[j]);
            }
            std::size_t count = 0;
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint32_t n = list[j];
                if (n >= GHOST || visited[n] == epoch) continue;
                visited[n] = epoch;
                if (++visits > search.visit_budget) return false;
                if (!probe.uniform() && !table.has_point(n)) continue;
                probe.prefetch(n);
                // Its links too: the nearest of these is likely expanded next.
                if (search.layer == 0) __builtin_prefetch(index.layer0.data() + n * index.stride());
                fresh[count++] = n;
            }
            for (std::size_t j = 0; j < count; ++j) {
                const std::uint32_t n = fresh[j];
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

// After a node moved, each old neighbour that linked to it swaps that link
// for the nearest of the moved node's old links it lacks, so the old
// neighbourhood keeps its connections and its degree. A link to a child
// stays: the moved node is its parent.
void repair_old_neighbourhood(HNSWIndex& index, const PointTable& table, std::uint32_t moved,
                              const std::vector<std::uint32_t>& old_links, Scratch& scratch) {
    std::vector<std::uint32_t> list;
    for (std::uint32_t n : old_links) {
        if (n >= GHOST || n == moved || !table.has_point(n) || index.parent0[moved] == n) continue;
        read_list(index, n, 0, list);
        const auto at = std::find(list.begin(), list.end(), moved);
        if (at == list.end()) continue;
        const Probe from_n = probe_for_slot(table, n);
        std::uint32_t best = NO_SLOT;
        float best_d = INF;
        for (std::uint32_t s : old_links) {
            if (s >= GHOST || s == n || s == moved || !table.has_point(s)) continue;
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
            if (s == moved) {
                if (best != NO_SLOT) chosen.push_back({best_d, best});
            } else {
                chosen.push_back({0.0f, s});
            }
        }
        write_list(index, n, 0, chosen);
    }
}

// Gives every node a parent along layer 0, breadth first from the entry
// point; nodes the snapshot left unreachable stay without one (they get a
// parent when they are next linked).
void assign_parents(HNSWIndex& index) {
    index.parents_pending = false;
    if (index.entry_slot == NO_SLOT) return;
    std::vector<std::uint32_t> queue{index.entry_slot};
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t slot = queue[head];
        if (head + 1 < queue.size()) __builtin_prefetch(index.layer0.data() + queue[head + 1] * index.stride());
        const auto list = index.neighbors(slot, 0);
        for (std::uint32_t n : list) {
            if (n < GHOST) __builtin_prefetch(index.parent0.data() + n);
        }
        for (std::uint32_t n : list) {
            // A slot's parent doubles as its "reached" mark.
            if (n >= GHOST || n == index.entry_slot || index.parent0[n] != NO_SLOT) continue;
            index.parent0[n] = slot;
            queue.push_back(n);
        }
    }
}

void make_node(HNSWIndex& index, std::uint32_t slot, std::uint64_t level) {
    index.levels[slot] = static_cast<std::uint8_t>(level);
    if (level > 0) upper_list(index, slot, level, true);
    ++index.node_count;
}

}  // namespace

HNSWIndex::HNSWIndex(std::uint64_t m_, std::uint64_t ef_construction_, std::uint64_t ef_search_)
    : m(m_), ef_construction(ef_construction_), ef_search(ef_search_) {
    upper_cap = static_cast<std::size_t>(std::clamp(m, MIN_LINKS, MAX_LINKS));
    layer0_cap = 2 * upper_cap;
}

std::uint64_t random_level(std::uint64_t m) {
    thread_local std::mt19937_64 generator(core::entropy64());
    const double u = static_cast<double>(generator() >> 11) * 0x1.0p-53;
    if (u == 0.0) return MAX_LAYERS - 1;
    const double g = -1.0 / std::log(static_cast<double>(m));
    const double f = g * std::log(u);
    std::uint64_t level;
    if (!(f >= 0.0)) {
        level = 0;  // negative or NaN
    } else if (f >= 18446744073709551616.0) {
        level = UINT64_MAX;
    } else {
        level = static_cast<std::uint64_t>(f);
    }
    return std::min<std::uint64_t>(level, MAX_LAYERS - 1);
}

void reserve_slots(HNSWIndex& index, std::size_t slot_count) {
    core::reserve_for(index.levels, slot_count);
    core::reserve_for(index.layer0, slot_count * index.stride());
    core::reserve_for(index.parent0, slot_count);
    core::reserve_for(index.upper_of, slot_count);
    core::reserve_for(index.upper, index.upper.size() + 1);
}

void insert(HNSWIndex& index, const PointTable& table, std::uint32_t slot) {
    // Cover every slot of the table (within the capacity reserved beforehand).
    const std::size_t slots = table.slot_count();
    if (index.levels.size() < slots) {
        index.levels.resize(slots, NO_NODE);
        index.layer0.resize(slots * index.stride(), 0);
        index.parent0.resize(slots, NO_SLOT);
        index.upper_of.resize(slots, 0);
    }

    if (index.parents_pending) assign_parents(index);
    const bool relink = index.has_node(slot);
    std::uint64_t level;
    if (relink) {
        level = index.levels[slot];
    } else {
        level = random_level(index.m);
        make_node(index, slot, level);
    }
    if (index.entry_slot == NO_SLOT || !table.has_point(index.entry_slot)) {
        index.entry_slot = slot;
        index.entry_point = table.keys[slot];
        index.max_level = std::max(index.max_level, level);
        return;
    }
    if (index.node_count == 1) return;

    Scratch& scratch = thread_scratch();
    const Probe probe = probe_for_slot(table, slot);
    std::uint32_t cur = index.entry_slot;
    float cur_d = probe.to(cur);
    const std::size_t top = static_cast<std::size_t>(std::min<std::uint64_t>(index.max_level, MAX_LAYERS - 1));
    for (std::size_t layer = top; layer > level; --layer) greedy(index, table, probe, layer, cur, cur_d);

    const std::size_t ef = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(index.ef_construction, index.upper_cap, MAX_EF_CONSTRUCTION));
    std::vector<std::uint32_t> current, old_links;
    std::vector<Candidate> chosen, nearest;
    for (std::size_t layer = std::min<std::size_t>(level, top);; --layer) {
        search_layer(index, table, probe, cur, cur_d, LayerSearch{ef, layer, slot, 0, SIZE_MAX}, scratch);
        auto& pool = scratch.results;
        std::sort_heap(pool.begin(), pool.end(), nearer);
        if (!pool.empty()) {
            cur = pool.front().slot;
            cur_d = pool.front().d;
        }
        select_neighbors(table, pool, index.upper_cap, chosen);
        if (layer == 0) {
            nearest.assign(pool.begin(), pool.end());
            if (relink) {
                // A relinked node keeps its children, wherever they are now.
                read_list(index, slot, 0, current);
                old_links = current;
                for (std::uint32_t s : current) {
                    if (s < GHOST && !contains(nearest, s)) nearest.push_back({probe.to(s), s});
                }
                std::sort(nearest.begin(), nearest.end(), nearer);
                include_required(
                    nearest, index.layer0_cap, [&](std::uint32_t s) { return index.parent0[s] == slot; }, chosen);
            }
        }
        write_list(index, slot, layer, chosen);
        for (const Candidate& c : chosen) add_link(index, table, c.slot, slot, layer, scratch);
        if (layer == 0) break;
    }
    if (relink) repair_old_neighbourhood(index, table, slot, old_links, scratch);
    // No chosen neighbour could adopt the node (their lists are full of
    // their own children): the nearest node that can make room adopts it.
    if (needs_parent(index, slot)) {
        for (const Candidate& c : nearest) {
            if (add_link(index, table, c.slot, slot, 0, scratch)) break;
        }
    }
    if (!relink && level > index.max_level) {
        // The new top node becomes the root; the old root hangs below it.
        const std::uint32_t old_entry = index.entry_slot;
        index.max_level = level;
        index.entry_slot = slot;
        index.entry_point = table.keys[slot];
        index.parent0[slot] = NO_SLOT;
        add_link(index, table, slot, old_entry, 0, scratch);
    }
}

GraphAnswer search_knn(const HNSWIndex& index, const PointTable& table, const GraphQuery& query) {
    GraphAnswer answer;
    const Probe probe(table, query.query, query.inv_norm);
    std::uint32_t cur = index.entry_slot;
    float cur_d = probe.to(cur);
    const std::size_t top = static_cast<std::size_t>(std::min<std::uint64_t>(index.max_level, MAX_LAYERS - 1));
    for (std::size_t layer = top; layer >= 1; --layer) greedy(index, table, probe, layer, cur, cur_d);

    Scratch& scratch = thread_scratch();
    const LayerSearch search{std::max<std::size_t>(query.breadth, 1), 0, NO_SLOT, query.tenant, query.visit_budget};
    if (!search_layer(index, table, probe, cur, cur_d, search, scratch)) {
        answer.gave_up = true;
        return answer;
    }
    auto& results = scratch.results;
    std::sort_heap(results.begin(), results.end(), nearer);
    answer.slots.reserve(results.size());
    for (const Candidate& c : results) answer.slots.push_back(c.slot);
    return answer;
}

}  // namespace karnoxel::index
