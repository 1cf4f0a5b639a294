"""Measures one system on one dataset, in a fresh process (started by run.py).

Running every (dataset, system) pair in its own process keeps the resident
set growth of a build clean, gives every system the same process conditions
and keeps a crash in one library from ending the run. Progress goes to
stdout as "@@" lines for the runner; the figures go to the --out JSON file.

    python -m bench.worker --dataset clustered-128 --system hnswlib-efc64 --out r.json [--quick]
"""

import argparse
import gc
import json
import os
import shutil
import sys
import time
import traceback
from pathlib import Path


from bench import common, datasets, systems
from bench.common import peak_bytes, reset_peak, rss_bytes

EFS = [16, 32, 64, 128, 256, 512]
K = 10
K100_EFS = [128, 256, 512]   # breadths at which recall@100 is measured (ef >= 100)
BATCH_CHUNK = 100
MIN_QUERIES = 50
SNAPSHOT_CHECK = 50


def progress(label):
    print(f"@@step {label}", flush=True)


def timed(fn, rows, budget, min_count=MIN_QUERIES):
    return common.run_calls(fn, rows, budget, min_count)


def figure(count, seconds, **extra):
    return dict(extra, queries=count, seconds=round(seconds, 4), qps=count / seconds if seconds > 0 else None)


def measure_single(system, data, budget):
    rows = system.query_rows(data.queries)
    out = {"single": [], "k100": []}
    if system.sweeps_ef:
        # The default operating point: karnoxel a plain search for k, the peers ef 32.
        progress(f"single-thread k={K} default breadth")
        system.set_ef(None)
        raw, seconds = timed(lambda q: system.search_one(q, K), rows, budget)
        found = [system.ids(r, K) for r in raw]
        out["default"] = figure(len(raw), seconds, ef=None, k=K,
                                recall10=datasets.recall(found, data.gt[:len(found)], K))
    efs = EFS if system.sweeps_ef else [None]
    for ef in efs:
        progress(f"single-thread k={K} ef={ef or 'exact'}")
        if ef is not None:
            system.set_ef(ef)
        raw, seconds = timed(lambda q: system.search_one(q, K), rows, budget)
        found = [system.ids(r, K) for r in raw]
        out["single"].append(figure(len(raw), seconds, ef=ef, k=K,
                                    recall10=datasets.recall(found, data.gt[:len(found)], K)))
    for ef in (K100_EFS if system.sweeps_ef else [None]):
        progress(f"single-thread k=100 ef={ef or 'exact'}")
        if ef is not None:
            system.set_ef(ef)
        raw, seconds = timed(lambda q: system.search_one(q, 100), rows, budget)
        found = [system.ids(r, 100) for r in raw]
        out["k100"].append(figure(len(raw), seconds, ef=ef, k=100,
                                  recall100=datasets.recall(found, data.gt[:len(found)], 100),
                                  recall10=datasets.recall([f[:K] for f in found], data.gt[:len(found)], K)))
    return out


def measure_batch(system, data, budget, threads):
    results = []
    for ef in (EFS if system.sweeps_ef else [None]):
        progress(f"batch ef={ef or 'exact'} threads={threads}")
        if ef is not None:
            system.set_ef(ef)
        system.search_batch(data.queries[:BATCH_CHUNK], K)   # warm-up
        raw, done = [], 0
        gc.disable()
        start = time.perf_counter()
        for lo in range(0, len(data.queries), BATCH_CHUNK):
            raw.append(system.search_batch(data.queries[lo:lo + BATCH_CHUNK], K))
            done += min(BATCH_CHUNK, len(data.queries) - lo)
            if time.perf_counter() - start > budget and done >= 2 * BATCH_CHUNK:
                break
        seconds = time.perf_counter() - start
        gc.enable()
        found = [row for chunk in raw for row in system.batch_ids(chunk, K)]
        results.append(figure(len(found), seconds, ef=ef, k=K, threads=threads, chunk=BATCH_CHUNK,
                              recall10=datasets.recall(found, data.gt[:len(found)], K)))
    return results


def measure_tenants(system, data, budget, per_tenant=None):
    """Every tenant's recall@10 and rate, and the same system's unfiltered rate at
    the same breadth (timed before, between and after the tenants; median)."""
    if system.sweeps_ef:
        system.set_ef(data.tenant_ef)
    rows = system.query_rows(data.queries[:data.tenant_queries])
    unfiltered = []
    # Many tenants (the Zipf set has over a hundred) share the time of a few.
    many = len(data.tenant_names) > 20
    if per_tenant is None:
        per_tenant = budget * 20 / len(data.tenant_names) if many else budget
    # A filter callable walks the whole graph for a tiny tenant (0.1 s a query in hnswlib):
    # with over a hundred tenants, ten queries each must do.
    least = 10 if many else MIN_QUERIES

    def reference():
        raw, seconds = timed(lambda q: system.search_one(q, K), rows, budget)
        unfiltered.append(len(raw) / seconds)

    results = []
    reference()
    for index, tenant in enumerate(data.tenant_names):
        progress(f"tenant {tenant}")
        if index == len(data.tenant_names) // 2:
            reference()
        members = data.tenant_members(tenant)
        fn = system.tenant_searcher(tenant, members, K)
        raw, seconds = timed(fn, rows, per_tenant, least)
        found = [system.tenant_ids(r, K) for r in raw]
        truth = data.tenant_gt[tenant]
        results.append(figure(len(raw), seconds, tenant=tenant, size=int(len(members)),
                              ef=data.tenant_ef if system.sweeps_ef else None, k=K,
                              recall10=datasets.recall(found, truth[:len(found)], K),
                              empty=sum(1 for f in found if len(f) == 0),
                              short=sum(1 for f in found if len(f) < min(K, len(members)))))
    reference()
    rate = common.median(unfiltered)
    for r in results:
        r["unfiltered_qps"] = rate
        r["vs_unfiltered"] = r["qps"] / rate if r["qps"] and rate else None
    return results


