"""Scores are bit-exact under the accumulation rule: start at -0.0, one
rounded product per term, added in index order. Checked against a numpy
float32 reference on every SIMD path the CPU has."""

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from karnoxel import VectorStorage
from conftest import bits, ref_scores
from snapshot_format import snapshot

METRICS = ["dot", "l2", "cosine"]
LENGTHS = [0, 1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 97, 128, 255, 256, 257, 300]


def special_rows(rng, n, count=40):
    x = rng.standard_normal((count, n)).astype(np.float32) * rng.choice([1e-3, 1.0, 1e3], size=(count, 1))
    x = x.astype(np.float32)
    if n:
        x[0] = -0.0
        x[1] = 0.0
        x[2, 0] = np.inf
        x[3, 0] = np.nan
        x[4] = np.float32(1e-23)  # squares underflow to zero
        x[5] = np.float32(1e-40)  # subnormal
        x[6, ::2] = -0.0
        x[7] = np.float32(3e38)  # squares overflow
        x[8] = x[9]  # exact duplicates
    return x


def check_scores(store_rows, query, metric, hits):
    expected, defined = ref_scores(query, store_rows, metric)
    got = dict(hits)
    assert set(got) == {i for i in range(len(store_rows)) if defined[i]}
    for i, score in got.items():
        if math.isnan(expected[i]):
            assert math.isnan(score), (i, score)
        else:
            assert bits(score) == bits(expected[i]), (metric, i, score, expected[i])


@pytest.mark.parametrize("n", LENGTHS)
def test_scores_match_reference(rng, n):
    rows = special_rows(rng, n)
    store = VectorStorage()
    for i, row in enumerate(rows):
        store.upsert(i, row.tolist(), None)
    queries = [rng.standard_normal(n).astype(np.float32), rows[9], np.full(n, -0.0, np.float32)]
    for q in queries:
        for metric in METRICS:
            check_scores(rows, q, metric, store.search(q.tolist(), 1000, metric))


@pytest.mark.parametrize(
    "query, stored, metric, expected",
    [
        ([], [], "dot", -0.0),
        ([], [], "l2", -0.0),
        ([0.0], [-1.0], "dot", -0.0),
        ([0.0], [1.0], "dot", 0.0),
        ([-0.0, -0.0], [1.0, 1.0], "dot", -0.0),
        ([0.0, 0.0], [3.0, 4.0], "l2", 5.0),
        ([1.0, 1.0], [1.0, 1.0], "l2", 0.0),
        ([3.0, 4.0], [3.0, 4.0], "cosine", 1.0),
        ([1.0, 0.0], [-1.0, 0.0], "cosine", -1.0),
    ],
)
def test_signed_zero_and_known_values(query, stored, metric, expected):
    store = VectorStorage()
    store.upsert(1, stored, None)
    ((_, score),) = store.search(query, 1, metric)
    assert score == expected and math.copysign(1.0, score) == math.copysign(1.0, expected)


@pytest.mark.parametrize(
    "query, stored",
    [
        ([0.0, 0.0], [1.0, 2.0, 3.0]),  # dimension checked first
        ([0.0, 0.0, 0.0], [1.0, 1.0, 1.0]),
        ([1e-23], [1.0]),  # square underflows: zero magnitude
        ([1.0], [1e-23]),
        ([], []),
    ],
)
def test_cosine_undefined_is_left_out(query, stored):
    store = VectorStorage()
    store.upsert(1, stored, None)
    assert store.search(query, 5, "cosine") == []


def test_cosine_is_not_clamped(rng):
    store = VectorStorage()
    vectors = rng.standard_normal((200, 7)).astype(np.float32)
    for i, v in enumerate(vectors):
        store.upsert(i, v.tolist(), None)
    self_scores = [store.search(v.tolist(), 1, "cosine")[0][1] for v in vectors]
    expected = [ref_scores(v, v[None, :], "cosine")[0][0] for v in vectors]
    assert [bits(s) for s in self_scores] == [bits(e) for e in expected]
    assert any(s != 1.0 for s in self_scores)  # last-place differences are kept


