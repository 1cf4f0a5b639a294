"""Serving while ingesting: search latency with and without a writer, against hnswlib.

A store of 50,000 x 128 clustered points (the clustered-128 mixture,
L2-normalized, cosine; hnswlib M 16, ef_construction 64, space 'ip') serves a
reader thread that times single searches (k 10, default breadth: karnoxel a
search for 10, hnswlib ef 32) back to back. Each round has, per system, an
idle phase (the reader alone) and a busy phase (the reader and a writer
thread that upserts new points one call at a time, as fast as it can;
hnswlib: add_items of one point per call). Rounds alternate which system
goes first; every phase lasts --seconds.

Printed per system: reader p50 / p99 / max latency idle and busy (medians
over rounds of each phase's percentile), busy / idle ratios, the writer's
upserts per second, and every query that raised or returned fewer than k
hits (the store always holds far more than k points); then karnoxel's
writer rate / hnswlib's.

    python bench/serve_ingest.py --quick        # 2 rounds of 3 s phases
    python bench/serve_ingest.py                # 3 rounds of 10 s phases
    python bench/serve_ingest.py --base 50000 --pool 500000 --seconds 20 --metric l2
"""

import sys
import threading
import time
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/serve_ingest.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import common, datasets

K = 10


class Karnoxel:
    name = "karnoxel"

    def __init__(self, metric, capacity):
        import karnoxel

        self.store = karnoxel.VectorStorage()
        self.metric = {"cosine": "cosine", "l2": "euclidean", "dot": "dot_product"}[metric]

    def add(self, i, row):
        self.store.upsert(i, row, None)

    def searcher(self):
        search, metric = self.store.search, self.metric
        return lambda q: len(search(q, K, metric))


class Hnswlib:
    name = "hnswlib"

    def __init__(self, metric, capacity, dim):
        import hnswlib

        self.index = hnswlib.Index(space="l2" if metric == "l2" else "ip", dim=dim)
        self.index.init_index(max_elements=capacity, M=16, ef_construction=64, random_seed=100)
        self.index.set_num_threads(1)
        self.index.set_ef(common.DEFAULT_EF)

    def add(self, i, row):
        self.index.add_items(row, i, num_threads=1)

    def searcher(self):
        query = self.index.knn_query
        return lambda q: len(query(q, k=K, num_threads=1)[0][0])


def phase(system, queries, seconds, writer_rows=None, first_id=0):
    """Runs the reader (and the writer, if rows are given) for `seconds`."""
    stop = threading.Event()
    ready = threading.Barrier(2 if writer_rows is None else 3)
    reader_out, writer_out = {}, {}

    def reader():
        search, clock = system.searcher(), time.perf_counter
        latencies, failed, short, i = [], 0, 0, 0
        ready.wait()
        while not stop.is_set():
            q = queries[i % len(queries)]
            i += 1
            t = clock()
            try:
                got = search(q)
            except Exception:   # hnswlib raises when it finds fewer than k: counted, never hidden
                latencies.append(clock() - t)
                failed += 1
                continue
            latencies.append(clock() - t)
            if got < K:
                short += 1
        reader_out.update(latencies=latencies, failed=failed, short=short)

    def writer():
        add, count = system.add, 0
        ready.wait()
        t = time.perf_counter()
        for j, row in enumerate(writer_rows):
            if stop.is_set():
                break
            add(first_id + j, row)
            count += 1
        writer_out.update(count=count, seconds=time.perf_counter() - t, exhausted=count == len(writer_rows))

    threads = [threading.Thread(target=reader)]
    if writer_rows is not None:
        threads.append(threading.Thread(target=writer))
    for t in threads:
        t.start()
    ready.wait()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    lat = reader_out["latencies"]
    out = {"searches": len(lat), "failed": reader_out["failed"], "short": reader_out["short"],
           "p50_us": common.percentile(lat, 50) * 1e6, "p99_us": common.percentile(lat, 99) * 1e6,
           "max_us": max(lat) * 1e6}
    if writer_out:
        out.update(written=writer_out["count"], write_rate=writer_out["count"] / writer_out["seconds"],
                   exhausted=writer_out["exhausted"])
    return out


