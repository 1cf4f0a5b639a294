"""Checks of the benchmarks' own helpers: ground truth, recall, curves, datasets,
the text pool and the adapters. Fast (a few seconds); needs numpy, pytest and
karnoxel; the hnswlib checks are skipped where hnswlib is missing.

    python -m pytest -q bench/test_bench.py
"""

import math
import os
import sys

import numpy as np
import pytest

from bench import common, datasets, embed_debian, systems
from bench.systems import NumpyExact


def brute(points, queries, metric, k):
    x, q = points.astype(np.float64), queries.astype(np.float64)
    if metric == "cosine":
        x = x / np.linalg.norm(x, axis=1, keepdims=True)
        q = q / np.linalg.norm(q, axis=1, keepdims=True)
    if metric == "l2":
        cost = ((q[:, None, :] - x[None, :, :]) ** 2).sum(axis=2)
    else:
        cost = -(q @ x.T)
    return np.argsort(cost, axis=1, kind="stable")[:, :k]


def stored_ids(store, tmp_path):
    """The ids a store holds, read from its snapshot with the test suite's reader."""
    sys.path.insert(0, str(common.ROOT / "tests"))
    try:
        import snapshot_format
    finally:
        sys.path.pop(0)
    return sorted(pid for pid, _, _ in snapshot_format.snapshot(store, tmp_path).points.values())


def varied(rng, n, d):
    """Rows with lengths spread over about two orders of magnitude."""
    return (rng.standard_normal((n, d)) * np.exp(rng.normal(0, 1.0, (n, 1)))).astype(np.float32)


# ---------------------------------------------------------------- ground truth

@pytest.mark.parametrize("metric", datasets.METRICS)
@pytest.mark.parametrize("chunk,margin", [(16, None), (7, 1), (None, 0)])
def test_exact_top_matches_a_plain_sort(metric, chunk, margin):
    rng = np.random.default_rng(7)
    points, queries = varied(rng, 400, 12), varied(rng, 40, 12)
    got = datasets.exact_top(points, queries, metric, k=25, chunk=chunk, margin=margin)
    assert got.shape == (40, 25)
    np.testing.assert_array_equal(got, brute(points, queries, metric, 25))


@pytest.mark.parametrize("metric", datasets.METRICS)
@pytest.mark.parametrize("n", [300, 3000])
def test_exact_top_widens_or_redoes_rows_whose_boundary_is_a_tie(metric, n):
    # 60 copies of the best point: the float32 candidates hold an arbitrary part of
    # them, so the row needs 20 times the candidates (n 3000) or a full float64
    # pass (n 300) to give the exact order, ties by row number.
    rng = np.random.default_rng(3)
    points = rng.standard_normal((n, 8)).astype(np.float32)
    points[100:160] = points[5]
    query = points[5:6] + np.float32(0.01)
    got = datasets.exact_top(points, query, metric, k=20, margin=4)
    np.testing.assert_array_equal(got, brute(points, query, metric, 20))


def test_exact_top_maps_ids_and_caps_k_at_the_point_count():
    rng = np.random.default_rng(8)
    points = rng.standard_normal((5, 4)).astype(np.float32)
    ids = np.array([50, 40, 30, 20, 10])
    got = datasets.exact_top(points, points, "l2", k=100, ids=ids)
    assert got.shape == (5, 5)
    np.testing.assert_array_equal(got[:, 0], ids)    # each point is its own nearest


# ---------------------------------------------------------------- recall

def test_recall_counts_overlap_of_the_first_k():
    truth = np.array([[1, 2, 3, 4], [5, 6, 7, 8]])
    assert common.recall([[1, 2], [5, 9]], truth, 2) == pytest.approx(0.75)
    # order inside the top k does not matter, ids past k do not count
    assert common.recall([[2, 1, 3], [6, 5, 7]], truth, 2) == 1.0
    assert common.recall([[3, 4, 1], [7, 8, 5]], truth, 2) == 0.0
    # duplicates count once, negative padding never
    assert common.recall([[1, 1], [-1, 5]], truth, 2) == pytest.approx(0.5)


def test_recall_of_a_small_tenant_uses_its_size():
    truth = np.array([[42], [42]])                   # a one-point tenant
    assert common.recall([[42], [7]], truth, 10) == pytest.approx(0.5)


# ---------------------------------------------------------------- curves and timing

