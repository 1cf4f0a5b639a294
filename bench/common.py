"""Helpers shared by the benchmark scripts: argument parsing, memory, timing,
recall, recall/QPS curves and the graph-less store used to force exact scans.

Scripts run as `python bench/NAME.py` put the repository root on sys.path
themselves (two lines at their top) and then import from here.
"""

import argparse
import ctypes
import gc
import math
import os
import resource
import statistics
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
DATA_DIR = BENCH_DIR / "data"

# Recall levels at which two recall/QPS curves are compared.
RECALL_GRID = [round(0.85 + 0.01 * i, 2) for i in range(15)]   # 0.85 .. 0.99
DEFAULT_EF = 32          # the peers' breadth that is compared with karnoxel's default breadth


# ---------------------------------------------------------------- command line

def parser(doc, quick=True, rounds=None):
    """An ArgumentParser described by the script's docstring (its first paragraph
    as the description, the whole text under --help), with --quick and --rounds."""
    p = argparse.ArgumentParser(description=doc.split("\n\n")[0], epilog=doc.split("\n\n", 1)[-1],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    if quick:
        p.add_argument("--quick", action="store_true", help="small sizes, finishes in a few minutes")
    if rounds is not None:
        p.add_argument("--rounds", type=int, default=rounds,
                       help=f"alternating rounds per measurement, medians reported (default {rounds})")
    return p


def embed_python():
    """The Python that makes the text embeddings: $KARNOXEL_EMBED_PYTHON, else the
    repository's .venv-embed (bench/README.md), else python3."""
    if os.environ.get("KARNOXEL_EMBED_PYTHON"):
        return os.environ["KARNOXEL_EMBED_PYTHON"]
    local = ROOT / ".venv-embed" / "bin" / "python"
    return str(local) if local.exists() else "python3"


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


# ---------------------------------------------------------------- memory

def rss_bytes():
    """Resident set size of this process."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    """Resets the kernel's peak resident set (VmHWM) so that it covers only what follows."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    """Peak resident set: VmHWM (resettable), else the lifetime maximum from getrusage."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def trim_memory():
    """Collects garbage and hands freed heap pages back to the OS (glibc), so that
    the next measurement's resident growth is not hidden by reused free memory."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


# ---------------------------------------------------------------- timing

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def percentile(values, p):
    """The p-th percentile (0..100) of values, nearest rank."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[min(rank, len(ordered)) - 1]


def alternate(contenders, rounds):
    """Runs each contender (name -> callable returning a figure) once per round,
    in forward order on even rounds and reversed on odd ones, so that neither
    side always runs first. Returns name -> list of figures."""
    names = list(contenders)
    out = {name: [] for name in names}
    for r in range(rounds):
        for name in (names if r % 2 == 0 else names[::-1]):
            out[name].append(contenders[name]())
    return out


def seconds_of(fn, *args):
    gc.disable()
    try:
        t = time.perf_counter()
        fn(*args)
        return time.perf_counter() - t
    finally:
        gc.enable()


def run_calls(fn, rows, budget=None, min_count=50, warm=5):
    """Calls fn once per row in order until all rows are done, or the budget
    (seconds) is spent after at least min_count calls. Returns (results, seconds)."""
    for q in rows[:warm]:
        fn(q)
    out = []
    gc.disable()
    try:
        start = time.perf_counter()
        deadline = None if budget is None else start + budget
        for q in rows:
            out.append(fn(q))
            if deadline is not None and len(out) >= min_count and time.perf_counter() > deadline:
                break
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    return out, elapsed


# ---------------------------------------------------------------- recall

def recall(found, truth, k):
    """Mean over queries of |found[:k] & truth[:k]| / min(k, len(truth row)).

    `found` is a sequence of id sequences (rows may be short or padded with
    negative ids); `truth` a 2-d array of exact ids, best first."""
    if len(found) == 0:
        return float("nan")
    want = min(k, truth.shape[1])
    if want == 0:
        return float("nan")
    total = 0.0
    for row, exact in zip(found, truth):
        hits = {int(i) for i in list(row)[:k] if i >= 0}
        total += len(hits.intersection(exact[:want].tolist())) / want
    return total / len(found)


# ---------------------------------------------------------------- curves

def frontier(points):
    """The (recall, qps) points no other point beats on both, by increasing recall."""
    best = []
    for r, q in sorted(((r, q) for r, q in points if q and q > 0 and r is not None),
                       key=lambda p: (-p[0], -p[1])):
        if not best or q > best[-1][1]:
            best.append((r, q))
    return best[::-1]


def qps_at(points, target):
    """Queries per second at recall `target`, interpolated on the frontier of
    (recall, qps) points, linear in recall and in log QPS. Below the lowest
    recall measured, that point's rate (a floor: a narrower search would be
    faster); above the highest, None (the curve does not reach it)."""
    curve = frontier(points)
    if not curve or target > curve[-1][0] + 1e-12:
        return None
    if target <= curve[0][0]:
        return curve[0][1]
    for (r0, q0), (r1, q1) in zip(curve, curve[1:]):
        if r0 <= target <= r1:
            if r1 == r0:
                return max(q0, q1)
            w = (target - r0) / (r1 - r0)
            return math.exp(math.log(q0) + w * (math.log(q1) - math.log(q0)))
    return None


def equal_recall(ours, theirs, grid=RECALL_GRID):
    """Per recall level of the grid: (recall, our QPS, their QPS, ratio or None)."""
    rows = []
    for target in grid:
        a, b = qps_at(ours, target), qps_at(theirs, target)
        rows.append((target, a, b, a / b if a and b else None))
    return rows


def summarize_ratios(rows):
    """One line for equal_recall() rows: range and median of the ratios, and the
    recall levels only one side reaches."""
    ratios = [r for *_, r in rows if r is not None]
    levels = [t for t, *_, r in rows if r is not None]
    parts = []
    if ratios:
        parts.append(f"{min(ratios):.2f}x..{max(ratios):.2f}x (median {statistics.median(ratios):.2f}x) "
                     f"over recall {min(levels):.2f}-{max(levels):.2f}")
    only_theirs = [t for t, a, b, _ in rows if a is None and b is not None]
    only_ours = [t for t, a, b, _ in rows if a is not None and b is None]
    if only_theirs:
        parts.append(f"only the peer reaches {only_theirs[0]:.2f}+")
    if only_ours:
        parts.append(f"only karnoxel reaches {only_ours[0]:.2f}+")
    return "; ".join(parts) if parts else "no common recall level"


def fmt_qps(value):
    if value is None:
        return "-"
    if value >= 1e4:
        return f"{value / 1e3:.1f}k"
    return f"{value:,.0f}"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}x"


def print_equal_recall(rows, ours="karnoxel", theirs="hnswlib", out=sys.stdout):
    print(f"  {'recall':>6} {ours + ' q/s':>14} {theirs + ' q/s':>14} {'ratio':>7}", file=out)
    for target, a, b, r in rows:
        print(f"  {target:>6.2f} {fmt_qps(a):>14} {fmt_qps(b):>14} {fmt_ratio(r):>7}", file=out)


# ---------------------------------------------------------------- a store without a graph

def exact_store(points):
    """A karnoxel store holding `points`' rows as points 0..n-1 and a graph with
    no nodes, loaded from a hand-made snapshot image: such a store answers every
    query with the exact scan, whatever its size. The image is written by the
    test suite's snapshot codec (tests/snapshot_format.py), the one reference
    writer of the format outside the core."""
    import karnoxel

    sys.path.insert(0, str(ROOT / "tests"))
    try:
        import snapshot_format
    finally:
        sys.path.pop(0)
    image = snapshot_format.Image()
    for i, row in enumerate(points):
        image.points[i] = (i, [float(v) for v in row], None)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "exact.snap")
        with open(path, "wb") as f:
            f.write(snapshot_format.write(image))
        store = karnoxel.VectorStorage()
        store.load(path)
    return store
