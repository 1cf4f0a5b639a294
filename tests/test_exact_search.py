"""The exact scan against a brute-force numpy oracle."""

import math

import numpy as np
import pytest

from karnoxel import VectorStorage
from conftest import bits, rank_key, ref_scores

METRICS = ["dot", "l2", "cosine"]


def oracle(rows, ids, query, metric, limit, keep=None):
    scores, defined = ref_scores(query, rows, metric)
    hits = [(ids[i], scores[i]) for i in range(len(rows)) if defined[i] and (keep is None or keep[i])]
    hits.sort(key=lambda h: rank_key(metric)(h[1]))  # stable: insertion order among ties
    return hits[:limit]


def assert_same_hits(got, expected, metric):
    assert len(got) == len(expected)
    assert [bits(s) for _, s in got] == [bits(s) for _, s in expected]
    # Ids agree up to the order of equal scores.
    by_score = {}
    for (gid, gs), (eid, _) in zip(got, expected):
        by_score.setdefault(bits(gs), [set(), set()])
        by_score[bits(gs)][0].add(gid)
        by_score[bits(gs)][1].add(eid)
    for got_ids, expected_ids in by_score.values():
        assert got_ids == expected_ids


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("limit", [0, 1, 10, 499, 1000])
def test_matches_numpy_oracle(rng, metric, limit):
    rows = rng.standard_normal((499, 24)).astype(np.float32)
    ids = [int(x) for x in rng.integers(0, 2**64 - 1, size=499, dtype=np.uint64, endpoint=True)]
    store = VectorStorage()
    for pid, row in zip(ids, rows):
        store.upsert(pid, row.tolist(), None)
    for _ in range(5):
        q = rng.standard_normal(24).astype(np.float32)
        got = store.search(q.tolist(), limit, metric)
        assert_same_hits(got, oracle(rows, ids, q, metric, limit), metric)


@pytest.mark.parametrize("metric", METRICS)
def test_tenant_filter_matches_oracle(rng, metric):
    rows = rng.standard_normal((300, 8)).astype(np.float32)
    tenants = rng.choice(["a", "b", "c", None, 7], size=300)
    store = VectorStorage()
    for i, (row, t) in enumerate(zip(rows, tenants)):
        store.upsert(i, row.tolist(), None if t is None else {"tenant_id": t, "n": i})
    q = rng.standard_normal(8).astype(np.float32)
    for t in ["a", "b", "c", "7", "missing"]:
        keep = [x == t for x in tenants]
        assert_same_hits(store.search(q.tolist(), 20, metric, t), oracle(rows, list(range(300)), q, metric, 20, keep),
                         metric)


def test_mixed_lengths_only_score_the_query_length(store, rng):
    lengths = {}
    for i in range(120):
        n = int(rng.integers(0, 5))
        vec = rng.standard_normal(n).astype(np.float32)
        if i % 10 == 0:
            vec[:] = 0.0
        store.upsert(i, vec.tolist(), None)
        lengths[i] = (n, bool(np.all(vec == 0)))
    for n in range(5):
        same = {i for i, (m, _) in lengths.items() if m == n}
        assert {h[0] for h in store.search([1.0] * n, 1000, "dot")} == same
        assert {h[0] for h in store.search([1.0] * n, 1000, "cosine")} == {i for i in same if not lengths[i][1]}
    assert store.search([1.0] * 9, 1000, "l2") == []


def test_mixed_lengths_survive_a_change_of_main_dimension(store, rng):
    # A few short vectors first, then many longer ones, then re-upserts that
    # move points between lengths in both directions: all stay searchable.
    expected = {}
    for i, v in enumerate(rng.standard_normal((5, 3)).astype(np.float32)):
        expected[i] = v
    for i, v in enumerate(rng.standard_normal((50, 6)).astype(np.float32)):
        expected[100 + i] = v
    for pid, v in expected.items():
        store.upsert(pid, v.tolist(), None)
    expected[0], expected[100] = expected[101], expected[1]
    store.upsert(0, expected[0].tolist(), None)
    store.upsert(100, expected[100].tolist(), None)
    for n in (3, 6):
        ids = [pid for pid, v in expected.items() if len(v) == n]
        rows = np.array([expected[pid] for pid in ids])
        q = rng.standard_normal(n).astype(np.float32)
        assert_same_hits(store.search(q.tolist(), 1000, "l2"), oracle(rows, ids, q, "l2", 1000), "l2")


@pytest.mark.parametrize("metric", METRICS)
def test_nan_scores_come_last(store, metric):
    store.upsert(1, [math.nan, 1.0], None)
    store.upsert(2, [1.0, 1.0], None)
    store.upsert(3, [-1.0, 2.0], None)
    hits = store.search([1.0, 1.0], 10, metric)
    assert [h[0] for h in hits][-1] == 1 and math.isnan(hits[-1][1])
    assert not any(math.isnan(s) for _, s in hits[:-1])


def test_equal_scores_are_all_kept(store):
    for i in range(50):
        store.upsert(i, [1.0, 2.0], None)
    assert sorted(h[0] for h in store.search([1.0, 2.0], 50, "cosine")) == list(range(50))
    assert len(store.search([1.0, 2.0], 7, "cosine")) == 7


def test_replacement_keeps_one_point(store):
    store.upsert(5, [1.0, 0.0], {"tenant_id": "a"})
    store.upsert(5, [0.0, 1.0], {"k": 1})
    assert store.search([0.0, 1.0], 10, "dot") == [(5, 1.0)]
    assert store.search([0.0, 1.0], 10, "dot", "a") == []  # payloads are replaced, not merged
    store.upsert(5, [0.0, 1.0], {"tenant_id": "b"})
    assert store.search([0.0, 1.0], 10, "dot", "b") == [(5, 1.0)]
    store.upsert(1, [1.0, 2.0], None)
    store.upsert(2, [1.0, 2.0, 3.0], None)
    assert [h[0] for h in store.search([1.0, 2.0], 10, "l2")] == [1, 5]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("tenant", [None, "t"])
def test_empty_store_returns_nothing(store, metric, tenant):
    assert store.search([1.0, 2.0], 10, metric, tenant) == []


def test_huge_limit(store):
    store.upsert(1, [1.0], None)
    assert store.search([1.0], 2**64 - 1, "dot") == [(1, 1.0)]


ID_PATTERNS = {
    "in order": list(range(400)),
    "reversed": list(range(399, -1, -1)),
    "every fifth": list(range(0, 2000, 5)),
    "a far id, then in order past it": [300, 5000] + list(range(420)),
    "near the top of the range": [2**64 - 1 - i for i in range(400)],
    "small and large mixed": [x for i in range(200) for x in (i, (i + 1) * 2**40)],
}


@pytest.mark.parametrize("pattern", list(ID_PATTERNS))
def test_every_id_keeps_its_own_point(store, pattern):
    # Each point's first coordinate encodes its id (exactly, in float32), so
    # a dot-product score names the vector an id reached.
    ids = ID_PATTERNS[pattern]
    value = {}
    for version, point_id in enumerate(ids):
        value[point_id] = float(version % 1000) * 0.5 + 1.0
        store.upsert(point_id, [value[point_id], 1.0, 0.0], None)
    for point_id in ids[::3]:  # replace some: still one point each
        value[point_id] += 0.25
        store.upsert(point_id, [value[point_id], 1.0, 0.0], None)
    hits = store.search([1.0, 0.0, 0.0], 10**6, "dot")
    assert len(hits) == len(value)
    assert {point_id: score for point_id, score in hits} == value