def test_frontier_keeps_only_points_nothing_beats():
    points = [(0.90, 100), (0.80, 50), (0.95, 40), (0.85, 300), (0.95, 60), (None, 10), (0.99, 0)]
    assert common.frontier(points) == [(0.85, 300), (0.90, 100), (0.95, 60)]


@pytest.mark.parametrize("target,expected", [
    (0.85, math.sqrt(1000 * 100)),    # halfway in recall: the geometric mean of the rates
    (0.80, 1000), (0.90, 100),        # measured points
    (0.50, 1000),                     # below the curve: the narrowest point's rate
    (0.95, None),                     # beyond the best recall
])
def test_qps_at_interpolates_in_log_qps(target, expected):
    got = common.qps_at([(0.80, 1000), (0.90, 100)], target)
    assert got == (None if expected is None else pytest.approx(expected))


def test_equal_recall_ratio_and_levels_only_one_side_reaches():
    ours = [(0.84, 2000), (0.95, 1000)]
    theirs = [(0.84, 1000), (0.99, 100)]
    rows = common.equal_recall(ours, theirs, grid=[0.85, 0.95, 0.97])
    assert rows[0][3] > 1.0 and rows[1][3] > 1.0
    assert rows[2][1] is None and rows[2][3] is None and rows[2][2] is not None
    summary = common.summarize_ratios(rows)
    assert "only the peer reaches 0.97" in summary and "over recall 0.85-0.95" in summary
    assert common.summarize_ratios(common.equal_recall([(0.5, 10)], [(0.6, 10)])) == "no common recall level"


# ---------------------------------------------------------------- datasets

def test_zipf_tenants_run_from_half_the_points_down_to_two():
    n = 100_000
    sizes = datasets.zipf_sizes(n)
    assert sizes[:3] == [50_000, 11_000, pytest.approx(4_500, rel=0.02)]
    assert all(a >= b for a, b in zip(sizes, sizes[1:])) and sizes[-1] == datasets.ZIPF_SMALLEST
    names, tenant_of = datasets.assign_zipf_tenants(n, seed=5)
    assert [int((tenant_of == i).sum()) for i in range(len(names))] == sizes
    assert names[0] == "zipf-001" and len(set(names)) == len(names)
    assert (tenant_of < 0).sum() == n - sum(sizes) > 0


def test_mixture_is_seeded_normalized_on_request_and_lengths_vary_with_sigma():
    a, qa = datasets.gaussian_mixture(500, 10, 16, 5, 1.0, True, seed=4)
    b, qb = datasets.gaussian_mixture(500, 10, 16, 5, 1.0, True, seed=4)
    np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(qa, qb)
    np.testing.assert_allclose(np.linalg.norm(a, axis=1), 1, rtol=1e-5)
    c, _ = datasets.gaussian_mixture(500, 10, 16, 5, 1.0, True, seed=5)
    assert not np.array_equal(a, c)
    plain, _ = datasets.gaussian_mixture(4000, 1, 64, 5, 1.0, False, seed=4)
    spread, _ = datasets.gaussian_mixture(4000, 1, 64, 5, 1.0, False, seed=4, norm_sigma=0.5)
    assert np.std(np.log(np.linalg.norm(spread, axis=1))) > 3 * np.std(np.log(np.linalg.norm(plain, axis=1)))


@pytest.fixture
def tiny_sets(tmp_path, monkeypatch):
    """Small stand-ins for the catalogue, cached under tmp_path; text vectors from a seeded generator."""
    monkeypatch.setattr(datasets, "DATA_DIR", tmp_path)
    rng = np.random.default_rng(11)
    raw = varied(rng, 700, 16) + np.float32(3)
    monkeypatch.setattr(datasets, "text_vectors", lambda count, python: raw[:count])
    base = dict(n=600, quick_n=300, dim=16, queries=50, mode="quick")
    monkeypatch.setattr(datasets, "DATASETS", {
        "mix": dict(base, kind="clustered", clusters=4, spread=1.0, normalize=False, norm_sigma=0.5,
                    metric="dot", seed=1),
        "text": dict(base, kind="text", raw=False, metric="cosine"),
        "text-raw": dict(base, kind="text", raw=True, metric="l2"),
        "zipf": dict(base, kind="tenants-zipf", metric="cosine", seed=2, tenant_queries=20,
                     quick_tenant_queries=10, tenant_ef=None),
    })
    return raw


