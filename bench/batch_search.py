"""Batch search on the worker pool against hnswlib's multi-threaded knn_query, at equal recall.

A dataset from bench/datasets.py (default text-384: 50,000 real 384-d text
embeddings, cosine), its 1,000 queries repeated --repeat times as one
(queries x dim) float32 array, k = 10. Both systems answer the whole array
in one call: karnoxel `batch_search` (its pool: KARNOXEL_NUM_THREADS or the
affinity mask), hnswlib `knn_query(num_threads=--threads)` (M 16,
ef_construction 64, the dataset's metric natively). The breadth is swept
(karnoxel: its ef_search, KARNOXEL_EF_SEARCH as a copy of the store is
loaded; hnswlib: ef; both asked for 10 results) in rounds that
alternate which goes first, medians reported. Printed:

  1. both curves and the QPS at equal recall (interpolated at recall 0.85 ..
     0.99, ratio karnoxel / hnswlib), and the default breadth (karnoxel a
     search for 10, hnswlib ef 32);
  2. batch_search against a Python loop of search calls (one thread), both
     at the default breadth;
  3. the share of a batch's time spent converting the query array (a batch
     with limit 0 converts its queries and answers nothing);
  4. upsert and query conversion per call: numpy rows against lists.

    python bench/batch_search.py --quick           # 2 rounds, queries x 5
    python bench/batch_search.py                   # 3 rounds, queries x 10
    python bench/batch_search.py --dataset text-384-raw-dot --threads 2
"""

import os
import platform
import sys
import time
from importlib import metadata
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/batch_search.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import numpy as np

from bench import common, datasets, systems

K = 10
BREADTHS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024]