@pytest.mark.parametrize(
    "name, ok",
    [
        ("cosine", True), ("COSINE", True), ("Dot", True), ("dot_product", True), ("DOT_PRODUCT", True),
        ("L2", True), ("euclidean", True), ("EUCLIDEAN", True),
        (" cosine", False), ("cos", False), ("dot product", False), ("euclid", False), ("", False),
        ("cosine\x00", False), ("\u212a", False), ("l2 ", False),
    ],
)
def test_metric_names(store, name, ok):
    store.upsert(1, [1.0], None)
    if ok:
        assert store.search([1.0], 1, name)[0][0] == 1
        assert store.batch_search([[1.0], [2.0]], 1, name) == [[(1, store.search([1.0], 1, name)[0][1])],
                                                                store.search([2.0], 1, name)]
    else:
        for call in (lambda: store.search([1.0], 1, name), lambda: store.batch_search([[1.0]], 1, name)):
            with pytest.raises(ValueError):
                call()


def available_paths():
    flags = ""
    try:
        with open("/proc/cpuinfo") as f:
            flags = f.read()
    except OSError:
        pass
    paths = ["scalar"]
    if " avx2" in flags and " fma" in flags:
        paths.append("avx2")
    if " avx512f" in flags:
        paths.append("avx512")
    return paths


PROBE = r"""
import json, sys, numpy as np, karnoxel
rng = np.random.default_rng(7)
out = []
for n in [1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 97, 256]:
    x = rng.standard_normal((41, n)).astype(np.float32)
    x[0] = -0.0; x[1, 0] = np.inf; x[2, 0] = np.nan; x[3] = np.float32(1e-40)
    s = karnoxel.VectorStorage()
    for i, row in enumerate(x): s.upsert(i, row.tolist(), None)
    q = rng.standard_normal(n).astype(np.float32).tolist()
    for m in ["dot", "l2", "cosine"]:
        out.append(sorted((i, np.float32(v).view(np.uint32).item()) for i, v in s.search(q, 100, m)))
json.dump(out, sys.stdout)
"""


def test_every_simd_path_matches_scalar():
    results = {}
    for path in available_paths():
        env = dict(os.environ, KARNOXEL_SIMD=path)
        proc = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, check=True)
        results[path] = json.loads(proc.stdout)
    assert all(r == results["scalar"] for r in results.values()), list(results)


GRAPH_PROBE = r"""
import json, sys, numpy as np, karnoxel
rng = np.random.default_rng(3)
x = rng.standard_normal((900, 37)).astype(np.float32)
s = karnoxel.VectorStorage()
for i, row in enumerate(x): s.upsert(i, row.tolist(), None)
q = rng.standard_normal((5, 37)).astype(np.float32)
out = [[(i, np.float32(v).view(np.uint32).item()) for i, v in s.search(v.tolist(), 40, m)]
       for v in q for m in ["dot", "l2", "cosine"]]
json.dump(out, sys.stdout)
"""


@pytest.mark.parametrize("path", available_paths())
def test_graph_route_scores_are_exact_on_every_simd_path(path):
    # The steering kernels may pick other candidates per path; every score
    # returned must still be the exact one for its point.
    env = dict(os.environ, KARNOXEL_SIMD=path)
    proc = subprocess.run([sys.executable, "-c", GRAPH_PROBE], env=env, capture_output=True, text=True, check=True)
    answers = iter(json.loads(proc.stdout))
    rng = np.random.default_rng(3)
    x = rng.standard_normal((900, 37)).astype(np.float32)
    found = {"dot": 0, "l2": 0, "cosine": 0}
    for q in rng.standard_normal((5, 37)).astype(np.float32):
        for metric in ["dot", "l2", "cosine"]:
            hits = next(answers)
            assert len(hits) == 40
            expected, _ = ref_scores(q, x[[i for i, _ in hits]], metric)
            assert [b for _, b in hits] == [bits(e) for e in expected]
            every, _ = ref_scores(q, x, metric)
            best = np.argsort(every if metric == "l2" else -every, kind="stable")[:40]
            found[metric] += len(set(best.tolist()) & {i for i, _ in hits})
    # 37 values leave a tail after the kernels' full vectors: steering that
    # mishandled it would walk to the wrong nodes.
    assert all(n >= 0.9 * 5 * 40 for n in found.values()), found