@pytest.mark.parametrize("name,quick,n", [("mix", True, 300), ("text", False, 600), ("text-raw", True, 300)])
def test_load_makes_caches_and_exact_ground_truth(tiny_sets, name, quick, n):
    data = datasets.load(name, quick=quick)
    assert data.points.shape == (n, 16) and data.queries.shape == (50, 16) and data.gt.shape == (50, 100)
    np.testing.assert_array_equal(data.gt, datasets.exact_top(data.points, data.queries, data.metric))
    assert data.label == (f"{name}-0k" if quick else name)
    again = datasets.load(name, quick=quick)                      # from the cache
    np.testing.assert_array_equal(again.points, data.points)
    if name.startswith("text"):
        # queries are the pool's first rows, the corpus the rows after them
        raw = tiny_sets
        want_q, want_p = raw[:50], raw[50:50 + n]
        if name == "text":
            want_q, want_p = datasets.normalized(want_q), datasets.normalized(want_p)
        np.testing.assert_allclose(data.queries, want_q, rtol=1e-6)
        np.testing.assert_allclose(data.points, want_p, rtol=1e-6)


def test_zipf_tenant_dataset_has_ground_truth_within_each_tenant(tiny_sets):
    data = datasets.load("zipf", quick=True)
    assert data.tenant_queries == 10 and data.tenant_ef is None
    for name in data.tenant_names:
        members = data.tenant_members(name)
        truth = data.tenant_gt[name]
        assert truth.shape == (10, min(100, len(members)))
        assert set(truth.ravel().tolist()) <= set(members.tolist())
    assert data.describe()["tenants"][data.tenant_names[0]] == 150


# ---------------------------------------------------------------- the text pool

STANZA = """Package: demo
Description-md5: 0
Description-en: Demo tool for demos
 Demo is good. It makes demonstrations of many kinds for everyone.
 Short one. This sentence wraps
 over two lines of the description.
 .
 Features:
  * fast and small and friendly to use
  - second item with enough words in it
  1. numbered item that also has words
 .
 See http://example.org/x/y/z/a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p 123 456 789 000 111 222.
"""


def test_text_rule_takes_the_short_description_and_kept_sentences():
    got = embed_debian.texts_of_translation(STANZA + "\nPackage: other\nDescription-en: Demo tool for DEMOS\n")
    assert got == [
        "Demo tool for demos",
        "It makes demonstrations of many kinds for everyone.",
        "This sentence wraps over two lines of the description.",
        "fast and small and friendly to use",
        "second item with enough words in it",
        "numbered item that also has words",
        "Demo tool for DEMOS",
    ]
    # case-insensitive duplicates keep the first spelling; the pool is sorted
    assert embed_debian.unique_sorted(got)[0] == "Demo tool for demos"
    assert len(embed_debian.unique_sorted(got)) == len(got) - 1


def test_pool_order_is_fixed_and_does_not_depend_on_the_input_order():
    texts = [f"text number {i}" for i in range(200)]
    a = embed_debian.shuffled(texts)
    assert a == embed_debian.shuffled(texts[::-1]) and sorted(a) == sorted(texts) and a != texts
    assert embed_debian.shuffled(texts, seed=1) != a


def test_committed_pool_matches_its_checksum_and_is_large_enough():
    texts = embed_debian.read_pool()
    needed = max(spec["n"] + spec["queries"] for spec in datasets.DATASETS.values() if spec["kind"] == "text")
    assert len(texts) >= needed
    assert texts == sorted(texts) and all(t and "\n" not in t and t == " ".join(t.split()) for t in texts[:5000])


def test_a_changed_pool_fails_the_checksum(tmp_path):
    embed_debian.write_pool(["alpha beta", "gamma delta"], tmp_path / "p.xz", tmp_path / "p.sha256")
    assert embed_debian.read_pool(tmp_path / "p.xz", tmp_path / "p.sha256") == ["alpha beta", "gamma delta"]
    embed_debian.write_pool(["alpha beta", "gamma delta!"], tmp_path / "p.xz", tmp_path / "other")
    with pytest.raises(ValueError, match="checksum"):
        embed_debian.read_pool(tmp_path / "p.xz", tmp_path / "p.sha256")


# ---------------------------------------------------------------- adapters and stores