def main():
    parser = common.parser(__doc__, rounds=3)
    parser.add_argument("--base", type=int, default=50_000, help="points in the store before the test")
    parser.add_argument("--pool", type=int, help="new points available to the writers (default: enough for "
                        "every busy phase at 20,000 upserts/s)")
    parser.add_argument("--seconds", type=float, help="length of each phase (quick 3, else 10)")
    parser.add_argument("--metric", default="cosine", choices=datasets.METRICS)
    args = parser.parse_args()
    if args.quick:
        args.rounds = min(args.rounds, 2)
    seconds = args.seconds or (3.0 if args.quick else 10.0)
    pool = args.pool or int(20_000 * seconds * args.rounds)
    spec = datasets.DATASETS["clustered-128"]
    points, queries = datasets.gaussian_mixture(args.base + pool, spec["queries"], spec["dim"], spec["clusters"],
                                                spec["spread"], args.metric == "cosine", seed=11)
    base, fresh = points[:args.base], points[args.base:]
    queries = list(queries)
    print(f"serving while ingesting: {args.base:,} x {spec['dim']} points, {args.metric}, k {K}, "
          f"{args.rounds} rounds of {seconds:g} s phases, {common.cores()} cores")

    systems = {}
    for make in (lambda: Karnoxel(args.metric, args.base + pool),
                 lambda: Hnswlib(args.metric, args.base + pool, spec["dim"])):
        system = make()
        t = time.perf_counter()
        for i, row in enumerate(base):
            system.add(i, row)
        print(f"{system.name}: {args.base:,} points in {time.perf_counter() - t:.1f} s (one call per point)")
        systems[system.name] = system

    # Each system's writer takes the next unused rows of the pool in every busy phase.
    cursor = {name: 0 for name in systems}
    figures = {name: {"idle": [], "busy": []} for name in systems}

    def contender(name):
        def run():
            system = systems[name]
            figures[name]["idle"].append(phase(system, queries, seconds))
            rows = fresh[cursor[name]:]
            busy = phase(system, queries, seconds, rows, args.base + cursor[name])
            cursor[name] += busy["written"]
            figures[name]["busy"].append(busy)
        return run

    common.alternate({name: contender(name) for name in systems}, args.rounds)

    print(f"\n{'':<10} {'phase':<6} {'p50 us':>8} {'p99 us':>8} {'max us':>9} {'searches':>9} {'failed':>7} "
          f"{'short':>6} {'upserts/s':>10}")
    summary = {}
    for name, f in figures.items():
        for kind in ("idle", "busy"):
            runs = f[kind]
            row = {key: common.median([r[key] for r in runs]) for key in ("p50_us", "p99_us", "write_rate")
                   if key in runs[0]}
            row["max_us"] = max(r["max_us"] for r in runs)
            for key in ("searches", "failed", "short"):
                row[key] = sum(r[key] for r in runs)
            summary[(name, kind)] = row
            rate = f"{row['write_rate']:,.0f}" if "write_rate" in row else "-"
            print(f"{name:<10} {kind:<6} {row['p50_us']:>8.0f} {row['p99_us']:>8.0f} {row['max_us']:>9.0f} "
                  f"{row['searches']:>9,} {row['failed']:>7} {row['short']:>6} {rate:>10}")
        if any(r.get("exhausted") for r in f["busy"]):
            print(f"{name}: the writer ran out of new points; raise --pool")
    print()
    for name in systems:
        idle, busy = summary[(name, "idle")], summary[(name, "busy")]
        print(f"{name}: with a writer, p50 {busy['p50_us'] / idle['p50_us']:.2f}x and p99 "
              f"{busy['p99_us'] / idle['p99_us']:.2f}x the idle store's; "
              f"{busy['failed'] + busy['short'] + idle['failed'] + idle['short']} queries failed or came back short")
    ratio = summary[("karnoxel", "busy")]["write_rate"] / summary[("hnswlib", "busy")]["write_rate"]
    print(f"writer rate karnoxel / hnswlib: {ratio:.2f}x")


if __name__ == "__main__":
    main()
