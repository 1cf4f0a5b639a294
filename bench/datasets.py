"""Benchmark datasets: generation, cache under bench/data/, exact ground truth.

Every dataset has float32 points (ids are row numbers), float32 queries, a
metric ("cosine", "dot" or "l2") and the exact top-100 of every query by that
metric. The tenant datasets also have a tenant per point and a per-tenant
exact top-100 for the first queries.

Ground truth: a float32 matrix product picks each query's best 100 + margin
candidates, which are then re-scored and ordered in float64; a query whose
float64 100th score is not clearly better than the best float32 score left
out is redone entirely in float64, so the top-100 is exact in float64.

Synthetic data is seeded, so a cache can always be rebuilt bit for bit; each
cache has a .meta.json with the parameters it was made with, and a cache
whose parameters differ is rebuilt. The text datasets come from the
embeddings bench/embed_debian.py makes of the committed text pool.
"""

import json
import math
import os
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from bench import common
from bench.common import BENCH_DIR, DATA_DIR

recall = common.recall   # recall is computed where the datasets are

GT_K = 100
METRICS = ("cosine", "dot", "l2")

# Tenant shares of the points of "tenants"; the rest of the points carry no tenant.
TENANT_SHARES = [("share-50", 0.50), ("share-20", 0.20), ("share-5", 0.05),
                 ("share-1", 0.01), ("share-0.1", 0.001)]
SINGLE_TENANTS = 5
# "tenants-zipf": tenant i (from 1) holds ZIPF_TOP * n / i**ZIPF_EXPONENT points, down to ZIPF_SMALLEST:
# 50%, 11%, 4.5%, 2.4%, ... of the points.
ZIPF_TOP, ZIPF_EXPONENT, ZIPF_SMALLEST = 0.5, math.log2(0.5 / 0.11), 2

TEXT_QUERIES = 1000

# name -> parameters. "quick_n": the point count in quick mode; "mode": the
# lightest run mode that includes the dataset by default (quick < full < long).
# text: "raw" vectors are the model's un-normalised output, otherwise L2-normalised ("text-384-dot":
# the normalised ones searched by dot product, as many services search normalised embeddings).
# norms-128: 100 clusters of 1,000 points (at full size) whose every vector is scaled by a
# log-normal factor: lengths spread about tenfold, as the raw text embeddings' do. (Independent
# scaling of the looser 1,000-cluster mixture leaves no useful L2 neighbourhoods: hnswlib stays
# below recall 0.65 there at any ef.)
DATASETS = {
    "clustered-128": dict(kind="clustered", n=100_000, quick_n=20_000, dim=128, clusters=1000,
                          spread=1.5, normalize=False, metric="l2", queries=1000, seed=1, mode="quick"),
    "normalized-384": dict(kind="clustered", n=50_000, quick_n=50_000, dim=384, clusters=200,
                           spread=2.5, normalize=True, metric="cosine", queries=1000, seed=2, mode="quick"),
    "text-384": dict(kind="text", n=50_000, quick_n=50_000, dim=384, raw=False, metric="cosine",
                     queries=TEXT_QUERIES, mode="quick"),
    "text-384-dot": dict(kind="text", n=50_000, quick_n=50_000, dim=384, raw=False, metric="dot",
                         queries=TEXT_QUERIES, mode="quick"),
    "text-384-raw-dot": dict(kind="text", n=50_000, quick_n=50_000, dim=384, raw=True, metric="dot",
                             queries=TEXT_QUERIES, mode="quick"),
    "text-384-raw-l2": dict(kind="text", n=50_000, quick_n=50_000, dim=384, raw=True, metric="l2",
                            queries=TEXT_QUERIES, mode="quick"),
    "norms-128-dot": dict(kind="clustered", n=100_000, quick_n=20_000, dim=128, clusters=100, spread=1.0,
                          normalize=False, norm_sigma=0.5, metric="dot", queries=1000, seed=4, mode="quick"),
    "norms-128-l2": dict(kind="clustered", n=100_000, quick_n=20_000, dim=128, clusters=100, spread=1.0,
                         normalize=False, norm_sigma=0.5, metric="l2", queries=1000, seed=4, mode="quick"),
    "tenants": dict(kind="tenants", base="clustered-128", n=100_000, quick_n=20_000, dim=128,
                    metric="l2", queries=1000, tenant_queries=1000, quick_tenant_queries=200, seed=3,
                    tenant_ef=64, mode="quick"),
    "tenants-zipf": dict(kind="tenants-zipf", n=100_000, quick_n=100_000, dim=384, metric="cosine",
                         queries=TEXT_QUERIES, tenant_queries=1000, quick_tenant_queries=100, seed=5,
                         tenant_ef=None, mode="quick"),
    "text-384-200k": dict(kind="text", n=200_000, quick_n=200_000, dim=384, raw=False, metric="cosine",
                          queries=TEXT_QUERIES, mode="full"),
    "text-384-raw-dot-200k": dict(kind="text", n=200_000, quick_n=200_000, dim=384, raw=True, metric="dot",
                                  queries=TEXT_QUERIES, mode="full"),
    "text-384-raw-l2-200k": dict(kind="text", n=200_000, quick_n=200_000, dim=384, raw=True, metric="l2",
                                 queries=TEXT_QUERIES, mode="full"),
    "clustered-128-1m": dict(kind="clustered", n=1_000_000, quick_n=1_000_000, dim=128, clusters=1000,
                             spread=1.5, normalize=True, metric="cosine", queries=1000, seed=6, mode="long"),
}
MODES = ("quick", "full", "long")
# Parameters that choose nothing about the data (kept out of the cache key).
NOT_DATA = ("quick_n", "quick_tenant_queries", "mode", "tenant_ef")


