"""Scale soak: one store of a million points through its whole life.

Builds N x D points (default 1,000,000 x 128, seeded Gaussian clusters) from
numpy rows, then: searches 1,000 queries one by one, answers them again as
one batch, saves, loads into a fresh store, re-upserts 10% of the points with
new vectors, and searches again. Prints the time of every step, recall@10
against an exact numpy oracle (before and after the re-upserts), the
snapshot size, the peak resident memory, and the store's memory per point
against the 4*D bytes of its raw vectors.

    python bench/soak.py --quick                   # 100,000 points
    python bench/soak.py [--points 1000000] [--dim 128] [--workdir DIR]

Run by hand on an otherwise idle machine; nothing here runs in CI.
"""

import os
import sys
import tempfile
import time
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/soak.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import numpy as np

try:
    from tqdm import tqdm
except ImportError:  # progress is optional
    def tqdm(iterable, **_):
        return iterable

import karnoxel
from bench.common import parser as make_parser
from bench.common import peak_bytes as peak
from bench.common import rss_bytes as rss


def exact_top10(x, queries):
    """Cosine top-10 by brute force: one matrix product per chunk of queries."""
    xn = x / np.linalg.norm(x, axis=1, keepdims=True)
    qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    out = []
    for start in range(0, len(qn), 50):
        sims = qn[start:start + 50] @ xn.T
        out.extend(set(row.tolist()) for row in np.argpartition(-sims, 10, axis=1)[:, :10])
    return out


def recall(answers, truth):
    return float(np.mean([len({h[0] for h in a[:10]} & t) / 10 for a, t in zip(answers, truth)]))


class Step:
    def __init__(self, name):
        self.name = name

    def __enter__(self):
        print(f"{self.name}...", file=sys.stderr, flush=True)
        self.start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.start
        print(f"  {self.name}: {self.seconds:.1f} s", flush=True)


def main():
    parser = make_parser(__doc__)
    parser.add_argument("--points", type=int, help="default 1,000,000 (quick 100,000)")
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--workdir", default=tempfile.gettempdir())
    args = parser.parse_args()
    n, d = args.points or (100_000 if args.quick else 1_000_000), args.dim

    rng = np.random.default_rng(2026)
    clusters = max(100, n // 1000)
    centres = rng.standard_normal((clusters, d)).astype(np.float32) * 3
    x = (centres[rng.integers(0, clusters, n)] + rng.standard_normal((n, d), np.float32)).astype(np.float32)
    q = (centres[rng.integers(0, clusters, args.queries)]
         + rng.standard_normal((args.queries, d), np.float32)).astype(np.float32)
    path = os.path.join(args.workdir, "karnoxel-soak.snap")
    print(f"soak: {n:,} x {d}, {args.queries} queries, cosine")

    base = rss()
    store = karnoxel.VectorStorage()
    with Step("build (one upsert per point, numpy rows)") as build:
        for i in tqdm(range(n), mininterval=5, file=sys.stderr):
            store.upsert(i, x[i], {"tenant_id": "even" if i % 2 == 0 else "odd"})
    store_bytes = rss() - base
    print(f"  {n / build.seconds:,.0f} upserts/s; store {store_bytes / 2**20:,.0f} MiB = "
          f"{store_bytes / n:.0f} B per point (raw vectors {4 * d} B)")

    with Step("exact oracle"):
        truth = exact_top10(x, q)
    with Step("search, one query per call") as single:
        answers = [store.search(v, 10, "cosine") for v in q]
    print(f"  {args.queries / single.seconds:,.0f} queries/s, recall@10 {recall(answers, truth):.4f}")
    with Step("batch_search, all queries at once") as batch:
        batched = store.batch_search(q, 10, "cosine")
    print(f"  {args.queries / batch.seconds:,.0f} queries/s, identical to the single searches: {batched == answers}")
    with Step("tenant search ('even', half the store)") as tenant:
        even = [store.search(v, 10, "cosine", "even") for v in q[:200]]
    print(f"  {200 / tenant.seconds:,.0f} queries/s, all hits even: {all(h[0] % 2 == 0 for a in even for h in a)}")

    with Step("save"):
        store.save(path)
    size = os.path.getsize(path)
    print(f"  snapshot {size / 2**20:,.0f} MiB")
    del store
    loaded = karnoxel.VectorStorage()
    with Step("load into a fresh store"):
        loaded.load(path)
    again = [loaded.search(v, 10, "cosine") for v in q[:100]]
    print(f"  same answers after load: {again == answers[:100]}")

    moved = rng.choice(n, size=n // 10, replace=False)
    fresh = (centres[rng.integers(0, clusters, len(moved))]
             + rng.standard_normal((len(moved), d), np.float32)).astype(np.float32)
    with Step("re-upsert 10% with new vectors") as reup:
        for i, v in zip(tqdm(moved, mininterval=5, file=sys.stderr), fresh):
            loaded.upsert(int(i), v, None)
    print(f"  {len(moved) / reup.seconds:,.0f} upserts/s")
    x[moved] = fresh
    with Step("exact oracle on the updated data"):
        truth = exact_top10(x, q)
    with Step("search again") as after:
        answers = [loaded.search(v, 10, "cosine") for v in q]
    print(f"  {args.queries / after.seconds:,.0f} queries/s, recall@10 {recall(answers, truth):.4f}")
    print(f"peak resident memory {peak() / 2**20:,.0f} MiB (the numpy data set itself: {x.nbytes / 2**20:,.0f} MiB)")
    os.remove(path)


if __name__ == "__main__":
    main()
