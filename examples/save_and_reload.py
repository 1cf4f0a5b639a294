"""Keep a store across restarts: load the last snapshot at start-up, save
checkpoints while serving, and get the same answers after a restart.

A snapshot holds everything (vectors, payloads and the search graph), so a
restarted process answers exactly as before without re-indexing. `save`
replaces the file atomically: a crash mid-save leaves the previous snapshot,
and readers of the file never see half of one.

    python examples/save_and_reload.py [--points 20000] [--dir SNAPSHOT_FOLDER]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass

import numpy as np

import karnoxel

DIM = 96


@dataclass
class Report:
    points: int
    snapshot_bytes: int
    save_seconds: float
    load_seconds: float
    same_in_process: bool  # a loaded store answers exactly as the saved one
    same_after_restart: bool  # and so does another process
    checkpoints: int  # snapshots saved while another thread kept upserting
    failed_load_kept_store: bool  # a failed load leaves the store as it was


def open_store(path: str) -> karnoxel.VectorStorage:
    """A store with the last saved state, or an empty one on first start."""
    store = karnoxel.VectorStorage()
    if os.path.exists(path):
        store.load(path)  # path must be a str: use os.fspath(p) for a pathlib.Path
    return store


def answers(store: karnoxel.VectorStorage, queries: list[list[float]]) -> list[list[list[float]]]:
    """Ids and scores of every query, in a JSON-friendly form."""
    return [[[pid, score] for pid, score in hits] for hits in store.batch_search(queries, 10, "cosine")]


def restarted_answers(path: str, queries: list[list[float]]) -> list[list[list[float]]]:
    """Answers from a fresh Python process that loads the snapshot."""
    child = (
        "import json, sys, karnoxel\n"
        "store = karnoxel.VectorStorage()\n"
        "store.load(sys.argv[1])\n"
        "queries = json.load(sys.stdin)\n"
        "print(json.dumps([[[pid, score] for pid, score in hits]"
        " for hits in store.batch_search(queries, 10, 'cosine')]))\n"
    )
    done = subprocess.run([sys.executable, "-c", child, path], input=json.dumps(queries),
                          capture_output=True, text=True, check=True)
    result: list[list[list[float]]] = json.loads(done.stdout)
    return result


def main(argv: list[str] | None = None) -> Report:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--points", type=int, default=20_000)
    parser.add_argument("--dir", help="where to keep the snapshot (default: a temporary folder)")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(11)
    vectors = rng.normal(size=(args.points + 2000, DIM)).astype(np.float32)
    queries = rng.normal(size=(20, DIM)).astype(np.float32).tolist()

    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(args.dir or scratch, "store.snap")
        if os.path.exists(path):
            os.remove(path)

        # First start: nothing saved yet.
        store = open_store(path)
        for i in range(args.points):
            store.upsert(i, vectors[i], {"tenant_id": f"t{i % 7}", "seq": i})
        start = time.perf_counter()
        store.save(path)
        save_seconds = time.perf_counter() - start
        size = os.path.getsize(path)
        print(f"saved {args.points} points to {path}: {size / 1e6:.1f} MB in {save_seconds:.3f} s")

        # A restart in this process and in another one: the same answers, bit for bit.
        start = time.perf_counter()
        restored = open_store(path)
        load_seconds = time.perf_counter() - start
        expected = answers(store, queries)
        same_here = answers(restored, queries) == expected
        same_there = restarted_answers(path, queries) == expected
        print(f"loaded in {load_seconds:.3f} s; same answers here: {same_here}, in a new process: {same_there}")

        # Checkpoints while another thread keeps writing: each save is a
        # consistent state of the store, and the file is always whole.
        stop = threading.Event()

        def keep_writing() -> None:
            i = args.points
            while not stop.is_set() and i < len(vectors):
                store.upsert(i, vectors[i], {"tenant_id": "late"})
                i += 1

        writer = threading.Thread(target=keep_writing)
        writer.start()
        checkpoints = 0
        for _ in range(3):
            store.save(path)
            checkpoints += 1
            open_store(path)  # every checkpoint loads
        stop.set()
        writer.join()
        print(f"{checkpoints} checkpoints saved while another thread upserted")

        # A failed load raises OSError and leaves the store untouched.
        before = answers(restored, queries)
        try:
            restored.load(os.path.join(scratch, "missing.snap"))
        except OSError as error:
            print(f"load of a missing file: OSError: {error}")
        kept = answers(restored, queries) == before
        print(f"store unchanged after the failed load: {kept}")

    return Report(args.points, size, save_seconds, load_seconds, same_here, same_there, checkpoints, kept)


if __name__ == "__main__":
    main()
