"""The graph route against hnswlib, single thread, from Python.

Seeded clustered data (default: 100,000 x 128 and 50,000 x 384, cosine),
1,000 queries from the same mixture, exact top-10 from numpy. For each
system: build rate (karnoxel: one upsert call per point; hnswlib: add_items,
one thread), recall@10 and queries per second over a sweep of breadths
(karnoxel: limit = breadth, first 10 hits; hnswlib: ef = breadth), memory per
point (resident growth while building, in a fresh process per system), and
the ratios the graph is held to:

  recall@10 at the default breadth >= 0.95
  QPS at equal recall >= 1.0x hnswlib (interpolated on hnswlib's curve)
  build rate >= 0.8x hnswlib's add_items
  memory per point <= 1.1x hnswlib's

    python bench/graph_vs_hnswlib.py [--quick]
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

BREADTHS = [10, 16, 24, 32, 48, 64, 96, 128]


def make(n, d, seed):
    rng = np.random.default_rng(seed)
    clusters = max(50, n // 100)
    centres = rng.standard_normal((clusters, d)).astype(np.float32) * 3
    x = centres[rng.integers(0, clusters, n)] + rng.standard_normal((n, d), np.float32)
    q = centres[rng.integers(0, clusters, 1000)] + rng.standard_normal((1000, d), np.float32)
    return x.astype(np.float32), q.astype(np.float32)


def truth(x, q, k=10):
    xn = x / np.linalg.norm(x, axis=1, keepdims=True)
    qn = q / np.linalg.norm(q, axis=1, keepdims=True)
    out = []
    for start in range(0, len(q), 200):
        sims = qn[start:start + 200] @ xn.T
        top = np.argpartition(-sims, k, axis=1)[:, :k]
        out.extend(set(row) for row in top)
    return out


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def worker(system, n, d, seed, numpy_rows):
    """Runs in a fresh process: build, then sweep; prints JSON."""
    from threadpoolctl import threadpool_limits
    x, q = make(n, d, seed)
    with threadpool_limits(1):
        gt = truth(x, q)
    rows = [r for r in x] if numpy_rows else x.tolist()
    queries = [r for r in q] if numpy_rows else q.tolist()
    base = rss()
    out = {"system": system}
    if system == "karnoxel":
        import karnoxel
        store = karnoxel.VectorStorage()
        t = time.perf_counter()
        for i, row in enumerate(rows):
            store.upsert(i, row, None)
        out["build_s"] = time.perf_counter() - t
        out["memory"] = rss() - base

        def run(breadth):
            return [[h[0] for h in store.search(v, breadth, "cosine")[:10]] for v in queries]
    else:
        import hnswlib
        index = hnswlib.Index(space="cosine", dim=d)
        index.init_index(max_elements=n, M=16, ef_construction=64)
        index.set_num_threads(1)
        t = time.perf_counter()
        index.add_items(x, np.arange(n))
        out["build_s"] = time.perf_counter() - t
        out["memory"] = rss() - base

        def run(breadth):
            index.set_ef(breadth)
            return [index.knn_query(v, k=10)[0][0] for v in q]
    out["sweep"] = []
    for breadth in BREADTHS:
        run(breadth)  # warm
        best = None
        for _ in range(3):
            t = time.perf_counter()
            labels = run(breadth)
            elapsed = time.perf_counter() - t
            best = elapsed if best is None else min(best, elapsed)
        recall = float(np.mean([len(set(map(int, l)) & g) / 10 for l, g in zip(labels, gt)]))
        out["sweep"].append({"breadth": breadth, "recall": recall, "qps": len(q) / best})
    print(json.dumps(out))


def qps_at(sweep, recall):
    """hnswlib's QPS at a given recall, interpolated along its sweep."""
    pts = sorted((s["recall"], s["qps"]) for s in sweep)
    if recall <= pts[0][0]:
        return pts[0][1]
    for (r0, q0), (r1, q1) in zip(pts, pts[1:]):
        if r0 <= recall <= r1:
            return q0 if r1 == r0 else q0 + (q1 - q0) * (recall - r0) / (r1 - r0)
    return None  # beyond hnswlib's best recall


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20,000 x 128 and 10,000 x 384")
    parser.add_argument("--numpy-rows", action="store_true", help="pass numpy rows instead of lists to karnoxel")
    parser.add_argument("--worker", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        system, n, d, seed, numpy_rows = args.worker
        worker(system, int(n), int(d), int(seed), numpy_rows == "1")
        return
    shapes = [(20_000, 128), (10_000, 384)] if args.quick else [(100_000, 128), (50_000, 384)]
    for n, d in shapes:
        res = {}
        for system in ("hnswlib", "karnoxel"):
            print(f"{n} x {d}: {system}...", file=sys.stderr, flush=True)
            cmd = [sys.executable, __file__, "--worker", system, str(n), str(d), "7", "1" if args.numpy_rows else "0"]
            res[system] = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
        k, h = res["karnoxel"], res["hnswlib"]
        print(f"\n{n} x {d}, cosine, single thread, one query per call")
        print(f"{'breadth':>8} {'karnoxel recall':>16} {'qps':>8} {'hnswlib recall':>15} {'qps':>8} {'qps ratio at our recall':>24}")
        for ks, hs in zip(k["sweep"], h["sweep"]):
            ref = qps_at(h["sweep"], ks["recall"])
            ratio = f"{ks['qps'] / ref:.2f}" if ref else "beyond hnswlib"
            print(f"{ks['breadth']:>8} {ks['recall']:>16.4f} {ks['qps']:>8.0f} {hs['recall']:>15.4f} {hs['qps']:>8.0f} {ratio:>24}")
        default = next(s for s in k["sweep"] if s["breadth"] == 10)  # limit 10: breadth max(32, 10)
        print(f"recall@10 at the default breadth: {default['recall']:.4f}")
        print(f"build: karnoxel {n / k['build_s']:.0f}/s, hnswlib {n / h['build_s']:.0f}/s, ratio {h['build_s'] / k['build_s']:.2f}")
        print(f"memory per point: karnoxel {k['memory'] / n:.0f} B, hnswlib {h['memory'] / n:.0f} B, "
              f"ratio {k['memory'] / h['memory']:.2f} (raw vectors {4 * d} B)")


if __name__ == "__main__":
    main()
