"""Benchmark datasets: generation, cache under bench/data/, exact ground truth.

Every dataset has float32 points (ids are row numbers), float32 queries, a
metric ("l2" or "cosine") and the exact top-100 of every query, computed with
numpy in float64 in chunks. The tenants dataset also has a tenant per point
and a per-tenant exact top-100 for its tenant queries.

Synthetic data is seeded, so a cache can always be rebuilt bit for bit; each
cache has a .meta.json with the parameters it was made with, and a cache
whose parameters differ is rebuilt.
"""

import json
import os
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
DATA_DIR = BENCH_DIR / "data"
GT_K = 100
GT_CHUNK = 256

# Tenant shares of the points; the rest of the points carry no tenant.
TENANT_SHARES = [("share-50", 0.50), ("share-20", 0.20), ("share-5", 0.05),
                 ("share-1", 0.01), ("share-0.1", 0.001)]
SINGLE_TENANTS = 5

# name -> parameters; "quick_n" is the point count in quick mode.
DATASETS = {
    "clustered-128": dict(kind="clustered", n=100_000, quick_n=20_000, dim=128, clusters=1000,
                          spread=1.5, normalize=False, metric="l2", queries=1000, seed=1),
    "normalized-384": dict(kind="clustered", n=50_000, quick_n=50_000, dim=384, clusters=200,
                           spread=2.5, normalize=True, metric="cosine", queries=1000, seed=2),
    "text-384": dict(kind="text", n=50_000, quick_n=50_000, dim=384, metric="cosine", queries=1000),
    "tenants": dict(kind="tenants", base="clustered-128", n=100_000, quick_n=20_000, dim=128,
                    metric="l2", queries=1000, tenant_queries=1000, quick_tenant_queries=200, seed=3),
}


@dataclass
class Dataset:
    name: str            # base name, e.g. "clustered-128"
    label: str           # name with the size when it is not the full one, e.g. "clustered-128-20k"
    metric: str          # "l2" or "cosine"
    points: np.ndarray   # (n, d) float32
    queries: np.ndarray  # (q, d) float32
    gt: np.ndarray       # (q, 100) int64: exact top-100 point ids, best first
    params: dict = field(default_factory=dict)
    # tenants only
    tenant_names: list = field(default_factory=list)
    tenant_of: np.ndarray = None     # (n,) int32 index into tenant_names, -1 for no tenant
    tenant_gt: dict = field(default_factory=dict)  # tenant name -> (tq, <=100) int64 ids
    tenant_queries: int = 0          # the first tenant_queries queries are asked of every tenant

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
        info.update({k: v for k, v in self.params.items() if k not in ("n", "quick_n", "quick_tenant_queries")})
        if self.tenant_names:
            info["tenants"] = {t: int((self.tenant_of == i).sum()) for i, t in enumerate(self.tenant_names)}
            info["tenant_queries"] = self.tenant_queries
            info["no_tenant"] = int((self.tenant_of < 0).sum())
        return info


def size_label(name, n):
    full = DATASETS[name]["n"]
    return name if n == full else f"{name}-{n // 1000}k"


# ---------------------------------------------------------------- generation

