"""Building one store from several Python threads, against one thread and against hnswlib.

Every build starts from an empty store and inserts the same points (numpy
rows, one upsert per point). Measured in rounds that alternate the order of
the contenders (medians reported):

  - karnoxel, 1 thread;
  - karnoxel, N threads for each N of --threads: thread t upserts rows
    t, t+N, t+2N, ... (disjoint ids, each thread spread over the whole data);
  - hnswlib (M 16, ef_construction 64, the dataset's metric natively)
    add_items with num_threads=1, and with num_threads=N.

Printed: points per second of each, the N-thread / 1-thread rate ratio, and
karnoxel's 1-thread rate / hnswlib's 1-thread add_items. Then recall@10 at
the default breadth of a store built by the largest N against the serial one
(from the last round), and one more N-thread build with a reader thread
searching all the while: the writers' rate, the reader's latency and every
search that failed or returned fewer hits than the store held points when
the search began (capped at k).

    python bench/parallel_build.py --quick          # 20,000 points of text-384, 2 rounds
    python bench/parallel_build.py                  # text-384 (50,000 x 384), 3 rounds
    python bench/parallel_build.py --dataset norms-128-l2 --threads 2,4 --points 100000
"""

import sys
import threading
import time
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/parallel_build.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import common, datasets, systems

K = 10


def karnoxel_build(points, metric, threads, reader=None):
    """Builds a fresh store with `threads` upserting threads; returns (store, seconds, reader figures)."""
    import karnoxel

    store = karnoxel.VectorStorage()
    n = len(points)
    start = threading.Barrier(threads + 1 + (reader is not None))
    done = threading.Event()
    progress = [0] * threads
    errors = []

    def write(t):
        upsert = store.upsert
        start.wait()
        try:
            for i in range(t, n, threads):
                upsert(i, points[i], None)
                progress[t] += 1
        except Exception as error:  # recorded: a failed build is reported, not hidden
            errors.append(repr(error))

    figures = {}
    workers = [threading.Thread(target=write, args=(t,)) for t in range(threads)]
    if reader is not None:
        queries, name = reader
        workers.append(threading.Thread(target=read, args=(store, queries, name, start, done, progress, figures)))
    for w in workers:
        w.start()
    start.wait()
    t0 = time.perf_counter()
    for w in workers[:threads]:
        w.join()
    seconds = time.perf_counter() - t0
    done.set()
    for w in workers[threads:]:
        w.join()
    if errors:
        raise RuntimeError(f"upsert failed: {errors[0]}")
    return store, seconds, figures


def read(store, queries, metric, start, done, progress, figures):
    """Searches back to back until `done`, timing each call."""
    latencies, failed, short = [], 0, 0
    search, clock = store.search, time.perf_counter
    start.wait()
    i = 0
    while not done.is_set():
        q = queries[i % len(queries)]
        i += 1
        present = sum(progress)         # points whose upsert has returned: all are searchable
        t = clock()
        try:
            hits = search(q, K, metric)
        except Exception:
            failed += 1
            continue
        latencies.append(clock() - t)
        if len(hits) < min(K, present):
            short += 1
    figures.update(searches=len(latencies), failed=failed, short=short,
                   p50_us=common.percentile(latencies, 50) * 1e6 if latencies else None,
                   p99_us=common.percentile(latencies, 99) * 1e6 if latencies else None,
                   max_us=max(latencies) * 1e6 if latencies else None)


def hnswlib_build(points, metric, threads):
    peer = systems.Hnswlib(64)
    peer.set_threads(threads)
    t = time.perf_counter()
    peer.build(points, metric)
    return time.perf_counter() - t


def main():
    parser = common.parser(__doc__, rounds=3)
    parser.add_argument("--dataset", default="text-384")
    parser.add_argument("--points", type=int, help="first N points of the dataset (quick: 20,000)")
    parser.add_argument("--threads", default=str(common.cores()), help="comma-separated thread counts N")
    parser.add_argument("--embed-python", default=common.embed_python())
    args = parser.parse_args()
    if args.quick:
        args.rounds = min(args.rounds, 2)
        args.points = args.points or 20_000

    from threadpoolctl import threadpool_limits

    data = datasets.load(args.dataset, quick=args.quick, embed_python=args.embed_python)
    threadpool_limits(1)
    points = data.points[:args.points] if args.points else data.points
    if args.points:
        truth = datasets.exact_top(points, data.queries, data.metric, k=K)
    else:
        truth = data.gt[:, :K]
    counts = sorted({int(c) for c in args.threads.split(",")})
    metric = systems.Karnoxel.METRICS[data.metric]
    n = len(points)
    print(f"{data.label}: {n:,} x {data.dim}, {data.metric}; {common.cores()} cores; threads {counts}; "
          f"median of {args.rounds} alternating rounds")

    stores = {}

    def ours(threads):
        def run():
            stores.pop(threads, None)
            common.trim_memory()
            stores[threads], seconds, _ = karnoxel_build(points, metric, threads)
            return n / seconds
        return run

    def theirs(threads):
        def run():
            common.trim_memory()
            return n / hnswlib_build(points, data.metric, threads)
        return run

    contenders = {f"karnoxel x{c}": ours(c) for c in [1] + [c for c in counts if c > 1]}
    contenders.update({f"hnswlib x{c}": theirs(c) for c in [1] + [c for c in counts if c > 1]})
    rates = {name: common.median(r) for name, r in common.alternate(contenders, args.rounds).items()}
    print(f"{'build':<14} {'points/s':>10}")
    for name, rate in rates.items():
        print(f"{name:<14} {rate:>10,.0f}")
    for c in counts:
        if c > 1:
            print(f"karnoxel {c} threads / 1 thread: {rates[f'karnoxel x{c}'] / rates['karnoxel x1']:.2f}x "
                  f"(hnswlib add_items {c} / 1 threads: {rates[f'hnswlib x{c}'] / rates['hnswlib x1']:.2f}x)")
    print(f"karnoxel 1 thread / hnswlib add_items 1 thread: {rates['karnoxel x1'] / rates['hnswlib x1']:.2f}x")

    queries = list(data.queries)

    def recall_of(store):
        return common.recall([[h[0] for h in store.search(q, K, metric)] for q in queries], truth, K)

    serial = recall_of(stores[1])
    top = max(counts)
    if top > 1:
        parallel = recall_of(stores[top])
        print(f"recall@{K} at the default breadth: serial build {serial:.4f}, {top}-thread build {parallel:.4f}, "
              f"difference {parallel - serial:+.4f}")
    else:
        print(f"recall@{K} at the default breadth: {serial:.4f}")
    stores.clear()
    common.trim_memory()

    _, seconds, figures = karnoxel_build(points, metric, top, reader=(queries, metric))
    print(f"{top} writer threads with a reader searching meanwhile: {n / seconds:,.0f} points/s "
          f"({n / seconds / rates[f'karnoxel x{top}']:.2f}x the build without the reader); reader: "
          f"{figures['searches']:,} searches, p50 {figures['p50_us']:.0f} us, p99 {figures['p99_us']:.0f} us, "
          f"max {figures['max_us']:.0f} us, {figures['failed']} failed, {figures['short']} with fewer hits "
          f"than the store held")


if __name__ == "__main__":
    main()
