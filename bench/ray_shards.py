"""The sharded store on Ray against one local VectorStorage.

A seeded clustered dataset (default 200,000 x 384 float32, L2-normalised,
cosine, k=10) goes into a local VectorStorage, a ShardedStorage(1) and a
ShardedStorage(2) on a local Ray instance. Prints, measured side by side in
rounds that alternate the contenders (medians reported):

  1. build: upserts per second from numpy rows, one call per point (the
     sharded stores batch them per shard and build in their actors);
  2. batch_search throughput (queries per second, batches of --batch
     queries) and recall@10 against numpy brute force;
  3. single search latency (median and 90th percentile over --latency
     queries, one call at a time) and the Ray hop's overhead per query;
  4. the driver's merge cost per query and shard (merging per-shard top-10
     lists), which bounds what one driver can merge.

    python bench/ray_shards.py [--points 200000] [--dim 384] [--batch 2000] [--json bench/results/ray-shards.json]

Needs Ray (pip install ".[ray]"); starts a local Ray instance with --cpus
CPUs (default: all).
"""

import argparse
import json
import os
import platform
import statistics
import time
from importlib import metadata

import numpy as np

import karnoxel


def clustered(rng, count, queries, dim, clusters, spread):
    """Points and held-out queries around random centres, L2-normalised."""
    centres = rng.standard_normal((clusters, dim), dtype=np.float32)
    x = centres[rng.integers(0, clusters, count + queries)]
    x += rng.standard_normal(x.shape, dtype=np.float32) * np.float32(spread)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return np.ascontiguousarray(x[:count]), np.ascontiguousarray(x[count:])


def exact_top(points, queries, k):
    top = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 256):
        scores = queries[start : start + 256] @ points.T
        part = np.argpartition(-scores, k, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, part, axis=1), axis=1)
        top[start : start + 256] = np.take_along_axis(part, order, axis=1)
    return top


def recall(answers, truth):
    found = sum(len({p for p, _ in a[: truth.shape[1]]} & set(t.tolist())) for a, t in zip(answers, truth))
    return found / truth.size


def build(store, points, flush):
    start = time.perf_counter()
    for i, row in enumerate(points):
        store.upsert(i, row, None)
    flush(store)
    return len(points) / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--clusters", type=int, default=200)
    parser.add_argument("--spread", type=float, default=2.5)
    parser.add_argument("--batch", type=int, default=2000)
    parser.add_argument("--latency", type=int, default=300)
    parser.add_argument("--recall-queries", type=int, default=500)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cpus", type=int, default=os.cpu_count())
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--json", default=None, help="also write the figures to this file")
    args = parser.parse_args()

    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    import ray

    from karnoxel_ray import ShardedStorage
    from karnoxel_ray._store import _merge

    rng = np.random.default_rng(args.seed)
    queries_needed = max(args.batch, args.latency, args.recall_queries)
    points, queries = clustered(rng, args.points, queries_needed, args.dim, args.clusters, args.spread)
    print(f"data: {args.points:,} x {args.dim} float32, {args.clusters} clusters (spread {args.spread}), cosine, k=10")
    truth = exact_top(points, queries[: args.recall_queries], 10)

    ray.init(num_cpus=args.cpus, include_dashboard=False, log_to_driver=False)
    contenders = {
        "local VectorStorage": karnoxel.VectorStorage(),
        "ShardedStorage(1)": ShardedStorage(1),
        "ShardedStorage(2)": ShardedStorage(2),
    }
    figures = {"points": args.points, "dim": args.dim, "cpus": args.cpus, "batch": args.batch, "systems": {}}

    print("\n1. build (one upsert call per point, numpy rows)")
    for name, store in contenders.items():
        rate = build(store, points, lambda s: s.search(points[0], 1, "cosine"))
        figures["systems"][name] = {"upserts_per_s": rate}
        print(f"   {name:<20} {rate:>9,.0f} points/s")

    print(f"\n2. batch_search throughput ({args.batch} queries per call), recall@10 on {args.recall_queries} queries")
    batch = queries[: args.batch]
    times = {name: [] for name in contenders}
    for _ in range(args.rounds):
        for name, store in contenders.items():
            start = time.perf_counter()
            store.batch_search(batch, 10, "cosine")
            times[name].append(time.perf_counter() - start)
    for name, store in contenders.items():
        qps = args.batch / statistics.median(times[name])
        r = recall(store.batch_search(queries[: args.recall_queries], 10, "cosine"), truth)
        figures["systems"][name].update(batch_qps=qps, recall_at_10=r)
        print(f"   {name:<20} {qps:>9,.0f} queries/s   recall@10 {r:.4f}")
    local_batch = statistics.median(times["local VectorStorage"])
    for name in ("ShardedStorage(1)", "ShardedStorage(2)"):
        ratio = statistics.median(times[name]) / local_batch
        figures["systems"][name]["batch_time_vs_local"] = ratio
        print(f"   {name} / local batch time: {ratio:.2f}x")

    print(f"\n3. single search latency ({args.latency} calls one at a time)")
    latencies = {name: [] for name in contenders}
    for query in queries[: args.latency]:
        for name, store in contenders.items():
            start = time.perf_counter()
            store.search(query, 10, "cosine")
            latencies[name].append(time.perf_counter() - start)
    local_median = statistics.median(latencies["local VectorStorage"])
    for name, values in latencies.items():
        values.sort()
        median, p90 = statistics.median(values), values[int(0.9 * len(values))]
        figures["systems"][name].update(latency_median_ms=median * 1e3, latency_p90_ms=p90 * 1e3)
        extra = f"   overhead +{(median - local_median) * 1e3:.2f} ms" if name != "local VectorStorage" else ""
        print(f"   {name:<20} median {median * 1e3:7.3f} ms   p90 {p90 * 1e3:7.3f} ms{extra}")

    print("\n4. driver merge cost (top-10 lists, cosine)")
    local = contenders["local VectorStorage"]
    answers = local.batch_search(batch, 10, "cosine")
    for shards in (2, 4, 8):
        start = time.perf_counter()
        for answer in answers:
            _merge([answer] * shards, 10, False)
        per_query = (time.perf_counter() - start) / len(answers)
        figures[f"merge_us_per_query_{shards}_shards"] = per_query * 1e6
        print(f"   {shards} shards: {per_query * 1e6:6.2f} us per query")

    figures["machine"] = f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}"
    figures["versions"] = {"karnoxel": metadata.version("karnoxel"), "ray": ray.__version__, "numpy": np.__version__}
    if args.json:
        with open(args.json, "w") as stream:
            json.dump(figures, stream, indent=1)
        print(f"\nwrote {args.json}")
    for store in contenders.values():
        if isinstance(store, ShardedStorage):
            store.close()
    ray.shutdown()


if __name__ == "__main__":
    main()