def default_names(mode):
    """The datasets a run of `mode` measures unless told otherwise."""
    return [name for name, spec in DATASETS.items() if MODES.index(spec["mode"]) <= MODES.index(mode)]


@dataclass
class Dataset:
    name: str            # base name, e.g. "clustered-128"
    label: str           # name with the size when it is not the full one, e.g. "clustered-128-20k"
    metric: str          # "cosine", "dot" or "l2"
    points: np.ndarray   # (n, d) float32
    queries: np.ndarray  # (q, d) float32
    gt: np.ndarray       # (q, 100) int64: exact top-100 point ids, best first
    params: dict = field(default_factory=dict)
    # tenant datasets only
    tenant_names: list = field(default_factory=list)
    tenant_of: np.ndarray = None     # (n,) int32 index into tenant_names, -1 for no tenant
    tenant_gt: dict = field(default_factory=dict)  # tenant name -> (tq, <=100) int64 ids
    tenant_queries: int = 0          # the first tenant_queries queries are asked of every tenant
    tenant_ef: int = None            # breadth of the tenant searches (None: each system's default)

    @property
    def n(self):
        return len(self.points)

    @property
    def dim(self):
        return self.points.shape[1]

    def tenant_members(self, name):
        return np.flatnonzero(self.tenant_of == self.tenant_names.index(name))

    def describe(self):
        info = {"name": self.name, "label": self.label, "n": self.n, "dim": self.dim,
                "queries": len(self.queries), "metric": self.metric, "gt_k": self.gt.shape[1]}
        info.update({k: v for k, v in self.params.items() if k not in NOT_DATA + ("n",)})
        if self.tenant_names:
            info["tenants"] = {t: int((self.tenant_of == i).sum()) for i, t in enumerate(self.tenant_names)}
            info["tenant_queries"] = self.tenant_queries
            info["tenant_ef"] = self.tenant_ef
            info["no_tenant"] = int((self.tenant_of < 0).sum())
        return info


def size_label(name, n):
    full = DATASETS[name]["n"]
    return name if n == full else f"{name}-{n // 1000}k"


# ---------------------------------------------------------------- generation

