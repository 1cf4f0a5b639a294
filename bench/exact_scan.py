"""Single-query exact search: karnoxel against numpy brute force.

10,000 x 384 float32 points, one query per call from Python. numpy computes
`X @ q` and selects the top k with argpartition + argsort. Each side runs its
queries in a block (so each keeps its own data warm in cache), blocks
alternate for several rounds, and the median per-query time is reported.
numpy is measured with BLAS on one thread (the fair comparison: one search
runs on one thread) and with its default thread count.

From 500 points on a store answers through its graph, so the store measured
here is loaded from a snapshot image that holds the points and no graph
nodes (bench/common.py: exact_store): such a store answers every query with
the exact scan (the same scan a small store, a small tenant or an odd-length
query gets).

Also prints upsert and search calls per second from Python lists, and the
per-call cost of converting a 384-float list (a search with limit 0 converts
its query and returns at once).

    python bench/exact_scan.py --quick        # 2 rounds
    python bench/exact_scan.py [--points 10000] [--dim 384] [--k 10]
"""

import platform
import statistics
import sys
import time
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/exact_scan.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import numpy as np
from threadpoolctl import threadpool_limits

import karnoxel
from bench import common


def per_call(fn, items, rounds):
    times = []
    for _ in range(rounds):
        for item in items:
            t = time.perf_counter()
            fn(item)
            times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    parser = common.parser(__doc__, rounds=5)
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--queries", type=int, default=100)
    args = parser.parse_args()
    if args.quick:
        args.rounds = min(args.rounds, 2)

    rng = np.random.default_rng(0)
    X = rng.standard_normal((args.points, args.dim)).astype(np.float32)
    queries = rng.standard_normal((args.queries, args.dim)).astype(np.float32)
    query_lists = [q.tolist() for q in queries]
    rows = X.tolist()

    upserted = karnoxel.VectorStorage()
    t = time.perf_counter()
    for i, row in enumerate(rows):
        upserted.upsert(i, row, None)
    upsert_rate = args.points / (time.perf_counter() - t)
    del upserted
    store = common.exact_store(X)

    k = args.k

    def numpy_search(q):
        scores = X @ q
        top = np.argpartition(-scores, k)[:k]
        return top[np.argsort(-scores[top], kind="stable")]

    print(f"karnoxel exact scan vs numpy: {args.points} x {args.dim} float32, k={k}, "
          f"{platform.machine()}, Python {platform.python_version()}, numpy {np.__version__}")
    print(f"upserts from lists (graph included): {upsert_rate:,.0f}/s")
    overhead = per_call(lambda q: store.search(q, 0, "dot"), query_lists, args.rounds)
    print(f"call + conversion of a {args.dim}-float list (search with limit 0): {overhead * 1e6:.1f} us")
    print()
    print(f"{'metric':<10} {'karnoxel':>10} {'numpy 1T':>10} {'ratio':>7} {'numpy all':>10} {'ratio':>7}")
    for metric in ["dot", "cosine", "l2"]:
        ours, single, multi = [], [], []
        for _ in range(args.rounds):
            ours.append(per_call(lambda q: store.search(q, k, metric), query_lists, 1))
            with threadpool_limits(1):
                single.append(per_call(numpy_search, queries, 1))
            multi.append(per_call(numpy_search, queries, 1))
        o, s, m = statistics.median(ours), statistics.median(single), statistics.median(multi)
        print(f"{metric:<10} {o * 1e3:>8.3f}ms {s * 1e3:>8.3f}ms {o / s:>6.2f}x {m * 1e3:>8.3f}ms {o / m:>6.2f}x")
    print("\nratio = karnoxel time / numpy time (lower is better; numpy computes a dot product for every metric)")


if __name__ == "__main__":
    main()