def main():
    parser = common.parser(__doc__, rounds=3)
    parser.add_argument("--dataset", default="text-384")
    parser.add_argument("--repeat", type=int, help="times the 1,000 queries are repeated in a batch (quick 5, else 10)")
    parser.add_argument("--threads", type=int, default=common.cores(), help="hnswlib's num_threads")
    parser.add_argument("--embed-python", default=common.embed_python())
    args = parser.parse_args()
    # karnoxel's copies at each breadth are loads: with huge pages at once they
    # search as fast as the store built by upserts (no load is timed here).
    os.environ.setdefault("KARNOXEL_LOAD_HUGE_PAGES", "1")
    if args.quick:
        args.rounds = min(args.rounds, 2)
    repeat = args.repeat or (5 if args.quick else 10)

    import karnoxel

    data = datasets.load(args.dataset, quick=args.quick, embed_python=args.embed_python)
    metric = systems.Karnoxel.METRICS[data.metric]
    Q = np.ascontiguousarray(np.tile(data.queries, (repeat, 1)))
    truth = np.tile(data.gt[:, :K], (repeat, 1))
    n_queries = len(Q)

    setting = os.environ.get("KARNOXEL_NUM_THREADS", "")
    workers = int(setting) if setting.isdigit() and int(setting) > 0 else common.cores()
    print(f"batch search: {data.label} ({data.n:,} x {data.dim}, {data.metric}), {n_queries:,} queries per batch, "
          f"k={K}; {platform.machine()}, {common.cores()} usable cores, Python {platform.python_version()}, "
          f"numpy {np.__version__}, hnswlib {metadata.version('hnswlib')}")
    print(f"karnoxel pool workers: {workers}{'' if setting else ' (affinity mask)'}; hnswlib threads: {args.threads}")

    with systems.karnoxel_breadth(None):
        store = karnoxel.VectorStorage()
    seconds = common.seconds_of(lambda: [store.upsert(i, row, None) for i, row in enumerate(data.points)])
    print(f"karnoxel build: {seconds:.1f} s ({data.n / seconds:,.0f} upserts/s from numpy rows, one thread)")
    peer = systems.Hnswlib(64)
    peer.set_threads(args.threads)
    seconds = common.seconds_of(peer.build, data.points, data.metric)
    print(f"hnswlib build: {seconds:.1f} s (add_items, {args.threads} threads)")

    assert store.batch_search(Q[:200], K, metric) == [store.search(q, K, metric) for q in Q[:200]], \
        "batch_search differs from search"

    found = {}
    ours_at = systems.Karnoxel()
    ours_at.store = store

    def at_breadth(ef):
        ours_at.set_ef(ef)
        return ours_at.searched

    def ours(ef):
        searched = at_breadth(ef)

        def run():
            t = time.perf_counter()
            hits = searched.batch_search(Q, K, metric)
            seconds = time.perf_counter() - t
            found.setdefault("karnoxel", [[p for p, _ in row[:K]] for row in hits])
            return seconds
        return run

    def theirs(ef):
        def run():
            peer.index.set_ef(ef)
            t = time.perf_counter()
            labels, _ = peer.index.knn_query(Q, k=K, num_threads=args.threads)
            seconds = time.perf_counter() - t
            found.setdefault("hnswlib", labels)
            return seconds
        return run

    curves = {"karnoxel": [], "hnswlib": []}
    points = [("default", None, common.DEFAULT_EF)] + [(b, b, b) for b in BREADTHS]
    for index, (breadth, our_ef, ef) in enumerate(points):
        found.clear()
        contenders = {"karnoxel": ours(our_ef), "hnswlib": theirs(ef)}
        if index % 2:
            contenders = dict(reversed(list(contenders.items())))
        runs = common.alternate(contenders, args.rounds)
        for name in curves:
            curves[name].append({"breadth": breadth, "qps": n_queries / common.median(runs[name]),
                                 "recall10": common.recall(found[name], truth, K)})

    print(f"\n{'breadth':>8} {'karnoxel R@10':>14} {'q/s':>8} {'hnswlib R@10':>13} {'q/s':>8}")
    for a, b in zip(curves["karnoxel"], curves["hnswlib"]):
        print(f"{a['breadth']:>8} {a['recall10']:>14.4f} {common.fmt_qps(a['qps']):>8} "
              f"{b['recall10']:>13.4f} {common.fmt_qps(b['qps']):>8}")
    table = common.equal_recall([(p["recall10"], p["qps"]) for p in curves["karnoxel"][1:]],
                                [(p["recall10"], p["qps"]) for p in curves["hnswlib"][1:]])
    common.print_equal_recall(table)
    print(f"batch_search / hnswlib knn_query ({args.threads} threads) at equal recall@10: "
          f"{common.summarize_ratios(table)}")

    rows = list(Q[:2000])
    loop, batch, empty, busy = [], [], [], []
    for _ in range(args.rounds):
        loop.append(common.seconds_of(lambda: [store.search(q, K, metric) for q in rows]) / len(rows))
        cpu = time.process_time()
        batch.append(common.seconds_of(store.batch_search, Q, K, metric) / n_queries)
        busy.append((time.process_time() - cpu) / (batch[-1] * n_queries))
        empty.append(common.seconds_of(store.batch_search, Q, 0, metric) / n_queries)
    loop, batch, empty, cores = map(common.median, (loop, batch, empty, busy))
    print(f"\nbatch_search / Python loop of search (1 thread), default breadth: {loop / batch:.2f}x; the batch kept "
          f"{cores:.2f} cores busy" + (" (other processes took the rest)" if cores < 0.9 * workers else ""))
    print(f"converting the {n_queries:,} x {data.dim} query array: {100 * empty / batch:.2f}% of the batch")

    count = min(data.n, 5000)
    as_lists, as_rows = data.points[:count].tolist(), list(data.points[:count])
    figures = {key: [] for key in ("fresh_lists", "fresh_rows", "same_lists", "same_rows", "conv_lists",
                                   "conv_rows")}
    for _ in range(args.rounds):
        for source, kind in ((as_lists, "lists"), (as_rows, "rows")):
            target = karnoxel.VectorStorage()
            figures[f"fresh_{kind}"].append(
                common.seconds_of(lambda: [target.upsert(i, v, None) for i, v in enumerate(source)]) / count)
            figures[f"same_{kind}"].append(
                common.seconds_of(lambda: [target.upsert(i, v, None) for i, v in enumerate(source)]) / count)
            figures[f"conv_{kind}"].append(
                common.seconds_of(lambda: [target.search(v, 0, metric) for v in source]) / count)
    f = {key: common.median(v) for key, v in figures.items()}
    print(f"\nper call, {data.dim} floats        {'lists':>9} {'numpy':>9} {'lists/numpy':>12}")
    for label, key in (("upsert into an empty store", "fresh"), ("upsert, same points again", "same"),
                       ("search with limit 0", "conv")):
        a, b = f[f"{key}_lists"], f[f"{key}_rows"]
        print(f"{label:<30} {a * 1e6:>7.2f}us {b * 1e6:>7.2f}us {a / b:>11.2f}x")


if __name__ == "__main__":
    main()