TENANT_PROBE = r"""
import json, sys, numpy as np, karnoxel
sys.path.insert(0, sys.argv[1])
from test_metrics import tenant_points
x, q = tenant_points()
s = karnoxel.VectorStorage()
for i, row in enumerate(x): s.upsert(i, row, {"tenant_id": "big"} if i < 1100 else None)
out = [[(i, np.float32(v).view(np.uint32).item()) for i, v in s.search(v, 10, m, "big")]
       for v in q for m in ["dot", "l2", "cosine"]]
json.dump(out, sys.stdout)
"""


def tenant_points():
    """1,100 points of 1,000 floats (a tenant large enough for 8-bit copies, of a
    length that is no multiple of the kernels' width) and 400 others. Their
    values lie in the first 40 or the last 40 places only, so a kernel that
    drops any part of a vector picks the wrong candidates; queries of each kind."""
    rng = np.random.default_rng(5)
    x = np.zeros((1500, 1000), dtype=np.float32)
    q = np.zeros((6, 1000), dtype=np.float32)
    for rows, places in [(x[::2], slice(0, 40)), (x[1::2], slice(960, 1000))]:
        rows[:, places] = rng.standard_normal((len(rows), 40)) * rng.uniform(0.2, 3.0, (len(rows), 1))
    q[:3, :40] = rng.standard_normal((3, 40))
    q[3:, 960:] = rng.standard_normal((3, 40))
    return x, q


def test_tenant_copies_pick_alike_on_every_simd_path():
    # The 8-bit copies' sums are integers: every path picks the same candidates.
    results = {}
    for path in available_paths():
        env = dict(os.environ, KARNOXEL_SIMD=path)
        proc = subprocess.run([sys.executable, "-c", TENANT_PROBE, os.path.dirname(__file__)], env=env,
                              capture_output=True, text=True, check=True)
        results[path] = json.loads(proc.stdout)
    assert all(r == results["scalar"] for r in results.values()), list(results)
    x, queries = tenant_points()
    answers = iter(results["scalar"])
    for q in queries:
        for metric in ["dot", "l2", "cosine"]:
            hits = next(answers)
            expected, _ = ref_scores(q, x[:1100], metric)
            order = np.argsort(expected if metric == "l2" else -expected, kind="stable")[:10]
            assert [i for i, _ in hits] == order.tolist()
            assert [b for _, b in hits] == [bits(e) for e in expected[order]]


DENSE_TENANT_PROBE = r"""
import json, sys, numpy as np, karnoxel
sys.path.insert(0, sys.argv[1])
from test_metrics import dense_tenant_points
x, q = dense_tenant_points()
s = karnoxel.VectorStorage()
for i, row in enumerate(x): s.upsert(i, row, {"tenant_id": "big"} if i < 1203 else None)
json.dump([[i for i, _ in s.search(v, limit, "cosine", "big")] for v in q for limit in (1, 10)], sys.stdout)
"""


def dense_tenant_points():
    """1,203 points of 1,100 values (18 words of signs: more than one run of
    eight, and not a whole number of blocks of entries) in loose clusters, and
    300 others; queries near tenant points, whose nearest the sign pass must
    keep among the few entries it lets through."""
    rng = np.random.default_rng(8)
    centres = rng.standard_normal((40, 1100))
    x = (centres[rng.integers(0, 40, 1503)] + 0.8 * rng.standard_normal((1503, 1100))).astype(np.float32)
    q = (x[rng.choice(1203, 12, replace=False)] + 0.3 * rng.standard_normal((12, 1100))).astype(np.float32)
    return x, q