def gaussian_mixture(n, queries, dim, clusters, spread, normalize, seed, norm_sigma=0.0):
    """Points and queries drawn from one mixture: cluster centres from N(0, 1),
    each sample its centre plus N(0, spread^2) noise per coordinate. With
    norm_sigma > 0 every sample is then scaled by exp(N(0, norm_sigma^2)), so
    lengths vary (log-normally) around the mixture's own."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim), dtype=np.float32)

    def draw(count):
        out = np.empty((count, dim), dtype=np.float32)
        for start in range(0, count, 100_000):   # bounded temporaries at 1M points
            m = min(100_000, count - start)
            block = centres[rng.integers(0, clusters, size=m)]
            block += rng.standard_normal((m, dim), dtype=np.float32) * np.float32(spread)
            if norm_sigma:
                block *= np.exp(rng.normal(0.0, norm_sigma, size=(m, 1))).astype(np.float32)
            out[start:start + m] = block
        return out

    points, qs = draw(n), draw(queries)
    if normalize:
        points = normalized(points)
        qs = normalized(qs)
    return np.ascontiguousarray(points), np.ascontiguousarray(qs)


def normalized(x):
    x = np.asarray(x, dtype=np.float32)
    out = np.empty_like(x)
    for start in range(0, len(x), 100_000):
        block = x[start:start + 100_000].astype(np.float64)
        norms = np.linalg.norm(block, axis=1, keepdims=True)
        norms[norms == 0] = 1
        out[start:start + 100_000] = block / norms
    return out


def assign_tenants(n, seed):
    """Tenant index per point (-1: none): the shares of TENANT_SHARES, then
    SINGLE_TENANTS tenants of one point each, on a random permutation."""
    names = [name for name, _ in TENANT_SHARES] + [f"single-{i + 1}" for i in range(SINGLE_TENANTS)]
    sizes = [max(1, round(n * share)) for _, share in TENANT_SHARES] + [1] * SINGLE_TENANTS
    return names, deal(n, sizes, seed)


def zipf_sizes(n, top=ZIPF_TOP, exponent=ZIPF_EXPONENT, smallest=ZIPF_SMALLEST):
    """Tenant sizes top*n/i**exponent for i = 1, 2, ... while they are >= smallest."""
    sizes, i = [], 1
    while True:
        size = round(top * n / i ** exponent)
        if size < smallest:
            return sizes
        sizes.append(size)
        i += 1


def assign_zipf_tenants(n, seed):
    """Tenant index per point (-1: none) for Zipf-sized tenants "zipf-001" (the largest) onwards."""
    sizes = zipf_sizes(n)
    names = [f"zipf-{i + 1:03d}" for i in range(len(sizes))]
    return names, deal(n, sizes, seed)


def deal(n, sizes, seed):
    """Tenant index per point (-1: none) for tenants of `sizes` points, dealt on a random permutation."""
    if sum(sizes) > n:
        raise ValueError(f"{n} points are too few for tenants of {sum(sizes)} points")
    order = np.random.default_rng(seed).permutation(n)
    tenant_of = np.full(n, -1, dtype=np.int32)
    start = 0
    for index, size in enumerate(sizes):
        tenant_of[order[start:start + size]] = index
        start += size
    return tenant_of


# ---------------------------------------------------------------- ground truth

def _cost64(x, q, metric):
    """Cost (lower is better) of rows x (..., d) for query q (d,), in float64."""
    if metric == "l2":
        diff = x - q
        return np.einsum("...d,...d->...", diff, diff)
    return -(x @ q)


def _rerank(x, qd, metric, candidates, k, bound):
    """The best k of `candidates` (row numbers) ordered in float64, ties by row number;
    None unless the k-th is better than `bound`, the float32 cost of the best row left out."""
    rows = np.sort(candidates)
    exact = _cost64(x[rows].astype(np.float64), qd, metric)
    order = np.argsort(exact, kind="stable")[:k]
    return rows[order] if exact[order[-1]] < bound else None


def exact_top(points, queries, metric, k=GT_K, ids=None, chunk=None, margin=None):
    """Exact top-k ids per query (best first) by `metric`, in float64.

    "cosine" ranks by cosine similarity (rows are normalized here, so callers
    may pass raw vectors), "dot" by inner product, "l2" by Euclidean distance.
    `ids` maps row numbers to the ids returned (default: the row numbers).
    Candidates come from a float32 product (see the module's docstring)."""
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r}")
    x = np.asarray(points, dtype=np.float32)
    q = np.asarray(queries, dtype=np.float32)
    if metric == "cosine":
        x, q = normalized(x), normalized(q)
    n = len(x)
    k = min(k, n)
    out = np.empty((len(q), k), dtype=np.int64)
    if k == 0:
        return out
    margin = max(16, k // 2) if margin is None else margin
    candidates = min(n, k + margin)
    chunk = chunk or max(1, min(256, (1 << 25) // max(n, 1)))
    sq = np.einsum("nd,nd->n", x, x) if metric == "l2" else None
    # A float32 score is off by at most about dim * 2**-23 times the vectors' scale.
    biggest = float(np.sqrt(np.max(np.einsum("nd,nd->n", x, x)))) if n else 0.0
    tolerance = x.shape[1] * 2.0 ** -23
    x64 = sq64 = None   # the points in float64, made on the first row that needs them
    for start in range(0, len(q), chunk):
        block = q[start:start + chunk]
        cost = -(block @ x.T) if metric != "l2" else sq[None, :] - 2 * (block @ x.T)
        if candidates < n:
            part = np.argpartition(cost, candidates, axis=1)[:, :candidates + 1]
            left_out = np.take_along_axis(cost, part[:, candidates:], axis=1)[:, 0]
            part = part[:, :candidates]
        else:
            part = np.tile(np.arange(n), (len(block), 1))
            left_out = np.full(len(block), np.inf)
        for row in range(len(block)):
            qd = block[row].astype(np.float64)
            scale = (biggest + float(np.linalg.norm(qd))) ** 2 if metric == "l2" else \
                biggest * float(np.linalg.norm(qd))
            # The float32 l2 cost leaves out the query's own |q|^2; the float64 one has it.
            shift = float(qd @ qd) if metric == "l2" else 0.0
            best = _rerank(x, qd, metric, part[row], k, left_out[row] + shift - tolerance * scale)
            if best is None and 20 * candidates < n:
                # Too close to call: 20 times the candidates, from this row's float32 costs.
                wide = np.argpartition(cost[row], 20 * candidates)[:20 * candidates + 1]
                best = _rerank(x, qd, metric, wide[:-1], k, cost[row][wide[-1]] + shift - tolerance * scale)
            if best is None:
                # Still too close: the whole row in float64.
                if x64 is None:
                    x64 = x.astype(np.float64)
                    sq64 = np.einsum("nd,nd->n", x64, x64)
                full = sq64 - 2 * (x64 @ qd) if metric == "l2" else -(x64 @ qd)
                best = np.argsort(full, kind="stable")[:k]
            out[start + row] = best
    return out if ids is None else np.asarray(ids, dtype=np.int64)[out]


# ---------------------------------------------------------------- cache

def _paths(label):
    base = DATA_DIR / label
    return {part: Path(f"{base}.{part}.npy") for part in ("points", "queries", "gt")}, Path(f"{base}.meta.json")


def _save(path, array):
    tmp = path.with_name(path.name + ".tmp.npy")
    np.save(tmp, array)
    os.replace(tmp, path)


def _cached(label, params):
    arrays, meta = _paths(label)
    if not meta.exists() or not all(p.exists() for p in arrays.values()):
        return None
    try:
        if json.loads(meta.read_text()).get("params") != params:
            return None
    except ValueError:
        return None
    return {part: np.load(p) for part, p in arrays.items()}


def _store(label, params, parts):
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    arrays, meta = _paths(label)
    for part, path in arrays.items():
        _save(path, parts[part])
    for part, array in parts.items():
        if part not in arrays:
            _save(DATA_DIR / f"{label}.{part}.npy", array)
    meta.write_text(json.dumps({"params": params}, indent=1))


def text_vectors(count, embed_python):
    """The first `count` raw embeddings of the text pool's fixed order, made by
    bench/embed_debian.py under `embed_python` when the cache lacks them."""
    sys.path.insert(0, str(BENCH_DIR))
    try:
        import embed_debian
    finally:
        sys.path.pop(0)
    want = Path(embed_debian.CHECKSUM).read_text().split()[0]
    raw, meta = DATA_DIR / f"{embed_debian.PREFIX}.raw.npy", DATA_DIR / f"{embed_debian.PREFIX}.meta.json"

    def usable():
        try:
            info = json.loads(meta.read_text())
        except (OSError, ValueError):
            return False
        return raw.exists() and info.get("texts_sha256") == want and info.get("count", 0) >= count

    if not usable():
        script = BENCH_DIR / "embed_debian.py"
        print(f"text datasets: embedding the first {count} texts with {embed_python} {script.name} "
              f"(about {count / 170 / 60:.0f} minutes on 2 cores)", file=sys.stderr, flush=True)
        try:
            subprocess.run([embed_python, str(script), "--count", str(count), "--out-dir", str(DATA_DIR)],
                           check=True)
        except (OSError, subprocess.CalledProcessError) as error:
            raise RuntimeError(f"text embedding failed under {embed_python!r}: {error} "
                               "(see bench/README.md for the embedding environment)") from error
        if not usable():
            raise RuntimeError("text embedding finished without a usable cache")
    return np.load(raw, mmap_mode="r")[:count]


def load(name, quick=False, embed_python="python3", log=None):
    """The dataset `name` at its quick or full size, generated and cached on first use."""
    spec = dict(DATASETS[name])
    n = spec["quick_n"] if quick else spec["n"]
    label = size_label(name, n)
    params = {k: v for k, v in spec.items() if k not in NOT_DATA}
    params["n"] = n
    if spec["kind"] in ("tenants", "tenants-zipf"):
        params["tenant_queries"] = spec["quick_tenant_queries"] if quick else spec["tenant_queries"]
    say = log or (lambda message: print(message, file=sys.stderr, flush=True))

    parts = _cached(label, params)
    if parts is None:
        if spec["kind"] in ("text", "tenants-zipf"):
            raw = np.asarray(text_vectors(spec["queries"] + n, embed_python), dtype=np.float32)
            queries, points = raw[:spec["queries"]], raw[spec["queries"]:]
            if not spec.get("raw"):
                points, queries = normalized(points), normalized(queries)
        elif spec["kind"] == "tenants":
            base = load(spec["base"], quick=quick, log=log)
            points, queries = base.points, base.queries
        else:
            points, queries = gaussian_mixture(n, spec["queries"], spec["dim"], spec["clusters"],
                                               spec["spread"], spec["normalize"], spec["seed"],
                                               spec.get("norm_sigma", 0.0))
        points, queries = np.ascontiguousarray(points), np.ascontiguousarray(queries)
        say(f"{label}: computing exact top-{GT_K} ({spec['metric']}) for {len(queries)} queries over {n} points")
        parts = {"points": points, "queries": queries, "gt": exact_top(points, queries, spec["metric"])}
        if spec["kind"] in ("tenants", "tenants-zipf"):
            names, tenant_of = _tenants(spec["kind"], n, spec["seed"])
            parts["tenant_of"] = tenant_of
            tq = queries[:params["tenant_queries"]]
            for index, tenant in enumerate(names):
                members = np.flatnonzero(tenant_of == index)
                parts[f"tgt-{tenant}"] = exact_top(points[members], tq, spec["metric"], ids=members)
        _store(label, params, parts)
        parts = _cached(label, params)

    data = Dataset(name=name, label=label, metric=spec["metric"], points=parts["points"],
                   queries=parts["queries"], gt=parts["gt"], params=params)
    if spec["kind"] in ("tenants", "tenants-zipf"):
        data.tenant_names, _ = _tenants(spec["kind"], n, spec["seed"])
        data.tenant_of = np.load(DATA_DIR / f"{label}.tenant_of.npy")
        data.tenant_queries = params["tenant_queries"]
        data.tenant_ef = spec.get("tenant_ef")
        data.tenant_gt = {t: np.load(DATA_DIR / f"{label}.tgt-{t}.npy") for t in data.tenant_names}
    return data


def _tenants(kind, n, seed):
    return assign_tenants(n, seed) if kind == "tenants" else assign_zipf_tenants(n, seed)
