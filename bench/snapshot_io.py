"""Snapshot save and load at scale: karnoxel against hnswlib.

Builds the first N points (default 1,000,000 x 128) of the clustered-128-1m
mixture (bench/datasets.py; L2-normalized, cosine) into each system once
(one thread; karnoxel one upsert per point from numpy rows, hnswlib M 16,
ef_construction 64, space 'ip', add_items), saves it, then loads it in a
fresh process per load, --rounds times, alternating which system loads
first. Reports save time, the median load time and the load ratio, file
sizes, and for the load the peak and final resident growth of the loading
process, checked against the budget "the final store plus a quarter of the
image" (the graph's bytes are all a load keeps of the image). Right after
each load the process times 2,000 searches for 10 at the default breadth
(hnswlib ef 32; stored points as queries): the speed a service has in the
first seconds after it loads. karnoxel loads twice per round, as by default
(small pages, merged into huge ones by the kernel minutes later) and with
KARNOXEL_LOAD_HUGE_PAGES=1 (huge pages from the first touch).

    python bench/snapshot_io.py --quick           # 200,000 points, 2 rounds
    python bench/snapshot_io.py                   # 1,000,000 points, 3 rounds
    python bench/snapshot_io.py --points 500000 --workdir /tmp/snapshots

Each phase runs in its own subprocess, so peak memory is that phase's own.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/snapshot_io.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import numpy as np

from bench import common, datasets

SOURCE = "clustered-128-1m"
HUGE = "karnoxel huge pages"


def data_path(args):
    path = os.path.join(args.workdir, f"points-{args.points}.npy")
    if not os.path.exists(path):
        spec = datasets.DATASETS[SOURCE]
        x, _ = datasets.gaussian_mixture(args.points, 1, spec["dim"], spec["clusters"], spec["spread"],
                                         spec["normalize"], spec["seed"])
        np.save(path, x)
    return path


def first_qps(x, search, count=2000):
    """Searches per second over `count` stored points, one call each."""
    rows = np.random.default_rng(7).choice(len(x), size=min(count, len(x)), replace=False)
    queries = [np.ascontiguousarray(x[i]) for i in np.sort(rows)]
    t = time.perf_counter()
    for q in queries:
        search(q)
    return len(queries) / (time.perf_counter() - t)


def phase(args, system, step):
    x = np.load(data_path(args), mmap_mode="r")
    path = os.path.join(args.workdir, f"{system}.index")
    out = {}
    if system == "karnoxel":
        import karnoxel
        store = karnoxel.VectorStorage()
        if step == "save":
            rows = np.asarray(x)
            for i in range(len(rows)):
                store.upsert(i, rows[i], None)
            t = time.perf_counter()
            store.save(path)
            out["save_s"] = time.perf_counter() - t
        else:
            base = common.rss_bytes()
            common.reset_peak()
            t = time.perf_counter()
            store.load(path)
            out["load_s"] = time.perf_counter() - t
            out["final_growth"] = common.rss_bytes() - base
            out["peak_growth"] = common.peak_bytes() - base
            out["check"] = len(store.search(np.asarray(x[0]), 10, "cosine"))
            out["first_qps"] = first_qps(x, lambda q: store.search(q, 10, "cosine"))
    else:
        import hnswlib
        index = hnswlib.Index(space="ip", dim=x.shape[1])
        if step == "save":
            index.init_index(max_elements=len(x), M=16, ef_construction=64, random_seed=100)
            index.set_num_threads(1)
            index.add_items(np.asarray(x), np.arange(len(x)))
            t = time.perf_counter()
            index.save_index(path)
            out["save_s"] = time.perf_counter() - t
        else:
            base = common.rss_bytes()
            common.reset_peak()
            t = time.perf_counter()
            index.load_index(path, max_elements=len(x))
            out["load_s"] = time.perf_counter() - t
            out["final_growth"] = common.rss_bytes() - base
            out["peak_growth"] = common.peak_bytes() - base
            out["check"] = len(index.knn_query(np.asarray(x[0]), k=10)[0][0])
            index.set_num_threads(1)
            index.set_ef(32)
            out["first_qps"] = first_qps(x, lambda q: index.knn_query(q, k=10))
    out["file_bytes"] = os.path.getsize(path)
    print(json.dumps(out))


def main():
    parser = common.parser(__doc__, rounds=3)
    parser.add_argument("--points", type=int, help="default 1,000,000 (quick 200,000)")
    parser.add_argument("--workdir", default=str(common.DATA_DIR / "snapshot"))
    parser.add_argument("--phase", nargs=2, metavar=("SYSTEM", "STEP"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.points is None:
        args.points = 200_000 if args.quick else 1_000_000
    if args.quick:
        args.rounds = min(args.rounds, 2)
    os.makedirs(args.workdir, exist_ok=True)
    if args.phase:
        phase(args, *args.phase)
        return
    data_path(args)

    def run(system, step, huge=False):
        cmd = [sys.executable, __file__, "--points", str(args.points), "--workdir", args.workdir,
               "--phase", system, step]
        env = {k: v for k, v in os.environ.items() if k != "KARNOXEL_LOAD_HUGE_PAGES"}
        if huge:
            env["KARNOXEL_LOAD_HUGE_PAGES"] = "1"
        print(f"{system} {step}{' (huge pages)' if huge else ''}...", file=sys.stderr, flush=True)
        out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env).stdout
        return json.loads(out.strip().splitlines()[-1])

    results = {system: run(system, "save") for system in ("karnoxel", "hnswlib")}
    results[HUGE] = dict(results["karnoxel"])
    contenders = {"karnoxel": lambda: run("karnoxel", "load"), HUGE: lambda: run("karnoxel", "load", huge=True),
                  "hnswlib": lambda: run("hnswlib", "load")}
    loads = common.alternate(contenders, args.rounds)
    for system, runs in loads.items():
        results[system]["load_s"] = common.median([r["load_s"] for r in runs])
        results[system]["load_rounds"] = [round(r["load_s"], 3) for r in runs]
        results[system]["first_qps"] = common.median([r["first_qps"] for r in runs])
        for key in ("peak_growth", "final_growth", "check"):
            results[system][key] = max(r[key] for r in runs)
    k, h, kh = results["karnoxel"], results["hnswlib"], results[HUGE]
    mb = 1 / 2**20
    print(f"{args.points:,} x 128: save and load, karnoxel vs hnswlib (M 16, ef_construction 64); "
          f"load: median of {args.rounds} alternating rounds, fresh process each")
    print(f"{'':14} {'karnoxel':>12} {'hnswlib':>12} {'ratio':>7}")
    print(f"{'save s':14} {k['save_s']:12.2f} {h['save_s']:12.2f} {k['save_s'] / h['save_s']:7.2f}")
    print(f"{'load s':14} {k['load_s']:12.2f} {h['load_s']:12.2f} {k['load_s'] / h['load_s']:7.2f}")
    print(f"{'then search/s':14} {k['first_qps']:12,.0f} {h['first_qps']:12,.0f} {k['first_qps'] / h['first_qps']:7.2f}")
    print(f"{'file MiB':14} {k['file_bytes'] * mb:12.1f} {h['file_bytes'] * mb:12.1f}")
    print(f"{'load peak MiB':14} {k['peak_growth'] * mb:12.1f} {h['peak_growth'] * mb:12.1f}")
    print(f"{'store MiB':14} {k['final_growth'] * mb:12.1f} {h['final_growth'] * mb:12.1f}")
    # A load reads the points through a small window: at its peak it holds the
    # store and the graph's part of the image (a fifth of it at 128-d).
    budget = k["final_growth"] + k["file_bytes"] // 4
    print(f"karnoxel load peak {k['peak_growth'] * mb:.1f} MiB vs budget store + image / 4 {budget * mb:.1f} MiB: "
          f"{'within' if k['peak_growth'] <= budget else 'OVER'}")
    print(f"with KARNOXEL_LOAD_HUGE_PAGES=1: load {kh['load_s']:.2f} s ({kh['load_s'] / h['load_s']:.2f}x hnswlib's), "
          f"then {kh['first_qps']:,.0f} searches/s ({kh['first_qps'] / h['first_qps']:.2f}x hnswlib's, "
          f"{kh['first_qps'] / k['first_qps']:.2f}x the default load's)")
    print(json.dumps(results))


if __name__ == "__main__":
    main()