def test_cosine_tenant_scan_finds_the_nearest_on_every_simd_path():
    # Each path counts the sign bits apart and picks the entries within reach
    # with its own kernels: a count given to the wrong entry, or words left
    # out, would drop a nearest neighbour before its codes are read.
    x, queries = dense_tenant_points()
    expected = []
    for q in queries:
        scores, _ = ref_scores(q, x[:1203], "cosine")
        order = np.argsort(-scores, kind="stable")
        expected += [order[:1].tolist(), order[:10].tolist()]
    for path in available_paths():
        env = dict(os.environ, KARNOXEL_SIMD=path)
        proc = subprocess.run([sys.executable, "-c", DENSE_TENANT_PROBE, os.path.dirname(__file__)], env=env,
                              capture_output=True, text=True, check=True)
        assert json.loads(proc.stdout) == expected, path


def half_rows():
    """400 vectors of 33 floats built from bit patterns that a store keeping
    each float in two 16-bit halves could get wrong: random mantissas (the
    upper half's rounding carries for about half of them), mantissas of all
    ones (the carry reaches the exponent: 1.9999999 becomes 2.0 in the upper
    half), lower halves of exactly 0x8000 and 0x7FFF, subnormals and -0.0
    beside normal values, both signs, magnitudes from 2**-60 to 2**60."""
    rng = np.random.default_rng(11)
    sign = rng.integers(0, 2, (400, 33), dtype=np.uint32) << 31
    exponent = rng.integers(67, 187, (400, 33), dtype=np.uint32) << 23
    mantissa = rng.integers(0, 1 << 23, (400, 33), dtype=np.uint32)
    raw = sign | exponent | mantissa
    raw[::5, 0] |= 0x7FFFFF
    raw[1::5, 1] = (raw[1::5, 1] & 0xFFFF0000) | 0x8000
    raw[2::5, 2] = (raw[2::5, 2] & 0xFFFF0000) | 0x7FFF
    raw[3::5, 3] = 0x0000FFFF
    raw[4::5, 4] = 0x80018000
    raw[::7, 5] = 0x80000000
    return raw.view(np.float32)


HALVES_PROBE = r"""
import json, sys, numpy as np, karnoxel
sys.path.insert(0, sys.argv[1])
from test_metrics import half_rows
x = half_rows()
s = karnoxel.VectorStorage()
for i, row in enumerate(x): s.upsert(i, row, None)
q = np.random.default_rng(2).standard_normal((2, 33)).astype(np.float32)
json.dump([[(i, np.float32(v).view(np.uint32).item()) for i, v in s.search(v, 400, m)]
           for v in [q[0], q[1], x[17]] for m in ["dot", "l2", "cosine"]], sys.stdout)
"""


@pytest.mark.parametrize("path", available_paths())
def test_rows_keep_every_float_bit_for_bit(path, tmp_path):
    x = half_rows()
    env = dict(os.environ, KARNOXEL_SIMD=path)
    proc = subprocess.run([sys.executable, "-c", HALVES_PROBE, os.path.dirname(__file__)], env=env,
                          capture_output=True, text=True, check=True)
    answers = iter(json.loads(proc.stdout))
    for q in [*np.random.default_rng(2).standard_normal((2, 33)).astype(np.float32), x[17]]:
        for metric in METRICS:
            hits = dict(next(answers))
            expected, defined = ref_scores(q, x, metric)
            assert hits == {i: bits(expected[i]) for i in range(len(x)) if defined[i]}, (path, metric)
    store = VectorStorage()
    for i, row in enumerate(x):
        store.upsert(i, row, None)
    image = snapshot(store, tmp_path)
    for key, (_, values, _) in image.points.items():
        assert np.array(values, dtype=np.float32).view(np.uint32).tolist() == x[key].view(np.uint32).tolist()
