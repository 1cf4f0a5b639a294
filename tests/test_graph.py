"""The HNSW route: recall against the exact scan, graph structure (read back
through a snapshot), routing, tenants, degenerate queries."""

import math

import numpy as np
import pytest

from karnoxel import VectorStorage
from conftest import bits, ref_scores
from snapshot_format import snapshot


def embedded(rng, counts, d, clusters, intrinsic=8, spread=1.0, normalize=False):
    """Clustered points of low intrinsic dimension in d dimensions (like real
    embeddings): one array per count, all from the same mixture."""
    basis = rng.standard_normal((intrinsic, d))
    centres = 2.0 * rng.standard_normal((clusters, intrinsic))
    out = []
    for n in counts:
        z = centres[rng.integers(0, clusters, n)] + spread * rng.standard_normal((n, intrinsic))
        x = (z @ basis).astype(np.float32)
        if normalize:
            x /= np.linalg.norm(x, axis=1, keepdims=True)
        out.append(x.astype(np.float32))
    return out


def build(rows, payloads=None):
    store = VectorStorage()
    for i, row in enumerate(rows):
        store.upsert(i, row.tolist(), None if payloads is None else payloads[i])
    return store


def true_top(rows, q, metric, k):
    scores, defined = ref_scores(q, rows, metric)
    order = np.argsort(scores if metric == "l2" else -scores, kind="stable")
    return [int(i) for i in order if defined[i]][:k]


@pytest.fixture(scope="module")
def corpus():
    rows, queries = embedded(np.random.default_rng(4242), [4000, 200], 32, 40)
    return rows, queries, build(rows)


class TestRecall:
    def test_cosine_recall_at_default_breadth(self, corpus):
        rows, queries, store = corpus
        found = 0
        for q in queries:
            hits = store.search(q.tolist(), 10, "cosine")
            found += len({h[0] for h in hits} & set(true_top(rows, q, "cosine", 10)))
        assert found >= 1900, found  # of 2000 true neighbours

    @pytest.mark.parametrize("metric", ["dot", "l2"])
    def test_other_metrics_on_normalized_data(self, rng, metric):
        rows, queries = embedded(rng, [3000, 100], 24, 30, normalize=True)
        store = build(rows)
        found = sum(
            len({h[0] for h in store.search(q.tolist(), 10, metric)} & set(true_top(rows, q, metric, 10)))
            for q in queries)
        assert found >= 950, found  # of 1000

    @pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
    def test_scores_are_exact_and_ordered(self, corpus, metric):
        rows, queries, store = corpus
        for q in queries[:20]:
            hits = store.search(q.tolist(), 50, metric)
            assert len(hits) == 50
            ids = [h[0] for h in hits]
            expected, _ = ref_scores(q, rows[ids], metric)
            assert [bits(s) for _, s in hits] == [bits(e) for e in expected]
            scores = [s for _, s in hits]
            assert scores == sorted(scores, reverse=metric != "l2")

    def test_limit_above_ef_search(self, corpus):
        rows, queries, store = corpus
        for q in queries[:10]:
            hits = store.search(q.tolist(), 100, "cosine")
            assert len(hits) == 100 and len({h[0] for h in hits}) == 100
            assert len({h[0] for h in hits} & set(true_top(rows, q, "cosine", 100))) >= 95


def structure_problems(image):
    """Every way a graph image can be malformed, as a list of strings."""
    problems = []
    caps = [2 * image.m] + [image.m] * 15
    if set(image.nodes) != set(image.points):
        problems.append("nodes and points differ")
    for key, node in image.nodes.items():
        if node.id != key:
            problems.append(f"node {key} has id {node.id}")
        for layer, lst in enumerate(node.lists):
            if len(lst) > caps[layer]:
                problems.append(f"node {key} layer {layer} has {len(lst)} links")
            if key in lst:
                problems.append(f"node {key} links to itself on layer {layer}")
            if len(set(lst)) != len(lst):
                problems.append(f"node {key} repeats an id on layer {layer}")
            if any(x not in image.nodes for x in lst):
                problems.append(f"node {key} links to a missing node")
    seen, stack = {image.entry_point}, [image.entry_point]
    while stack:
        for lst in image.nodes[stack.pop()].lists:
            for x in lst:
                if x not in seen:
                    seen.add(x)
                    stack.append(x)
    if len(seen) != len(image.nodes):
        problems.append(f"{len(image.nodes) - len(seen)} nodes unreachable from the entry point")
    return problems


