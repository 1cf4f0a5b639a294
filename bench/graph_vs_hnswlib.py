"""Recall/QPS curves against hnswlib: single thread, one query per Python call, side by side.

For each dataset (bench/datasets.py), one fresh process builds karnoxel (one
upsert per point, numpy rows) and hnswlib (M 16, ef_construction 64,
add_items on one thread, the dataset's metric natively: 'ip' for dot product
and for the L2-normalized cosine sets, 'l2' for Euclidean), then sweeps the
search breadth ef: karnoxel's ef_search (KARNOXEL_EF_SEARCH as a copy of the
store is loaded; a cosine search for k is max(ef, k) wide, a Euclidean or
dot-product one on vectors of unequal lengths keeps max(ef / 2, k) by its
metric and twice that by angle, at least 2 ef), hnswlib's ef; both are asked
for k results. Every breadth is timed in rounds that
alternate which system goes first; QPS is the median over rounds, recall is
measured over all 1,000 queries. Printed per dataset:

  - both curves (recall@10 and QPS per breadth; recall@100 for breadths >= 100);
  - QPS at equal recall: both curves interpolated (linear in recall, log QPS)
    at recall 0.85, 0.86, ..., 0.99, the ratio karnoxel / hnswlib at each, and
    the levels only one system reaches;
  - recall@10 at karnoxel's default breadth (a search for 10) against hnswlib
    at ef 32;
  - build time ratio and memory per point (resident growth across each build).

    python bench/graph_vs_hnswlib.py --quick     # 50k text sets (cosine, raw dot, raw l2), varied-norm clusters;
                                                 # 500 queries, 2 rounds
    python bench/graph_vs_hnswlib.py             # those, the 200k text sets and the 1,000,000 x 128 set
    python bench/graph_vs_hnswlib.py --datasets text-384,clustered-128-1m --rounds 5 --json out.json
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/graph_vs_hnswlib.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import common, datasets, systems

QUICK = ["text-384", "text-384-dot", "text-384-raw-dot", "text-384-raw-l2", "norms-128-dot", "norms-128-l2"]
LONG = QUICK + ["text-384-200k", "text-384-raw-dot-200k", "text-384-raw-l2-200k", "clustered-128-1m"]
# Up to 1024: at 200,000 points and more, 512 falls short of recall 0.99.
BREADTHS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024]
BREADTHS_100 = [100, 128, 192, 256, 384, 512, 768, 1024]
QUICK_BREADTHS_100 = [100, 128, 256, 512, 1024]
QUICK_QUERIES = 500


def sweep(runners, queries, truth, k, breadths, rounds, extra=None):
    """runners: name -> (set_breadth, search(q, k) -> ids). Per breadth: recall@k
    over all queries and the median QPS of the alternating rounds."""
    out = {name: [] for name in runners}
    for index, breadth in enumerate(breadths):
        figures = {name: [] for name in runners}
        found = {}

        def contender(name):
            set_breadth, search = runners[name]

            def run():
                set_breadth(breadth)
                results, seconds = common.run_calls(lambda q: search(q, k), queries)
                found.setdefault(name, results)
                return len(results) / seconds
            return run

        # Rounds start with a different system at every breadth as well.
        order = list(runners) if index % 2 == 0 else list(runners)[::-1]
        for name, rates in common.alternate({n: contender(n) for n in order}, rounds).items():
            figures[name] = rates
        for name in runners:
            point = {"breadth": breadth, "qps": common.median(figures[name]), "qps_rounds": figures[name],
                     f"recall{k}": common.recall(found[name], truth, k)}
            if k > 10:
                point["recall10"] = common.recall([f[:10] for f in found[name]], truth, 10)
            out[name].append(point)
    return out


def build(system, points, metric):
    common.trim_memory()
    before = common.rss_bytes()
    t = time.perf_counter()
    system.build(points, metric)
    seconds = time.perf_counter() - t
    return {"seconds": seconds, "bytes_per_point": (common.rss_bytes() - before) / len(points)}


def worker(name, quick, rounds):
    """One dataset in this (fresh) process; returns the figures."""
    from threadpoolctl import threadpool_limits

    data = datasets.load(name, quick=quick)
    threadpool_limits(1)
    # karnoxel's copies at each breadth are loads: with huge pages at once they
    # search as fast as the store built by upserts (no load is timed here).
    os.environ.setdefault("KARNOXEL_LOAD_HUGE_PAGES", "1")
    ours, peer = systems.Karnoxel(), systems.Hnswlib(64)
    peer.set_threads(1)
    result = {"dataset": data.describe(), "rounds": rounds, "queries": QUICK_QUERIES if quick else len(data.queries),
              "build": {"karnoxel": build(ours, data.points, data.metric),
                        "hnswlib": build(peer, data.points, data.metric)}}
    queries, truth = list(data.queries), data.gt
    if quick:
        queries, truth = queries[:QUICK_QUERIES], truth[:QUICK_QUERIES]
    runners = {"karnoxel": (ours.set_ef, lambda q, k: ours.ids(ours.search_one(q, k), k)),
               "hnswlib": (peer.set_ef, lambda q, k: peer.ids(peer.search_one(q, k), k))}
    # The default operating point (breadth None): karnoxel a plain search for 10, hnswlib ef 32.
    result["default"] = {n: p[0] for n, p in sweep(runners, queries, truth, 10, [None], rounds).items()}
    result["k10"] = sweep(runners, queries, truth, 10, BREADTHS, rounds)
    result["k100"] = sweep(runners, queries, truth, 100, QUICK_BREADTHS_100 if quick else BREADTHS_100, rounds)
    return result


def curve(points, key):
    return [(p[key], p["qps"]) for p in points]


def report(result, out=sys.stdout):
    d = result["dataset"]
    say = lambda *a: print(*a, file=out)  # noqa: E731
    say(f"\n== {d['label']}: {d['n']:,} x {d['dim']}, {d['metric']}, {result['queries']} queries, single thread, "
        f"one query per call, median of {result['rounds']} alternating rounds")
    for k in (10, 100):
        rows = result[f"k{k}"]
        say(f"{'breadth':>8} {'karnoxel R@' + str(k):>14} {'q/s':>8} {'hnswlib R@' + str(k):>14} {'q/s':>8}")
        for a, b in zip(rows["karnoxel"], rows["hnswlib"]):
            say(f"{a['breadth']:>8} {a[f'recall{k}']:>14.4f} {common.fmt_qps(a['qps']):>8} "
                f"{b[f'recall{k}']:>14.4f} {common.fmt_qps(b['qps']):>8}")
        table = common.equal_recall(curve(rows["karnoxel"], f"recall{k}"), curve(rows["hnswlib"], f"recall{k}"))
        if k == 10:
            common.print_equal_recall(table, out=out)
        say(f"QPS at equal recall@{k}, karnoxel / hnswlib: {common.summarize_ratios(table)}")
    ours, theirs = result["default"]["karnoxel"], result["default"]["hnswlib"]
    say(f"recall@10 at the default breadth: karnoxel {ours['recall10']:.4f} ({common.fmt_qps(ours['qps'])} q/s), "
        f"hnswlib ef {common.DEFAULT_EF} {theirs['recall10']:.4f} ({common.fmt_qps(theirs['qps'])} q/s)")
    b = result["build"]
    n = d["n"]
    say(f"build: karnoxel {n / b['karnoxel']['seconds']:,.0f}/s, hnswlib {n / b['hnswlib']['seconds']:,.0f}/s, "
        f"rate ratio {b['hnswlib']['seconds'] / b['karnoxel']['seconds']:.2f}x (one build each)")
    say(f"memory per point: karnoxel {b['karnoxel']['bytes_per_point']:,.0f} B, hnswlib "
        f"{b['hnswlib']['bytes_per_point']:,.0f} B, ratio "
        f"{b['karnoxel']['bytes_per_point'] / b['hnswlib']['bytes_per_point']:.2f}x (raw vectors {4 * d['dim']} B)")


def main():
    parser = common.parser(__doc__, rounds=3)
    parser.add_argument("--datasets", help="comma-separated names from bench/datasets.py "
                        "(default: the quick list, or the long one without --quick)")
    parser.add_argument("--json", type=Path, help="also write every figure to this file")
    parser.add_argument("--embed-python", default=common.embed_python())
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.quick, args.rounds)))
        return
    names = args.datasets.split(",") if args.datasets else (QUICK if args.quick else LONG)
    if args.quick:
        args.rounds = min(args.rounds, 2)
    results = []
    for name in names:
        datasets.load(name, quick=args.quick, embed_python=args.embed_python)   # made and cached here once
        print(f"{name}: building and sweeping...", file=sys.stderr, flush=True)
        cmd = [sys.executable, __file__, "--worker", name, "--rounds", str(args.rounds)] + \
              (["--quick"] if args.quick else [])
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(common.ROOT),
                                                                         os.environ.get("PYTHONPATH")])))
        done = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, env=env)
        results.append(json.loads(done.stdout.strip().splitlines()[-1]))
        report(results[-1])
        sys.stdout.flush()
    if args.json:
        args.json.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