def file_size(path):
    path = Path(path)
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size


def measure_snapshot(system, data):
    progress("snapshot save/load")
    folder = datasets.DATA_DIR / f"snapshot-{os.getpid()}"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    path = folder / f"{system.name}.snapshot"
    try:
        t = time.perf_counter()
        system.save(path)
        save_s = time.perf_counter() - t
        size = file_size(path) if path.exists() else file_size(folder)
        t = time.perf_counter()
        loaded = system.load(path)
        load_s = time.perf_counter() - t
        queries = data.queries[:SNAPSHOT_CHECK]
        before = [list(system.ids(system.search_one(q, K), K)) for q in system.query_rows(queries)]
        after = [list(loaded.ids(loaded.search_one(q, K), K)) for q in loaded.query_rows(queries)]
        same = sum(1 for a, b in zip(before, after) if [int(x) for x in a] == [int(x) for x in b])
        del loaded
        return {"save_s": save_s, "load_s": load_s, "bytes": size, "same_top10": same / len(queries)}
    except systems.Unsupported as error:
        return {"unsupported": str(error) or "not available"}
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def measure_per_point(name, data, prefix, metric):
    """Build the first `prefix` points one call per point, and with the batch add, each in a fresh index."""
    points = data.points[:prefix]
    out = {"points": len(points)}
    progress(f"per-point build of {len(points)} points")
    system = systems.make(name)
    system.set_threads(1)
    try:
        if name == "karnoxel":
            t = time.perf_counter()
            system.build(points, metric)
            out["per_point_s"] = time.perf_counter() - t
            out["info"] = system.info()["input"]
        else:
            t = time.perf_counter()
            system.build_per_point(points, metric)
            out["per_point_s"] = time.perf_counter() - t
            del system
            system = systems.make(name)
            system.set_threads(1)
            t = time.perf_counter()
            system.build(points, metric)
            out["batch_s"] = time.perf_counter() - t
    except systems.Unsupported:
        return None
    return out


def main():
    from threadpoolctl import threadpool_limits  # a benchmark requirement; the helpers above work without it

    parser = argparse.ArgumentParser()
    parser.add_argument("--dataset", required=True)
    parser.add_argument("--system", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--budget", type=float, required=True, help="seconds per measured operating point")
    parser.add_argument("--per-point", type=int, required=True, help="prefix size for the per-point build")
    args = parser.parse_args()

    data = datasets.load(args.dataset, quick=args.quick)
    has_tenants = bool(data.tenant_names)
    system = systems.make(args.system)
    threads = systems.cores()
    result = {"system": system.name, "label": system.label, "params": system.params, "errors": []}
    steps = 1 + 1 + 1 + (len(data.tenant_names) if has_tenants else 0)
    if not has_tenants:
        efs = len(EFS) if system.sweeps_ef else 1
        steps += efs + (len(K100_EFS) if system.sweeps_ef else 1) + efs + (1 if system.sweeps_ef else 0)
    print(f"@@steps {steps}", flush=True)

    limiter = threadpool_limits(1)
    system.set_threads(1)
    payloads = None
    if has_tenants and system.name == "karnoxel":
        names = data.tenant_names
        payloads = [{"tenant_id": names[t]} if t >= 0 else None for t in data.tenant_of.tolist()]

    progress("build")
    common.trim_memory()
    before = rss_bytes()
    peak_reset = reset_peak()
    t = time.perf_counter()
    system.build(data.points, data.metric, payloads)
    seconds = time.perf_counter() - t
    after = rss_bytes()
    peak = peak_bytes() if peak_reset else None
    result["build"] = {
        "seconds": seconds, "points_per_s": data.n / seconds, "threads": 1,
        "method": "one upsert per point" if system.name == "karnoxel" else
                  ("copy" if system.name == "numpy-exact" else "batch add"),
        "rss_growth_bytes": after - before, "bytes_per_point": (after - before) / data.n,
        "peak_growth_bytes": (peak - before) if peak else None,
        "vector_bytes_per_point": data.dim * 4,
    }
    result["info"] = system.info()

    def section(key, fn):
        try:
            result[key] = fn()
        except Exception as error:  # recorded, the other figures still count
            result["errors"].append(f"{key}: {type(error).__name__}: {error}")
            traceback.print_exc()

    if has_tenants:
        if system.tenants_supported:
            section("tenants", lambda: measure_tenants(system, data, args.budget))
        else:
            for _ in data.tenant_names:
                progress("tenants not supported")
            result["tenants"] = None
    else:
        section("sweep", lambda: measure_single(system, data, args.budget))
        if "sweep" in result:
            result.update(result.pop("sweep"))
        limiter.restore_original_limits()
        system.set_threads(threads)
        section("batch", lambda: measure_batch(system, data, args.budget, threads))
        limiter = threadpool_limits(1)
        system.set_threads(1)
        if system.sweeps_ef:
            system.set_ef(None)

    section("snapshot", lambda: measure_snapshot(system, data))
    del system
    gc.collect()
    section("per_point", lambda: measure_per_point(args.system, data, min(args.per_point, data.n), data.metric))

    Path(args.out).write_text(json.dumps(result, indent=1, default=float))


if __name__ == "__main__":
    sys.exit(main())