class TestStructure:
    def test_after_inserts(self, corpus, tmp_path):
        _, _, store = corpus
        image = snapshot(store, tmp_path)
        assert structure_problems(image) == []
        # The top node may be alone on its level, with empty lists there.
        highest = max(max((i for i, lst in enumerate(n.lists) if lst), default=0) for n in image.nodes.values())
        assert highest <= image.max_level <= 15

    @pytest.mark.parametrize("spread", [0.35, 0.0])  # 0.0: every point of a cluster in one direction
    def test_after_reupserts_including_the_entry_point(self, rng, tmp_path, spread):
        rows, moves = embedded(rng, [1500, 1500], 16, 15, spread=spread)
        store = build(rows)
        current = {i: rows[i] for i in range(len(rows))}
        for step, vector in enumerate(moves):
            if step % 50 == 0:
                key = snapshot(store, tmp_path).entry_point
            else:
                key = int(rng.integers(0, len(rows)))
            current[key] = vector
            store.upsert(key, vector.tolist(), None)
        image = snapshot(store, tmp_path)
        assert structure_problems(image) == []
        if spread:
            # Every point is still found, by its own vector, through the graph.
            missed = [k for k in list(current)[::10]
                      if k not in {h[0] for h in store.search(current[k].tolist(), 10, "l2")}]
            assert len(missed) <= 2, missed

    def test_payload_only_update_leaves_the_graph(self, corpus, tmp_path):
        rows, _, _ = corpus
        store = build(rows[:800])
        before = snapshot(store, tmp_path).nodes
        for i in range(0, 800, 7):
            store.upsert(i, rows[i].tolist(), {"tenant_id": "x", "i": i})
        after = snapshot(store, tmp_path)
        assert after.nodes == before
        assert after.points[7][2] == {"tenant_id": (0, "x"), "i": (2, 7)}

    def test_reupsert_moves_the_point(self, corpus):
        rows, _, _ = corpus
        store = build(rows[:1000])
        far = (-rows[3] * 5).tolist()
        store.upsert(3, far, None)
        assert store.search(far, 1, "l2") == [(3, 0.0)]
        assert 3 not in {h[0] for h in store.search(rows[3].tolist(), 10, "l2")}


class TestRouting:
    @pytest.mark.parametrize("n", [499, 500, 700])
    def test_wrong_length_and_zero_queries(self, rng, n):
        (rows,) = embedded(rng, [n], 8, 10, intrinsic=4)
        store = build(rows)
        for metric in ["cosine", "dot", "l2"]:
            assert store.search([1.0] * 7, 10, metric) == []
            assert store.search([1.0] * 9, 10, metric) == []
        assert store.search([0.0] * 8, 10, "cosine") == []
        # A zero query is still answered exactly by the other metrics.
        zero = np.zeros(8, np.float32)
        got = store.search(zero.tolist(), 10, "l2")
        assert [bits(s) for _, s in got] == [bits(s) for s in sorted(ref_scores(zero, rows, "l2")[0])[:10]]
        assert all(s == 0.0 for _, s in store.search(zero.tolist(), 5, "dot"))

    def test_below_threshold_is_exact(self, rng):
        rows, queries = embedded(rng, [499, 50], 8, 50, intrinsic=4)
        store = build(rows)
        for q in queries:
            assert [h[0] for h in store.search(q.tolist(), 10, "cosine")] == true_top(rows, q, "cosine", 10)

    def test_odd_lengths_beside_the_graph(self, corpus):
        rows, _, _ = corpus
        store = build(rows[:1000])
        store.upsert(10_000, [1.0, 2.0, 3.0], None)
        store.upsert(10_001, [3.0, 2.0, 1.0], {"tenant_id": "odd"})
        assert [h[0] for h in store.search([1.0, 2.0, 3.0], 5, "cosine")] == [10_000, 10_001]
        assert store.search([1.0, 2.0, 3.0], 5, "l2", "odd") == [(10_001, pytest.approx(2.828427, rel=1e-6))]


TENANT_SIZES = {"one": 1, "few": 5, "small": 40, "mid": 400, "big": 2000, "most": 2500}


@pytest.fixture(scope="module")
def tenant_store():
    rows, queries = embedded(np.random.default_rng(99), [5000, 40], 24, 50)
    owners = np.array([None] * len(rows), dtype=object)
    order = np.random.default_rng(7).permutation(len(rows))
    start = 0
    for name, size in TENANT_SIZES.items():
        owners[order[start:start + size]] = name
        start += size
    payloads = [None if o is None else {"tenant_id": o} for o in owners]
    return rows, owners, build(rows, payloads), queries


class TestTenants:
    @pytest.mark.parametrize("tenant", list(TENANT_SIZES))
    def test_recall_and_isolation(self, tenant_store, tenant):
        rows, owners, store, queries = tenant_store
        mine = np.flatnonzero(owners == tenant)
        found = wanted = 0
        for q in queries:
            hits = store.search(q.tolist(), 10, "cosine", tenant)
            assert all(owners[h[0]] == tenant for h in hits)
            truth = [int(mine[i]) for i in true_top(rows[mine], q, "cosine", 10)]
            assert len(hits) == len(truth)
            found += len({h[0] for h in hits} & set(truth))
            wanted += len(truth)
        assert found >= 0.95 * wanted, (found, wanted)

    def test_unknown_tenant(self, tenant_store):
        _, _, store, queries = tenant_store
        assert store.search(queries[0].tolist(), 10, "cosine", "nobody") == []
        assert store.search(queries[0].tolist(), 10, "cosine", "") == []


def test_nan_query_does_not_break_the_walk(corpus):
    rows, queries, store = corpus
    q = queries[0].copy()
    q[3] = np.nan
    hits = store.search(q.tolist(), 10, "l2")
    assert len(hits) == 10 and all(math.isnan(s) for _, s in hits)