@pytest.mark.parametrize("metric", datasets.METRICS)
def test_numpy_oracle_agrees_with_the_ground_truth(metric):
    rng = np.random.default_rng(9)
    points = varied(rng, 400, 16) if metric != "cosine" else datasets.normalized(varied(rng, 400, 16))
    queries = varied(rng, 30, 16)
    if metric == "cosine":
        queries = datasets.normalized(queries)
    truth = datasets.exact_top(points, queries, metric, k=10)
    oracle = NumpyExact()
    oracle.build(points, metric)
    single = [oracle.ids(oracle.search_one(q, 10), 10) for q in queries]
    assert common.recall(single, truth, 10) == 1.0
    assert common.recall(oracle.batch_ids(oracle.search_batch(queries, 10), 10), truth, 10) == 1.0
    members = np.arange(0, 400, 3)
    only = oracle.tenant_searcher("t", members, 10)(queries[0])
    assert set(only.tolist()) <= set(members.tolist()) and len(only) == 10


@pytest.mark.parametrize("metric", datasets.METRICS)
def test_karnoxel_adapter_searches_in_the_datasets_metric(metric):
    # Below 500 points the store scans exactly: any wrong metric name shows as lost recall.
    rng = np.random.default_rng(12)
    points, queries = varied(rng, 300, 16), varied(rng, 20, 16)
    ours = systems.Karnoxel()
    ours.build(points, metric)
    truth = datasets.exact_top(points, queries, metric, k=10)
    assert common.recall([ours.ids(ours.search_one(q, 10), 10) for q in queries], truth, 10) == 1.0
    assert len(ours.search_one(queries[0], 10)) == 10


def test_karnoxel_breadth_knob_is_the_stores_ef_search(monkeypatch):
    # A copy loaded at ef 64 walks as wide as a search for 64 in the store as
    # built (cosine: breadth max(ef_search, limit)), and answers k results.
    monkeypatch.setenv("KARNOXEL_EF_SEARCH", "7")  # the built store ignores the caller's setting
    rng = np.random.default_rng(14)
    # 32 values and 100 queries: the narrower walk misses some neighbour of
    # about a third of them, whatever graph the threads of the build made.
    points, queries = varied(rng, 3000, 32), varied(rng, 100, 32)
    ours = systems.Karnoxel()
    ours.build(points, "cosine")
    wide = [ours.store.search(q, 64, "cosine")[:10] for q in queries]
    narrow = [ours.search_one(q, 10) for q in queries]
    ours.set_ef(64)
    assert [ours.search_one(q, 10) for q in queries] == wide != narrow
    assert ours.searched is ours.searched is not ours.store  # one copy per breadth, kept
    ours.set_ef(None)
    assert ours.searched is ours.store and os.environ["KARNOXEL_EF_SEARCH"] == "7"


@pytest.mark.parametrize("metric", datasets.METRICS)
def test_hnswlib_adapter_indexes_the_metric_natively(metric):
    pytest.importorskip("hnswlib")
    rng = np.random.default_rng(13)
    points, queries = varied(rng, 600, 16), varied(rng, 30, 16)
    if metric == "cosine":
        points, queries = datasets.normalized(points), datasets.normalized(queries)
    peer = systems.Hnswlib(64)
    peer.build(points, metric)
    peer.set_ef(300)
    truth = datasets.exact_top(points, queries, metric, k=10)
    assert common.recall([peer.ids(peer.search_one(q, 10), 10) for q in queries], truth, 10) >= 0.98
    peer.set_ef(None)
    assert peer.index.ef == common.DEFAULT_EF


def test_exact_store_answers_exactly_beyond_the_graph_threshold():
    rng = np.random.default_rng(14)
    points, queries = varied(rng, 900, 8), varied(rng, 25, 8)
    store = common.exact_store(points)
    truth = datasets.exact_top(points, queries, "l2", k=10)
    found = [[p for p, _ in store.search(q, 10, "l2")] for q in queries]
    np.testing.assert_array_equal(np.array(found), truth)


def test_parallel_build_keeps_every_point_and_the_reader_never_comes_back_short(tmp_path):
    from bench import parallel_build

    rng = np.random.default_rng(15)
    points = varied(rng, 1500, 8)
    store, seconds, figures = parallel_build.karnoxel_build(points, "euclidean", 2, reader=(list(points[:50]),
                                                                                          "euclidean"))
    assert seconds > 0 and figures["failed"] == 0 and figures["short"] == 0 and figures["searches"] > 0
    assert stored_ids(store, tmp_path) == list(range(len(points)))