def gaussian_mixture(n, queries, dim, clusters, spread, normalize, seed):
    """Points and queries drawn from one mixture: cluster centres from N(0, 1),
    each sample its centre plus N(0, spread^2) noise per coordinate."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim), dtype=np.float32)

    def draw(count):
        which = rng.integers(0, clusters, size=count)
        out = centres[which]
        out += rng.standard_normal((count, dim), dtype=np.float32) * np.float32(spread)
        return out

    points, qs = draw(n), draw(queries)
    if normalize:
        points = normalized(points)
        qs = normalized(qs)
    return np.ascontiguousarray(points), np.ascontiguousarray(qs)


def normalized(x):
    x = np.asarray(x, dtype=np.float32)
    norms = np.linalg.norm(x.astype(np.float64), axis=1, keepdims=True)
    norms[norms == 0] = 1
    return (x / norms).astype(np.float32)


def assign_tenants(n, seed):
    """Tenant index per point (-1: none): the shares of TENANT_SHARES, then
    SINGLE_TENANTS tenants of one point each, on a random permutation."""
    names = [name for name, _ in TENANT_SHARES] + [f"single-{i + 1}" for i in range(SINGLE_TENANTS)]
    sizes = [max(1, round(n * share)) for _, share in TENANT_SHARES] + [1] * SINGLE_TENANTS
    if sum(sizes) > n:
        raise ValueError(f"{n} points are too few for the tenant shares")
    order = np.random.default_rng(seed).permutation(n)
    tenant_of = np.full(n, -1, dtype=np.int32)
    start = 0
    for index, size in enumerate(sizes):
        tenant_of[order[start:start + size]] = index
        start += size
    return names, tenant_of


# ---------------------------------------------------------------- ground truth

def exact_top(points, queries, metric, k=GT_K, ids=None, chunk=GT_CHUNK):
    """Exact top-k ids per query (best first), computed in float64.

    metric "l2" ranks by Euclidean distance, "cosine" by cosine similarity
    (rows are normalized here, so callers may pass raw vectors). `ids` maps
    row numbers to the ids returned (default: the row numbers)."""
    x = np.asarray(points, dtype=np.float64)
    q = np.asarray(queries, dtype=np.float64)
    if metric == "cosine":
        x = x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-300)
        q = q / np.maximum(np.linalg.norm(q, axis=1, keepdims=True), 1e-300)
    elif metric != "l2":
        raise ValueError(f"unknown metric {metric!r}")
    k = min(k, len(x))
    sq = (x * x).sum(axis=1) if metric == "l2" else None
    out = np.empty((len(q), k), dtype=np.int64)
    for start in range(0, len(q), chunk):
        block = q[start:start + chunk] @ x.T
        # Lower cost is better: squared distance (minus the query's constant norm) or negated similarity.
        cost = sq[None, :] - 2 * block if metric == "l2" else -block
        if k < len(x):
            part = np.argpartition(cost, k - 1, axis=1)[:, :k]
        else:
            part = np.tile(np.arange(len(x)), (len(block), 1))
        order = np.argsort(np.take_along_axis(cost, part, axis=1), axis=1, kind="stable")
        out[start:start + len(block)] = np.take_along_axis(part, order, axis=1)
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


def _text_cache(embed_python):
    """The cached embeddings, made by bench/embed_debian.py under `embed_python` when missing."""
    corpus, queries = DATA_DIR / "debian-minilm.corpus.npy", DATA_DIR / "debian-minilm.queries.npy"
    if not corpus.exists() or not queries.exists():
        script = BENCH_DIR / "embed_debian.py"
        print(f"text-384: no cached embeddings; running {embed_python} {script.name} "
              f"(a few minutes on 2 cores)", file=sys.stderr, flush=True)
        try:
            subprocess.run([embed_python, str(script), "--out-dir", str(DATA_DIR)], check=True)
        except (OSError, subprocess.CalledProcessError) as error:
            raise RuntimeError(f"text-384 embedding failed under {embed_python!r}: {error} "
                               "(see bench/README.md for the embedding environment)") from error
    return np.load(corpus), np.load(queries)


def load(name, quick=False, embed_python="python3", log=None):
    """The dataset `name` at its quick or full size, generated and cached on first use."""
    spec = dict(DATASETS[name])
    n = spec["quick_n"] if quick else spec["n"]
    label = size_label(name, n)
    params = {k: v for k, v in spec.items() if k not in ("quick_n", "quick_tenant_queries")}
    params["n"] = n
    if spec["kind"] == "tenants":
        params["tenant_queries"] = spec["quick_tenant_queries"] if quick else spec["tenant_queries"]
    say = log or (lambda message: print(message, file=sys.stderr, flush=True))

    parts = _cached(label, params)
    if parts is None:
        if spec["kind"] == "text":
            corpus, queries = _text_cache(embed_python)
            if len(corpus) < n:
                raise RuntimeError(f"text-384 cache has {len(corpus)} points, {n} wanted")
            points, queries = normalized(corpus[:n]), normalized(queries[:spec["queries"]])
        elif spec["kind"] == "tenants":
            base = load(spec["base"], quick=quick, log=log)
            points, queries = base.points, base.queries
        else:
            points, queries = gaussian_mixture(n, spec["queries"], spec["dim"], spec["clusters"],
                                               spec["spread"], spec["normalize"], spec["seed"])
        say(f"{label}: computing exact top-{GT_K} for {len(queries)} queries over {n} points")
        parts = {"points": points, "queries": queries, "gt": exact_top(points, queries, spec["metric"])}
        if spec["kind"] == "tenants":
            names, tenant_of = assign_tenants(n, spec["seed"])
            parts["tenant_of"] = tenant_of
            tq = queries[:params["tenant_queries"]]
            for index, tenant in enumerate(names):
                members = np.flatnonzero(tenant_of == index)
                parts[f"tgt-{tenant}"] = exact_top(points[members], tq, spec["metric"], ids=members)
        _store(label, params, parts)
        parts = _cached(label, params)

    data = Dataset(name=name, label=label, metric=spec["metric"], points=parts["points"],
                   queries=parts["queries"], gt=parts["gt"], params=params)
    if spec["kind"] == "tenants":
        data.tenant_names, _ = assign_tenants(n, spec["seed"])
        data.tenant_of = np.load(DATA_DIR / f"{label}.tenant_of.npy")
        data.tenant_queries = params["tenant_queries"]
        data.tenant_gt = {t: np.load(DATA_DIR / f"{label}.tgt-{t}.npy") for t in data.tenant_names}
    return data


# ---------------------------------------------------------------- recall

def recall(found, truth, k):
    """Mean over queries of |found[:k] & truth[:k]| / min(k, len(truth row)).

    `found` is a sequence of id sequences (rows may be short or padded with
    negative ids); `truth` a 2-d array of exact ids, best first."""
    if len(found) == 0:
        return float("nan")
    want = min(k, truth.shape[1])
    if want == 0:
        return float("nan")
    total = 0.0
    for row, exact in zip(found, truth):
        hits = {int(i) for i in list(row)[:k] if i >= 0}
        total += len(hits.intersection(exact[:want].tolist())) / want
    return total / len(found)
