"""batch_search: answers equal per-query search, the worker pool's size,
failures inside workers, and batches in a child process after fork."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from karnoxel import VectorStorage
from conftest import UNDER_ASAN, UNDER_TSAN, in_forked_child, wait_for_child

DIM = 12


def build_store(size, seed):
    """Points of DIM floats in three tenants (and none), plus a few of another
    length, a zero vector and an empty one."""
    rng = np.random.default_rng(seed)
    store = VectorStorage()
    for i, row in enumerate(rng.standard_normal((size, DIM)).astype(np.float32)):
        tenant = ["a", "b", None][i % 3]
        store.upsert(i, row.tolist(), {"tenant_id": tenant} if tenant else None)
    for i, row in enumerate(rng.standard_normal((9, 5)).astype(np.float32)):
        store.upsert(100_000 + i, row.tolist(), {"tenant_id": "a"})
    store.upsert(200_000, [0.0] * DIM, {"tenant_id": "a"})
    store.upsert(200_001, [], None)
    return store


@pytest.fixture(scope="module", params=[200, 900], ids=["exact-route", "graph-route"])
def sized_store(request):
    # Below and above the 500 points from which searches walk the graph.
    return build_store(request.param, seed=request.param)


def mixed_queries(seed):
    rng = np.random.default_rng(seed)
    queries = [q.tolist() for q in rng.standard_normal((40, DIM)).astype(np.float32)]
    queries += [q.tolist() for q in rng.standard_normal((3, 5)).astype(np.float32)]
    queries += [[], [0.0] * DIM, [1.0] * 7]  # empty, zero, a length nothing has
    rng.shuffle(queries)
    return queries


@pytest.mark.parametrize("shape", ["mixed", "[]", "()", "[q]", "(q,)"])
@pytest.mark.parametrize("tenant", [None, "a", "nobody"])
@pytest.mark.parametrize("metric", ["cosine", "dot_product", "euclidean"])
def test_batch_equals_search_per_query(sized_store, metric, tenant, shape):
    q = [0.5] * DIM
    queries = {"mixed": mixed_queries(seed=len(metric)), "[]": [], "()": (), "[q]": [q], "(q,)": (q,)}[shape]
    for limit in (0, 1, 10, 10_000):
        expected = [sized_store.search(q, limit, metric, tenant) for q in queries]
        assert sized_store.batch_search(queries, limit, metric, tenant) == expected


def run_python(code, num_threads=None, timeout=120):
    """Runs code in a fresh interpreter; returns its standard output."""
    env = {k: v for k, v in os.environ.items() if k != "KARNOXEL_NUM_THREADS"}
    if num_threads is not None:
        env["KARNOXEL_NUM_THREADS"] = num_threads
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


# Starts the pool and prints how many threads it added to the process.
COUNT_WORKERS = """
    import os, karnoxel
    {setup}
    before = len(os.listdir("/proc/self/task"))
    store = karnoxel.VectorStorage()
    store.upsert(1, [1.0], None)
    assert store.batch_search([[1.0]] * 50, 1, "dot") == [[(1, 1.0)]] * 50
    print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize(
    "setting, one_cpu, expected",
    [
        (None, False, len(os.sched_getaffinity(0))),
        (None, True, 1),  # the affinity mask counts, not the machine
        ("3", True, 3),
        ("1", False, 1),
        ("0", True, 1),  # not a usable count: the mask decides
        ("many", True, 1),
        ("2x", True, 1),
    ],
)
@pytest.mark.skipif(UNDER_TSAN, reason="the thread sanitizer runs a thread of its own")
def test_pool_size(setting, one_cpu, expected):
    setup = "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})" if one_cpu else ""
    assert int(run_python(COUNT_WORKERS.format(setup=setup), setting)) == expected


@pytest.mark.skipif(UNDER_ASAN or UNDER_TSAN, reason="address-space limits break the sanitizers")
def test_out_of_memory_in_a_worker_raises_and_store_stays_usable():
    out = run_python("""
        import resource, karnoxel
        store = karnoxel.VectorStorage()
        for i in range(450):  # below the graph's threshold: the dot-product top is exact
            store.upsert(i, [float(i), 1.0], None)
        queries = [[1.0, 1.0]] * 100000
        store.batch_search(queries[:64], 10, "dot")  # workers and their allocator arenas exist
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (128 << 20), hard))
        try:
            store.batch_search(queries, 450, "dot")  # answers of 450 hits each: about 720 MB
            print("no failure")
        except MemoryError:
            print("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        expected = store.search(queries[0], 3, "dot")
        assert expected == [(449, 450.0), (448, 449.0), (447, 448.0)]
        assert store.batch_search(queries[:500], 3, "dot") == [expected] * 500
        store.upsert(5000, [1e6, 0.0], None)
        assert store.batch_search(queries[:2], 1, "dot") == [[(5000, 1e6)]] * 2
    """)
    assert out.split() == ["MemoryError"]


# Forking while the parent's workers allocate can leave the address sanitizer's
# own allocator lock held in the child (its runtime installs no fork handlers),
# so the busy case only runs in normal builds; glibc's allocator is fork-safe.
BUSY_FORK = pytest.param(
    True, id="pool-busy",
    marks=pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator is not fork-safe"))


@pytest.mark.skipif(UNDER_TSAN, reason="the thread sanitizer refuses threads in a child of a threaded parent")
@pytest.mark.parametrize("busy", [pytest.param(False, id="pool-idle"), BUSY_FORK])
def test_child_after_fork_answers_batches(busy):
    store = build_store(900, seed=3)
    queries = mixed_queries(seed=3) * 20
    expected = [store.search(q, 5, "cosine") for q in queries]

    # The pool is created on another thread than the one that forks.
    creator = threading.Thread(target=store.batch_search, args=(queries, 5, "cosine"))
    creator.start()
    creator.join()
    stop = threading.Event()

    def keep_searching():
        while not stop.is_set():
            store.batch_search(queries, 5, "cosine")

    background = threading.Thread(target=keep_searching)
    if busy:
        background.start()
        time.sleep(0.05)
    try:
        pid = in_forked_child(lambda: all(store.batch_search(queries, 5, "cosine") == expected for _ in range(3)))
    finally:
        stop.set()
        if busy:
            background.join()
    assert wait_for_child(pid) == 0
    assert store.batch_search(queries, 5, "cosine") == expected  # the parent's pool still works
