import importlib
import os
import signal
import sys
import threading
import time
import warnings
import zlib

import numpy as np
import pytest

import karnoxel

# The suite also runs against sanitizer builds, with the runtime preloaded.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
UNDER_TSAN = "tsan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def rng(request):
    """A seeded generator; the seed is printed so a failure can be replayed."""
    seed = int(os.environ.get("KARNOXEL_TEST_SEED", "20261206")) + zlib.crc32(request.node.name.encode()) % 1000
    print(f"seed={seed}")
    return np.random.default_rng(seed)


@pytest.fixture
def store():
    return karnoxel.VectorStorage()


def f32(x):
    return np.float32(x)


def bits(x):
    """The single-precision bit pattern of a score (scores are float32 widened exactly)."""
    return int(np.array([x], dtype=np.float32).view(np.uint32)[0])


# Reference metrics: numpy float32 arithmetic, summed sequentially in index
# order from -0.0, one rounded product (or squared difference) per term.
# Vectorised across rows, sequential along the dimension.


def ref_sum(terms):
    """terms: (rows, n) float32; sequential sum along axis 1 from -0.0."""
    acc = np.full(terms.shape[0], -0.0, dtype=np.float32)
    with np.errstate(all="ignore"):
        for i in range(terms.shape[1]):
            acc = (acc + terms[:, i]).astype(np.float32)
    return acc


def ref_scores(query, rows, metric):
    """Exact scores of every row against query; NaN-free rows only where defined.

    Returns (scores, defined) where defined is False where the metric fails
    (zero magnitude for cosine)."""
    q = np.asarray(query, dtype=np.float32)
    x = np.asarray(rows, dtype=np.float32).reshape(len(rows), len(q))
    with np.errstate(all="ignore"):
        if metric == "dot":
            return ref_sum((x * q).astype(np.float32)), np.ones(len(x), bool)
        if metric == "l2":
            d = (q - x).astype(np.float32)
            return np.sqrt(ref_sum((d * d).astype(np.float32))).astype(np.float32), np.ones(len(x), bool)
        dot = ref_sum((x * q).astype(np.float32))
        aa = ref_sum((np.tile(q, (len(x), 1)) * q).astype(np.float32))
        bb = ref_sum((x * x).astype(np.float32))
        defined = (aa != 0) & (bb != 0)
        cos = (dot / (np.sqrt(aa) * np.sqrt(bb)).astype(np.float32)).astype(np.float32)
        return cos, defined


def rank_key(metric):
    """Sort key giving the store's order for a metric: best first, NaN last."""
    if metric == "l2":
        return lambda s: (np.isnan(s), s if not np.isnan(s) else 0.0)
    return lambda s: (np.isnan(s), -s if not np.isnan(s) else 0.0)


def run_threads(targets, timeout=120):
    """Runs each callable on its own thread; fails on any exception, and on a
    thread still running after `timeout` seconds (a deadlock)."""
    errors = []

    def wrap(target):
        try:
            target()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "deadlock: a thread did not finish"
    assert not errors, errors


def import_script(path):
    """Imports a file outside the packages (an example, a typed usage file) as
    a module named after it."""
    sys.path.insert(0, str(path.parent))
    try:
        return importlib.import_module(path.stem)
    finally:
        sys.path.pop(0)


def wait_for_child(pid, timeout=60):
    """The exit code of a forked child; fails (and kills it) if it hangs."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail(f"the child did not answer within {timeout} s (hang after fork)")


def in_forked_child(check):
    """Forks: the child runs check() and exits with 0 if it returns true, 1
    on anything else; the parent gets the child's pid."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if check() else 1
        finally:
            os._exit(code)
    return pid
