#include "index/hnsw.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include "core/environment.hpp"
#include "index/graph.hpp"

namespace karnoxel::index {

using namespace graph;

namespace {

// Replaces a node's list on a layer. The list fits: layer-0 lists in the
// row's prefix, upper lists within the room made when the node was.
void write_list(HNSWIndex& index, RowStore& rows, std::uint32_t row, std::size_t layer,
                const std::vector<Candidate>& list) {
    if (layer == 0) {
        // Entries first, then the length: a walk beside this sees the old
        // list, the new one, or a mix of both, never a word half written.
        std::uint32_t* prefix = rows.prefix(row);
        for (std::size_t i = 0; i < list.size(); ++i) __atomic_store_n(prefix + 1 + i, list[i].row, __ATOMIC_RELEASE);
        __atomic_store_n(prefix, static_cast<std::uint32_t>(list.size()), __ATOMIC_RELEASE);
        return;
    }
    std::lock_guard<std::mutex> guard(upper_lists_lock(row));
    if (auto* target = upper_list(index, row, layer)) {
        target->clear();
        for (const Candidate& c : list) target->push_back(c.row);
    }
}

// Keeps a candidate only if it is closer to the base than to every
// candidate already kept: spreads the links over directions instead of
// spending them all on one dense cluster. `pool` is sorted nearest first.
// A pool may hold a node whose vector is not in its row yet (`pending`,
// reached through `from_pending`, a probe of that vector).
void select_neighbors(const RowStore& rows, const std::vector<Candidate>& pool, std::size_t limit,
                      std::vector<Candidate>& chosen, std::uint32_t pending = NO_ROW,
                      const Probe* from_pending = nullptr) {
    chosen.clear();
    for (const Candidate& c : pool) {
        if (chosen.size() >= limit) break;
        const Probe from_c = c.row == pending ? *from_pending : probe_for_row(rows, c.row);
        bool diverse = true;
        for (const Candidate& kept : chosen) {
            const float d = kept.row == pending ? from_pending->to(c.row) : from_c.to(kept.row);
            if (d < c.d) {
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

// Whether a node has a list on an upper layer (read-only twin of upper_list).
bool has_upper_list(const HNSWIndex& index, std::uint32_t row, std::size_t layer) {
    const std::uint32_t handle = index.upper_of[row];
    return handle != 0 && index.upper[handle - 1].layers.size() >= layer;
}

// Works out the link node -> target on a layer without changing anything:
// the node's list afterwards, and whether it adopts the target (`adopt`:
// the target has no parent yet). A full list is shrunk with the selection
// heuristic over its members and the target; on layer 0 the node's children
// stay, and a target without a parent is kept if any non-child can make room
// for it. The target's vector need not be in its row yet: its distances
// come from `from_target`. Tells whether the target would be listed.
bool plan_link(const HNSWIndex& index, const RowStore& rows, std::uint32_t node, std::uint32_t target,
               std::size_t layer, bool adopt, const Probe& from_target, Scratch& scratch, PlannedLink& out) {
    out.node = node;
    out.layer = static_cast<std::uint8_t>(layer);
    out.changes = false;
    out.adopts = false;
    out.list.clear();
    if (node == target || !is_node(index, node) || (layer > 0 && !has_upper_list(index, node, layer))) return false;
    std::vector<std::uint32_t>& current = scratch.listed;
    read_list(index, rows, node, layer, current);
    if (std::find(current.begin(), current.end(), target) != current.end()) {
        out.adopts = adopt;
        return true;
    }
    const std::size_t cap = capacity(index, layer);
    out.changes = true;
    if (current.size() < cap) {
        for (std::uint32_t s : current) out.list.push_back({0.0f, s});
        out.list.push_back({0.0f, target});
        out.adopts = adopt;
        return true;
    }
    auto& pool = scratch.pool;
    pool.clear();
    const Probe from_node = probe_for_row(rows, node);
    for (std::uint32_t s : current) {
        if (s != node && is_node(index, s) && !contains(pool, s)) pool.push_back({from_node.to(s), s});
    }
    pool.push_back({from_target.to(node), target});
    std::sort(pool.begin(), pool.end(), nearer);
    select_neighbors(rows, pool, cap, out.list, target, &from_target);
    if (layer == 0) {
        // The target may be no node yet (its row may lie beyond the arrays).
        auto child = [&](std::uint32_t s) { return s != target && parent_of(index, s) == node; };
        include_required(pool, cap, child, out.list);
        if (adopt) include_required(pool, cap, [&](std::uint32_t s) { return child(s) || s == target; }, out.list);
    }
    const bool listed = contains(out.list, target);
    out.adopts = adopt && listed;
    return listed;
}

// Adds the link node -> target on a layer (the target a node by now) and
// tells whether the target is listed afterwards; the node becomes the
// target's parent if it needed one and listed it.
bool add_link(HNSWIndex& index, RowStore& rows, std::uint32_t node, std::uint32_t target, std::size_t layer,
              Scratch& scratch) {
    PlannedLink& link = scratch.link;
    const bool adopt = layer == 0 && needs_parent(index, target);
    const bool listed = plan_link(index, rows, node, target, layer, adopt, probe_for_row(rows, target), scratch, link);
    if (link.changes) write_list(index, rows, node, layer, link.list);
    if (link.adopts) set_parent(index, target, node);
    return listed;
}

// Whether a link planned beside other insertions can be made as planned:
// the node's list is the one the plan was worked out from, and the planned
// list keeps every child the node has now (another insertion may have made
// the node a parent without changing its list).
bool still_holds(const HNSWIndex& index, const RowStore& rows, const PlannedLink& link) {
    const auto now = index.neighbors(rows, link.node, link.layer);
    if (!std::equal(now.begin(), now.end(), link.seen.begin(), link.seen.end())) return false;
    if (link.layer != 0 || !link.changes) return true;
    for (std::uint32_t s : now) {
        if (index.parent0[s] == link.node && !contains(link.list, s)) return false;
    }
    return true;
}

// Whether row a (inverse norm ia) is longer than row b (ib): larger norm
// first, ties by row. Orders the hubs and the tall nodes.
inline bool longer(float ia, std::uint32_t a, float ib, std::uint32_t b) { return ia < ib || (ia == ib && a < b); }

// Whether node a ranks before node b among the hubs.
bool hub_before(const RowStore& rows, std::uint32_t a, std::uint32_t b) {
    return longer(rows.inv_norm(a), a, rows.inv_norm(b), b);
}

// Takes the node among the hubs if its norm is large enough.
void offer_hub(HNSWIndex& index, const RowStore& rows, std::uint32_t row) {
    std::size_t at = index.hub_count;
    if (at == HUBS && !hub_before(rows, row, index.hubs[HUBS - 1])) return;
    if (at == HUBS) --at;  // the last hub leaves
    for (; at > 0 && hub_before(rows, row, index.hubs[at - 1]); --at) index.hubs[at] = index.hubs[at - 1];
    index.hubs[at] = row;
    index.hub_count = std::min(index.hub_count + 1, HUBS);
}

// The longest of the rows offered (at most TALL, with no repeats), largest
// norm first: smaller inverse norms first, ties by row.
struct Tallest {
    std::size_t cap;
    std::size_t count = 0;
    std::uint32_t row[TALL]{};  // the first `count` in use
    float inv_norm[TALL]{};

    explicit Tallest(std::size_t cap_) : cap(cap_) {}

    void offer(std::uint32_t r, float inv) {
        const auto before = [&](std::size_t i) { return longer(inv, r, inv_norm[i], row[i]); };
        if (count == cap && !before(cap - 1)) return;  // most offers stop here
        for (std::size_t i = 0; i < count; ++i) {
            if (row[i] == r) return;
        }
        std::size_t at = std::min(count, cap - 1);
        for (; at > 0 && before(at - 1); --at) {
            row[at] = row[at - 1];
            inv_norm[at] = inv_norm[at - 1];
        }
        row[at] = r;
        inv_norm[at] = inv;
        count = std::min(count + 1, cap);
    }
    // Writes the rows to `out` (cap entries, NO_ROW after the last),
    // atomically: walks read them while commits go on.
    void store(std::uint32_t* out) const {
        for (std::size_t i = 0; i < cap; ++i) __atomic_store_n(out + i, i < count ? row[i] : NO_ROW, __ATOMIC_RELAXED);
    }
};

inline std::uint32_t* tall_of(const HNSWIndex& index, std::uint32_t row) {
    return index.tall.data() + std::size_t{row} * TALL;
}
inline std::uint32_t* near_of(const HNSWIndex& index, std::uint32_t row) {
    return index.tall_near.data() + std::size_t{row} * TALL_NEAR;
}

// A node's tall nodes from its layer-0 list: the longest there (its near
// ones), then the longest of theirs and its own. `inv_norm_of(r)` is r's inverse
// norm, or infinity where r holds no node.
enum class TallPart { Near, Far, Both };
template <class InvNorm>
void work_out_talls(const HNSWIndex& index, std::uint32_t row, std::span<const std::uint32_t> list, TallPart part,
                    InvNorm&& inv_norm_of) {
    const std::size_t count = list.size();
    auto offer = [&](Tallest& to, std::uint32_t r) {
        const float inv = inv_norm_of(r);
        if (r != row && inv != INF) to.offer(r, inv);
    };
    auto offer_near_of = [&](Tallest& to, std::uint32_t n) {
        const std::uint32_t* const near = near_of(index, n);
        for (std::size_t j = 0; j < TALL_NEAR; ++j) {
            const std::uint32_t r = __atomic_load_n(near + j, __ATOMIC_RELAXED);
            if (r == NO_ROW) break;
            offer(to, r);
        }
    };
    if (part != TallPart::Far) {
        Tallest near(TALL_NEAR);
        for (std::size_t i = 0; i < count; ++i) offer(near, list[i]);
        near.store(near_of(index, row));
    }
    if (part != TallPart::Near) {
        Tallest tall(TALL);
        offer_near_of(tall, row);
        for (std::size_t i = 0; i < count; ++i) offer_near_of(tall, list[i]);
        tall.store(tall_of(index, row));
    }
}

// A list of tall nodes (cap entries) takes `row` if it is longer than one
// there; entries whose node is gone leave first.
void offer_tall(HNSWIndex& index, const RowStore& rows, std::uint32_t* list, std::size_t cap, std::uint32_t row) {
    const float inv = rows.inv_norm(row);
    // Most offers are shorter than the last kept node: they stop here.
    const std::uint32_t last = __atomic_load_n(list + cap - 1, __ATOMIC_RELAXED);
    if (last != NO_ROW && is_node(index, last) && !longer(inv, row, rows.inv_norm(last), last)) return;
    Tallest kept(cap);
    for (std::size_t i = 0; i < cap; ++i) {
        const std::uint32_t r = __atomic_load_n(list + i, __ATOMIC_RELAXED);
        if (r == NO_ROW) break;
        if (is_node(index, r)) kept.offer(r, rows.inv_norm(r));
    }
    kept.offer(row, inv);
    kept.store(list);
}

// After a node was linked (or relinked): its own tall nodes anew, and each
// node of its list takes it among its own (it is one hop from them now).
void link_talls(HNSWIndex& index, const RowStore& rows, std::uint32_t row) {
    if (!keeps_talls(index)) return;
    std::uint32_t list[MAX_LIST];
    const std::size_t count = copy_list(index, rows, row, 0, list);
    work_out_talls(index, row, {list, count}, TallPart::Both,
                   [&](std::uint32_t r) { return is_node(index, r) ? rows.inv_norm(r) : INF; });
    for (std::size_t i = 0; i < count; ++i) {
        if (list[i] == row || !is_node(index, list[i])) continue;
        offer_tall(index, rows, near_of(index, list[i]), TALL_NEAR, row);
        offer_tall(index, rows, tall_of(index, list[i]), TALL, row);
    }
}

bool is_hub(const HNSWIndex& index, std::uint32_t row) {
    const auto end = index.hubs.begin() + static_cast<std::ptrdiff_t>(index.hub_count);
    return std::find(index.hubs.begin(), end, row) != end;
}

// Some node of the tree below `start` can adopt `target`: a node with fewer
// children than its list holds always can (the target takes a non-child's
// place), and a leaf has none. So descend from `start` to the child nearest
// the target until one adopts it. `start` must lie in the tree (or be the
// entry) and outside the target's own subtree, so no cycle forms.
void adopt_below(HNSWIndex& index, RowStore& rows, std::uint32_t start, std::uint32_t target, Scratch& scratch) {
    const Probe from_target = probe_for_row(rows, target);
    std::uint32_t n = start;
    for (std::size_t steps = 0; n != NO_ROW && steps <= index.node_count; ++steps) {
        if (add_link(index, rows, n, target, 0, scratch) || !needs_parent(index, target)) return;
        std::uint32_t next = NO_ROW;
        float next_d = INF;
        for (std::uint32_t c : index.neighbors(rows, n, 0)) {
            if (c == target || !is_node(index, c) || index.parent0[c] != n) continue;
            const float d = from_target.to(c);
            if (next == NO_ROW || d < next_d) {
                next = c;
                next_d = d;
            }
        }
        n = next;
    }
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
// own neighbours outside its subtree; if every one of those lists is full of
// its own children, a node below the removed node's parent.
void adopt_orphan(HNSWIndex& index, RowStore& rows, std::uint32_t orphan, std::uint32_t ancestor, Scratch& scratch) {
    const std::uint32_t first_ancestor = ancestor;
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
    if (needs_parent(index, orphan)) adopt_below(index, rows, first_ancestor, orphan, scratch);
}

// After the entry point was removed: the tree is formed anew from the new
// entry, and nodes it no longer reaches are adopted by a reached neighbour
// (and the nodes behind them reached in turn). When a whole pass adopts
// nothing (every reached neighbour is full of its own children), the next
// unreached node is adopted below the entry.
void regrow_parents(HNSWIndex& index, RowStore& rows, Scratch& scratch) {
    std::size_t reached = assign_parents(index, rows, scratch.frontiers);
    std::vector<std::uint32_t>& queue = scratch.queue;
    queue.clear();
    auto is_reached = [&](std::uint32_t r) { return r == index.entry_row || index.parent0[r] != NO_ROW; };
    bool stalled = false;
    while (reached < index.node_count) {
        bool progress = false;
        bool below = stalled;  // this pass adopts one node below the entry
        for (std::uint32_t x = 0; x < index.levels.size(); ++x) {
            if (!is_node(index, x) || is_reached(x)) continue;
            const auto list = index.neighbors(rows, x, 0);
            for (std::size_t i = 0; i < list.size() && !is_reached(x); ++i) {
                if (is_node(index, list[i]) && is_reached(list[i])) add_link(index, rows, list[i], x, 0, scratch);
            }
            if (!is_reached(x) && below) {
                adopt_below(index, rows, index.entry_row, x, scratch);
                below = false;
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
        if (!progress && stalled) break;  // cannot happen while every node's list holds its children
        stalled = !progress;
    }
}

void resize_nodes(HNSWIndex& index, std::size_t rows) {
    if (index.levels.size() >= rows) return;
    index.levels.resize(rows, NO_NODE);  // within the room reserve_nodes made
    index.parent0.resize(rows, NO_ROW);
    index.upper_of.resize(rows, 0);
    if (keeps_talls(index)) {
        index.tall.resize(rows * TALL, NO_ROW);
        index.tall_near.resize(rows * TALL_NEAR, NO_ROW);
    }
}

void make_node(HNSWIndex& index, RowStore& rows, InsertPlan& plan) {
    const std::uint32_t row = plan.row;
    set_parent(index, row, NO_ROW);
    __atomic_store_n(rows.prefix(row), 0u, __ATOMIC_RELEASE);
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
    set_level(index, row, plan.level);  // last: a walk that sees the level sees the rest
    ++index.node_count;
}

// Resets a plan for the node of `row` (a relinked node keeps its level;
// PENDING_ROW for a new node whose row is not known yet). Changes nothing
// but the plan and the thread's scratch.
void start_plan(const HNSWIndex& index, std::uint32_t row, std::uint64_t level_bits, InsertPlan& plan) {
    thread_scratch().reserve_changes(index.layer0_cap);
    plan.row = row;
    plan.entry = index.entry_row;
    plan.top = static_cast<std::uint8_t>(index.top_layer());
    plan.planned_at = index.changes;
    plan.removals_at = index.removals;
    plan.relink = row != NO_ROW && index.has_node(row);
    plan.level = static_cast<std::uint8_t>(plan.relink ? index.levels[row] : level_from_bits(level_bits, index.m));
    plan.chosen.resize(MAX_LAYERS);
    for (auto& list : plan.chosen) {
        list.clear();
        list.reserve(index.layer0_cap);
    }
    plan.nearest.clear();
    plan.old_links.clear();
    plan.links.clear();
    plan.upper.layers.clear();
    if (!plan.relink && plan.level > 0) {
        plan.upper.layers.resize(plan.level);
        for (auto& list : plan.upper.layers) list.reserve(index.upper_cap);
    }
}

// A relinked node keeps its children, wherever they are now: they join its
// new layer-0 list, and its old links are candidates for the repair.
void keep_children(const HNSWIndex& index, const RowStore& rows, const Probe& probe, InsertPlan& plan) {
    read_list(index, rows, plan.row, 0, plan.old_links);
    for (std::uint32_t s : plan.old_links) {
        if (is_node(index, s) && !contains(plan.nearest, s)) plan.nearest.push_back({probe.to(s), s});
    }
    std::sort(plan.nearest.begin(), plan.nearest.end(), nearer);
    include_required(
        plan.nearest, index.layer0_cap, [&](std::uint32_t s) { return index.parent0[s] == plan.row; }, plan.chosen[0]);
}

// Every node that links to `row`, on every layer, takes one of row's own
// neighbours instead; its parent too, which may list it without being
// listed. Leaves row's layer-0 list in scratch.links.
void unlink_neighbours(HNSWIndex& index, RowStore& rows, std::uint32_t row, Scratch& scratch) {
    std::vector<std::uint32_t>& links = scratch.links;
    // Upper layers first, so that `links` ends as the layer-0 list.
    for (std::size_t layer = std::min<std::size_t>(index.levels[row], MAX_LAYERS - 1);; --layer) {
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
}

// The row holds no node any more; its upper lists wait for the next node.
void free_node(HNSWIndex& index, RowStore& rows, std::uint32_t row) {
    rows.prefix(row)[0] = FREE_LIST;
    index.levels[row] = NO_NODE;
    index.parent0[row] = NO_ROW;
    if (const std::uint32_t handle = index.upper_of[row]) {
        index.free_upper.push_back(handle - 1);  // capacity: one per entry of `upper`
        index.upper_of[row] = 0;
    }
    --index.node_count;
}

}  // namespace

void graph::choose_hubs(HNSWIndex& index, const RowStore& rows) {
    index.hub_count = 0;
    for (std::uint32_t row = 0; row < index.levels.size(); ++row) {
        if (is_node(index, row)) offer_hub(index, rows, row);
    }
}

void choose_talls(HNSWIndex& index, const RowStore& rows) {
    const std::size_t size = index.levels.size();
    std::vector<std::uint32_t> tall(size * TALL, NO_ROW);
    std::vector<std::uint32_t> near(size * TALL_NEAR, NO_ROW);
    index.tall.swap(tall);
    index.tall_near.swap(near);
    refresh_talls(index, rows);
}

void refresh_talls(const HNSWIndex& index, const RowStore& rows) noexcept {
    if (!keeps_talls(index) || __atomic_load_n(&index.talls_at, __ATOMIC_RELAXED) == index.changes) return;
    const std::size_t size = index.levels.size();
    auto work_out_all = [&](auto&& inv_norm_of) {
        // Every node's near ones first: the others are made of them.
        for (const TallPart part : {TallPart::Near, TallPart::Far}) {
            for (std::uint32_t row = 0; row < size; ++row) {
                if (!is_node(index, row)) continue;
                std::uint32_t list[MAX_LIST];
                work_out_talls(index, row, {list, copy_list(index, rows, row, 0, list)}, part, inv_norm_of);
            }
        }
    };
    // Norms from a dense copy: the passes then read them from cache rather
    // than from a row each (a miss each on large stores). Without room for
    // it, from the rows.
    std::vector<float> inv_norms;
    try {
        inv_norms.resize(size);
    } catch (const std::bad_alloc&) {
        work_out_all([&](std::uint32_t r) { return is_node(index, r) ? rows.inv_norm(r) : INF; });
        __atomic_store_n(&index.talls_at, index.changes, __ATOMIC_RELAXED);
        return;
    }
    for (std::uint32_t row = 0; row < size; ++row) inv_norms[row] = is_node(index, row) ? rows.inv_norm(row) : INF;
    work_out_all([&](std::uint32_t r) { return inv_norms[r]; });
    __atomic_store_n(&index.talls_at, index.changes, __ATOMIC_RELAXED);
}

std::uint64_t ef_search_setting(std::uint64_t otherwise) {
    const std::optional<std::uint64_t> value = core::unsigned_setting("KARNOXEL_EF_SEARCH");
    return value && *value >= 1 && *value <= MAX_EF_SEARCH_SETTING ? *value : otherwise;
}

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
    if (index.levels.size() >= rows) return;
    const std::size_t size = std::max(rows, index.levels.size() + index.levels.size() / 2);
    // All the room first: the arrays keep one size whatever throws.
    const bool talls = keeps_talls(index);
    core::reserve_for(index.levels, size);
    core::reserve_for(index.parent0, size);
    core::reserve_for(index.upper_of, size);
    if (talls) {
        core::reserve_for(index.tall, size * TALL);
        core::reserve_for(index.tall_near, size * TALL_NEAR);
    }
    index.levels.resize(size, NO_NODE);
    index.parent0.resize(size, NO_ROW);
    index.upper_of.resize(size, 0);
    if (talls) {
        index.tall.resize(size * TALL, NO_ROW);
        index.tall_near.resize(size * TALL_NEAR, NO_ROW);
    }
}

void plan_insert(HNSWIndex& index, const RowStore& rows, core::FloatSpan vector, float inv_norm, std::uint32_t row,
                 std::uint64_t level_bits, InsertPlan& plan) {
    prepare_insert(index, rows, row, level_bits, plan);
    search_insert(index, rows, vector, inv_norm, plan);
}

void prepare_insert(HNSWIndex& index, const RowStore& rows, std::uint32_t row, std::uint64_t level_bits,
                    InsertPlan& plan) {
    start_plan(index, row, level_bits, plan);
    make_insert_room(index, rows, 0);
}

void begin_insert(const HNSWIndex& index, std::uint64_t level_bits, InsertPlan& plan) {
    start_plan(index, PENDING_ROW, level_bits, plan);
}

bool insert_room_ready(const HNSWIndex& index, const RowStore& rows, std::size_t pending) {
    // Per-row arrays for a row each, and an entry of `upper` for each node
    // that may need one (free entries may go to the others first).
    const bool upper_ready = index.free_upper.size() > pending || index.upper.capacity() > index.upper.size() + pending;
    return index.levels.size() >= rows.size() + pending + 1 && upper_ready && !wants_talls(index, rows);
}

void make_insert_room(HNSWIndex& index, const RowStore& rows, std::size_t pending) {
    reserve_nodes(index, rows.size() + pending + 1);
    if (wants_talls(index, rows)) choose_talls(index, rows);
    if (index.free_upper.size() <= pending) core::reserve_for(index.upper, index.upper.size() + pending + 1);
}

void search_insert(const HNSWIndex& index, const RowStore& rows, core::FloatSpan vector, float inv_norm,
                   InsertPlan& plan) {
    // What the graph was when the plan was made (a commit beside this may
    // change the entry point; the old one is still a node).
    if (plan.entry == NO_ROW || (plan.relink && index.node_count == 1)) return;
    const std::uint32_t row = plan.row;

    Scratch& scratch = thread_scratch();
    const Probe probe(rows, vector, inv_norm);
    std::uint32_t cur = plan.entry;
    float cur_d = probe.to(cur);
    const std::size_t top = plan.top;
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
        select_neighbors(rows, pool, index.upper_cap, plan.chosen[layer]);
        if (layer == 0) break;
    }
    plan.nearest.assign(scratch.results.begin(), scratch.results.end());
    if (plan.relink) {
        keep_children(index, rows, probe, plan);
        return;
    }
    // Each chosen neighbour's list after linking to the node; on layer 0 the
    // first that lists it becomes its parent.
    bool has_parent = false;
    for (std::size_t layer = std::min<std::size_t>(plan.level, top);; --layer) {
        for (const Candidate& c : plan.chosen[layer]) {
            PlannedLink& link = plan.links.emplace_back();
            const bool adopt = layer == 0 && !has_parent;
            if (plan_link(index, rows, c.row, row, layer, adopt, probe, scratch, link) && adopt) has_parent = true;
            // The list the plan was worked out from (a commit beside this
            // one may change it meanwhile: the commit then tells).
            link.seen.assign(scratch.listed.begin(), scratch.listed.end());
        }
        if (layer == 0) break;
    }
}

void commit_insert(HNSWIndex& index, RowStore& rows, InsertPlan& plan) noexcept {
    Scratch& scratch = thread_scratch();
    const std::uint32_t row = plan.row;
    // The planned lists were worked out from the graph as it was when the
    // plan was made. If nothing was committed since, they all hold. If only
    // insertions were (planned beside this one), a planned list holds where
    // the neighbour's list is still the one it was worked out from and it
    // keeps every child the neighbour has now; any other is worked out
    // here. After a removal or a relink every link is worked out here.
    const bool all_current = !plan.relink && plan.planned_at == index.changes;
    const bool use_plan = !plan.relink && plan.removals_at == index.removals;
    ++index.changes;
    if (plan.relink) ++index.removals;
    resize_nodes(index, rows.size());
    if (!plan.relink) make_node(index, rows, plan);
    if (plan.relink && is_hub(index, row)) {
        choose_hubs(index, rows);
    } else {
        offer_hub(index, rows, row);
    }
    if (index.entry_row == NO_ROW || index.node_count == 1) {
        if (index.entry_row == NO_ROW) {
            index.entry_row = row;
            index.max_level = plan.level;
        }
        link_talls(index, rows, row);  // no list yet, but the row may hold a former node's tall ones
        return;
    }

    const std::size_t top = index.top_layer();
    for (std::size_t layer = std::min<std::size_t>(plan.level, top);; --layer) {
        write_list(index, rows, row, layer, plan.chosen[layer]);
        if (!use_plan) {
            for (const Candidate& c : plan.chosen[layer]) add_link(index, rows, c.row, row, layer, scratch);
        }
        if (layer == 0) break;
    }
    if (plan.relink) repair_old_neighbourhood(index, rows, row, plan.old_links, scratch);
    if (use_plan) {
        for (PlannedLink& link : plan.links) {
            if (!all_current && !still_holds(index, rows, link)) {
                add_link(index, rows, link.node, row, link.layer, scratch);
                continue;
            }
            for (Candidate& c : link.list) {
                if (c.row == PENDING_ROW) c.row = row;  // the node's row, known by now
            }
            if (link.changes) write_list(index, rows, link.node, link.layer, link.list);
            if (link.adopts && needs_parent(index, row)) set_parent(index, row, link.node);
        }
    }
    // No chosen neighbour could adopt the node (their lists are full of
    // their own children): the nearest node that can make room adopts it,
    // else one below the nearest in the tree.
    if (needs_parent(index, row)) {
        for (const Candidate& c : plan.nearest) {
            if (add_link(index, rows, c.row, row, 0, scratch) && !needs_parent(index, row)) break;
        }
    }
    if (needs_parent(index, row) && !(!plan.relink && plan.level > index.max_level)) {
        std::uint32_t start = index.entry_row;
        for (const Candidate& c : plan.nearest) {
            if (!plan.relink || !descends_from(index, c.row, row)) {
                start = c.row;
                break;
            }
        }
        adopt_below(index, rows, start, row, scratch);
    }
    if (!plan.relink && plan.level > index.max_level) {
        // The new top node becomes the root; the old root hangs below it.
        const std::uint32_t old_entry = index.entry_row;
        index.max_level = plan.level;
        index.entry_row = row;
        set_parent(index, row, NO_ROW);
        add_link(index, rows, row, old_entry, 0, scratch);
    }
    link_talls(index, rows, row);
}

void plan_remove(HNSWIndex& index, std::uint32_t row) {
    Scratch& scratch = thread_scratch();
    scratch.reserve_changes(index.layer0_cap);
    core::reserve_for(index.free_upper, index.upper.size());
    if (row == index.entry_row) {
        scratch.queue.reserve(index.levels.size());
        scratch.frontiers.reserve(2 * frontier_words(index.levels.size()));
    }
}

void commit_remove(HNSWIndex& index, RowStore& rows, std::uint32_t row) noexcept {
    ++index.changes;
    ++index.removals;
    Scratch& scratch = thread_scratch();
    const std::uint32_t parent = index.parent0[row];
    unlink_neighbours(index, rows, row, scratch);
    auto& orphans = scratch.orphans;
    orphans.clear();
    for (std::uint32_t x : scratch.links) {
        if (x != row && is_node(index, x) && index.parent0[x] == row) {
            index.parent0[x] = NO_ROW;
            orphans.push_back(x);
        }
    }
    free_node(index, rows, row);
    if (is_hub(index, row)) choose_hubs(index, rows);
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

}  // namespace karnoxel::index
