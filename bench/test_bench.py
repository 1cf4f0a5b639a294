"""Checks of the benchmark's own helpers (not of karnoxel; not run by CI).

    python -m pytest -q bench/test_bench.py
"""

import numpy as np
import pytest

from bench import datasets
from bench.systems import NumpyExact


def brute(points, queries, metric, k):
    x, q = points.astype(np.float64), queries.astype(np.float64)
    if metric == "cosine":
        x = x / np.linalg.norm(x, axis=1, keepdims=True)
        q = q / np.linalg.norm(q, axis=1, keepdims=True)
        cost = -(q @ x.T)
    else:
        cost = ((q[:, None, :] - x[None, :, :]) ** 2).sum(axis=2)
    return np.argsort(cost, axis=1, kind="stable")[:, :k]


@pytest.mark.parametrize("metric", ["l2", "cosine"])
def test_exact_top_matches_a_plain_sort(metric):
    rng = np.random.default_rng(7)
    points = rng.standard_normal((300, 12)).astype(np.float32)
    queries = rng.standard_normal((40, 12)).astype(np.float32)
    got = datasets.exact_top(points, queries, metric, k=25, chunk=16)
    assert got.shape == (40, 25)
    np.testing.assert_array_equal(got, brute(points, queries, metric, 25))


def test_exact_top_maps_ids_and_caps_k_at_the_point_count():
    rng = np.random.default_rng(8)
    points = rng.standard_normal((5, 4)).astype(np.float32)
    ids = np.array([50, 40, 30, 20, 10])
    got = datasets.exact_top(points, points, "l2", k=100, ids=ids)
    assert got.shape == (5, 5)
    np.testing.assert_array_equal(got[:, 0], ids)    # each point is its own nearest


def test_recall_counts_overlap_of_the_first_k():
    truth = np.array([[1, 2, 3, 4], [5, 6, 7, 8]])
    assert datasets.recall([[1, 2], [5, 9]], truth, 2) == pytest.approx(0.75)
    # order inside the top k does not matter, ids past k do not count
    assert datasets.recall([[2, 1, 3], [6, 5, 7]], truth, 2) == 1.0
    assert datasets.recall([[3, 4, 1], [7, 8, 5]], truth, 2) == 0.0
    # duplicates count once, negative padding never
    assert datasets.recall([[1, 1], [-1, 5]], truth, 2) == pytest.approx(0.5)


def test_recall_of_a_small_tenant_uses_its_size():
    truth = np.array([[42], [42]])                   # a one-point tenant
    assert datasets.recall([[42], [7]], truth, 10) == pytest.approx(0.5)


def test_tenant_shares_and_single_points():
    names, tenant_of = datasets.assign_tenants(20_000, seed=3)
    sizes = {name: int((tenant_of == i).sum()) for i, name in enumerate(names)}
    assert sizes["share-50"] == 10_000 and sizes["share-20"] == 4_000 and sizes["share-5"] == 1_000
    assert sizes["share-1"] == 200 and sizes["share-0.1"] == 20
    assert [sizes[f"single-{i}"] for i in range(1, datasets.SINGLE_TENANTS + 1)] == [1] * datasets.SINGLE_TENANTS
    assert (tenant_of < 0).sum() == 20_000 - sum(sizes.values())


def test_mixture_is_seeded_and_normalized_on_request():
    a, qa = datasets.gaussian_mixture(500, 10, 16, 5, 1.0, True, seed=4)
    b, qb = datasets.gaussian_mixture(500, 10, 16, 5, 1.0, True, seed=4)
    np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(qa, qb)
    np.testing.assert_allclose(np.linalg.norm(a, axis=1), 1, rtol=1e-5)
    c, _ = datasets.gaussian_mixture(500, 10, 16, 5, 1.0, True, seed=5)
    assert not np.array_equal(a, c)


@pytest.mark.parametrize("metric", ["l2", "cosine"])
def test_numpy_oracle_agrees_with_the_ground_truth(metric):
    rng = np.random.default_rng(9)
    points = datasets.normalized(rng.standard_normal((400, 16)))
    queries = datasets.normalized(rng.standard_normal((30, 16)))
    truth = datasets.exact_top(points, queries, metric, k=10)
    oracle = NumpyExact()
    oracle.build(points, metric)
    single = [oracle.ids(oracle.search_one(q, 10), 10) for q in queries]
    assert datasets.recall(single, truth, 10) == 1.0
    assert datasets.recall(oracle.batch_ids(oracle.search_batch(queries, 10), 10), truth, 10) == 1.0
    members = np.arange(0, 400, 3)
    only = oracle.tenant_searcher("t", members, 10)(queries[0])
    assert set(only.tolist()) <= set(members.tolist()) and len(only) == 10