def test_serving_phase_counts_searches_and_writes(tmp_path):
    from bench import serve_ingest

    rng = np.random.default_rng(16)
    points = varied(rng, 3000, 8)
    system = serve_ingest.Karnoxel("l2", 3000)
    for i, row in enumerate(points[:600]):
        system.add(i, row)
    out = serve_ingest.phase(system, list(points[:20]), 0.2, points[600:], 600)
    assert out["searches"] > 0 and out["failed"] == 0 and out["short"] == 0
    assert out["written"] > 0 and out["write_rate"] > 0 and out["p50_us"] <= out["p99_us"] <= out["max_us"]
    assert stored_ids(system.store, tmp_path) == list(range(600 + out["written"]))


def test_tenant_measurement_scores_each_tenant_against_its_own_truth(tiny_sets):
    from bench import worker

    data = datasets.load("zipf", quick=True)
    oracle = NumpyExact()
    oracle.build(data.points, data.metric)
    rows = worker.measure_tenants(oracle, data, budget=0.01)
    assert [r["tenant"] for r in rows] == data.tenant_names
    for r in rows:
        assert r["recall10"] == 1.0 and r["short"] == 0 and r["empty"] == 0
        assert r["size"] == len(data.tenant_members(r["tenant"]))
        assert r["vs_unfiltered"] == pytest.approx(r["qps"] / r["unfiltered_qps"])


def test_sweep_sets_each_breadth_and_scores_the_first_rounds_answers():
    from bench import graph_vs_hnswlib

    truth = np.array([[0, 1], [2, 3]])
    calls, breadth = [], {}

    def runner(name, answer):
        def set_breadth(b):
            breadth[name] = b

        def search(q, k):
            calls.append((name, breadth[name]))
            return answer(breadth[name])[int(q)]
        return set_breadth, search

    runners = {"wide": runner("wide", lambda b: [[0, 1], [2, 3]] if b >= 20 else [[0, 9], [9, 9]]),
               "never": runner("never", lambda b: [[7, 8], [9, 6]])}
    out = graph_vs_hnswlib.sweep(runners, [0, 1], truth, 2, [10, 20], rounds=3)
    assert [p["recall2"] for p in out["wide"]] == [0.25, 1.0]
    assert [p["recall2"] for p in out["never"]] == [0.0, 0.0]
    assert all(len(p["qps_rounds"]) == 3 and p["qps"] > 0 for p in out["wide"] + out["never"])
    # every search ran at the breadth set for it; 3 rounds x 2 breadths x 2 queries (+ warm-up) each
    assert {b for _, b in calls} == {10, 20} and sum(1 for n, _ in calls if n == "wide") == 3 * 2 * 4


def test_embedding_resumes_only_a_run_over_the_same_pool(tmp_path):
    raw, meta = tmp_path / "raw.npy", tmp_path / "meta.json"
    rows = np.arange(12 * embed_debian.DIM, dtype=np.float32).reshape(12, embed_debian.DIM)
    np.save(raw, rows)
    meta.write_text('{"texts_sha256": "abc", "seed": %d, "count": 10, "embed_seconds": 7.5}' % embed_debian.SEED)
    got, seconds = embed_debian.resume(raw, meta, "abc")
    np.testing.assert_array_equal(got, rows[:10])     # rows past the recorded count are not trusted
    assert seconds == 7.5
    assert len(embed_debian.resume(raw, meta, "other pool")[0]) == 0
    meta.write_text('{"texts_sha256": "abc", "seed": 1, "count": 10}')
    assert len(embed_debian.resume(raw, meta, "abc")[0]) == 0
    assert len(embed_debian.resume(tmp_path / "missing.npy", tmp_path / "missing.json", "abc")[0]) == 0


def test_report_reads_the_runner_documents_among_other_figures(tmp_path):
    # bench/results also holds figures of other scripts (ray-shards.json):
    # the report is made of the runner's documents and passes over the rest.
    import shutil

    pytest.importorskip("matplotlib")  # the report draws its plots
    from bench import report

    shutil.copy(report.BENCH_DIR / "results" / "clustered-128-20k.json", tmp_path)
    (tmp_path / "ray-shards.json").write_text('{"points": 20000, "systems": {}}')
    report.main(["--results-dir", str(tmp_path)])
    assert "## clustered-128-20k" in (tmp_path / "RESULTS.md").read_text()
