"""Snapshot save and load at scale: karnoxel against hnswlib.

Builds N x D points (default 1,000,000 x 128, seeded Gaussian clusters) into
each system once, saves it, then loads it in a fresh process. Reports save
and load times, file sizes, and for the load the peak and final resident
memory growth of that process, checked against the budget "image size plus
the final store".

    python bench/snapshot_io.py [--points 1000000] [--dim 128] [--workdir bench/data/snapshot]

Each phase runs in its own subprocess (so peak RSS is that phase's own); the
build is single-threaded for both systems.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def data(args):
    path = os.path.join(args.workdir, f"points-{args.points}x{args.dim}.npy")
    if not os.path.exists(path):
        rng = np.random.default_rng(2026)
        centres = rng.standard_normal((1000, args.dim)).astype(np.float32) * 3
        x = centres[rng.integers(0, 1000, args.points)] + rng.standard_normal((args.points, args.dim), np.float32)
        np.save(path, x.astype(np.float32))
    return path


def phase(args, system, step):
    x = np.load(data(args), mmap_mode="r")
    path = os.path.join(args.workdir, f"{system}.index")
    out = {}
    if system == "karnoxel":
        import karnoxel
        store = karnoxel.VectorStorage()
        if step == "save":
            for i in range(len(x)):
                store.upsert(i, x[i] if args.numpy_rows else x[i].tolist(), None)
            t = time.perf_counter()
            store.save(path)
            out["save_s"] = time.perf_counter() - t
        else:
            base = rss_bytes()
            t = time.perf_counter()
            store.load(path)
            out["load_s"] = time.perf_counter() - t
            out["final_growth"] = rss_bytes() - base
            out["peak_growth"] = peak_bytes() - base
            out["check"] = len(store.search(np.asarray(x[0]).tolist(), 10, "l2"))
    else:
        import hnswlib
        index = hnswlib.Index(space="cosine", dim=x.shape[1])
        if step == "save":
            index.init_index(max_elements=len(x), M=16, ef_construction=64)
            index.set_num_threads(1)
            index.add_items(np.asarray(x), np.arange(len(x)))
            t = time.perf_counter()
            index.save_index(path)
            out["save_s"] = time.perf_counter() - t
        else:
            base = rss_bytes()
            t = time.perf_counter()
            index.load_index(path, max_elements=len(x))
            out["load_s"] = time.perf_counter() - t
            out["final_growth"] = rss_bytes() - base
            out["peak_growth"] = peak_bytes() - base
            out["check"] = len(index.knn_query(np.asarray(x[0]), k=10)[0][0])
    out["file_bytes"] = os.path.getsize(path)
    print(json.dumps(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--workdir", default=os.path.join(os.path.dirname(__file__), "data", "snapshot"))
    parser.add_argument("--phase", nargs=2, metavar=("SYSTEM", "STEP"), help=argparse.SUPPRESS)
    parser.add_argument("--numpy-rows", action="store_true", help="upsert numpy rows directly (needs buffer support)")
    args = parser.parse_args()
    os.makedirs(args.workdir, exist_ok=True)
    if args.phase:
        phase(args, *args.phase)
        return
    data(args)
    results = {}
    for system in ("karnoxel", "hnswlib"):
        results[system] = {}
        for step in ("save", "load"):
            cmd = [sys.executable, __file__, "--points", str(args.points), "--dim", str(args.dim),
                   "--workdir", args.workdir, "--phase", system, step] + (["--numpy-rows"] if args.numpy_rows else [])
            print(f"{system} {step}...", file=sys.stderr, flush=True)
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            results[system].update(json.loads(out.strip().splitlines()[-1]))
    k, h = results["karnoxel"], results["hnswlib"]
    mb = 1 / 2**20
    print(f"{args.points} x {args.dim}: save and load, karnoxel vs hnswlib (M 16, ef_construction 64)")
    print(f"{'':12} {'karnoxel':>12} {'hnswlib':>12} {'ratio':>7}")
    print(f"{'save s':12} {k['save_s']:12.2f} {h['save_s']:12.2f} {k['save_s'] / h['save_s']:7.2f}")
    print(f"{'load s':12} {k['load_s']:12.2f} {h['load_s']:12.2f} {k['load_s'] / h['load_s']:7.2f}")
    print(f"{'file MiB':12} {k['file_bytes'] * mb:12.1f} {h['file_bytes'] * mb:12.1f}")
    print(f"{'load peak MiB':12} {k['peak_growth'] * mb:12.1f} {h['peak_growth'] * mb:12.1f}")
    print(f"{'store MiB':12} {k['final_growth'] * mb:12.1f} {h['final_growth'] * mb:12.1f}")
    budget = k["file_bytes"] + k["final_growth"]
    print(f"karnoxel load peak {k['peak_growth'] * mb:.1f} MiB vs budget image + store {budget * mb:.1f} MiB: "
          f"{'within' if k['peak_growth'] <= budget else 'OVER'}")
    print(json.dumps(results))


if __name__ == "__main__":
    main()
