"""The store under load, faults and hostile input: no crash, no deadlock,
no leak, nothing changed by a failed call."""

import gc
import itertools
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import karnoxel
from karnoxel import VectorStorage
from conftest import UNDER_ASAN, UNDER_TSAN, in_forked_child, run_threads, wait_for_child
from snapshot_format import parse, write



def image_of(store, tmp_path):
    path = tmp_path / "state.snap"
    store.save(str(path))
    return path.read_bytes()


def test_eight_threads_mixed_operations(tmp_path):
    """Upserts, searches, batches, saves and loads from 8 threads at once.
    Afterwards every upsert that began after the last load finished is
    stored with its exact vector, and a save/load round trip is identical."""
    store = VectorStorage()
    clock = itertools.count()
    clock_lock = threading.Lock()
    upserts, loads = [], []
    ops = int(os.environ.get("KARNOXEL_STRESS_OPS", "6000"))

    def tick():
        with clock_lock:
            return next(clock)

    def worker(t):
        def run():
            rng = np.random.default_rng(t)
            snap = str(tmp_path / f"thread{t}.snap")
            saved = False
            next_id = t * 1_000_000
            for _ in range(ops):
                kind = rng.choice(["upsert"] * 6 + ["search"] * 3 + ["batch"] * 2 + ["save", "load"])
                vector = rng.standard_normal(32).astype(np.float32)
                if kind == "upsert":
                    begin = tick()
                    store.upsert(next_id, vector.tolist(), {"tenant_id": f"t{t}"})
                    upserts.append((next_id, vector, begin))
                    next_id += 1
                elif kind == "search":
                    tenant = f"t{t}" if rng.random() < 0.5 else None
                    hits = store.search(vector.tolist(), 5, "l2", tenant)
                    assert [s for _, s in hits] == sorted(s for _, s in hits)
                    assert tenant is None or all(h[0] // 1_000_000 == t for h in hits)
                elif kind == "batch":
                    queries = rng.standard_normal((int(rng.integers(0, 40)), 32)).astype(np.float32)
                    answers = store.batch_search(queries, 3, "cosine")
                    assert len(answers) == len(queries) and all(len(a) <= 3 for a in answers)
                elif kind == "save":
                    store.save(snap)
                    saved = True
                elif saved:
                    store.load(snap)
                    loads.append(tick())
        return run

    run_threads([worker(t) for t in range(8)], timeout=240)
    last_load = max(loads, default=-1)
    image = parse(image_of(store, tmp_path))
    kept = [(pid, vector) for pid, vector, begin in upserts if begin > last_load]
    for pid, vector in kept:
        assert np.array_equal(np.array(image.points[pid][1], np.float32), vector)
    fresh = VectorStorage()
    fresh.load(str(tmp_path / "state.snap"))
    assert image_of(fresh, tmp_path) == image_of(store, tmp_path)
    for q in np.random.default_rng(99).standard_normal((20, 32)).astype(np.float32):
        assert fresh.search(q.tolist(), 10, "l2") == store.search(q.tolist(), 10, "l2")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_million_calls_leak_nothing(tmp_path):
    store = VectorStorage()
    vector = [0.5, 1.5, -2.0]
    bad_vector = [1.0, "x"]
    payload = {"tenant_id": "acme", "n": 3, "f": 0.25, "drop": [1]}
    bad_payload = {"ok": 1, 2: "not a str key"}
    tenant = "acme"
    surrogate = "\ud800"
    queries = [vector, vector, [1.0]]
    watched = [vector, bad_vector, payload, bad_payload, tenant, surrogate, queries, payload["drop"]]
    before = [sys.getrefcount(o) for o in watched]

    calls = [
        lambda i: store.upsert(i % 2000, vector, payload),
        lambda i: store.upsert(i, bad_vector, None),
        lambda i: store.upsert(i, vector, bad_payload),
        lambda i: store.search(vector, 5, "cosine", tenant),
        lambda i: store.search(vector, 5, "nope"),
        lambda i: store.search(vector, 5, "l2", surrogate),
        lambda i: store.batch_search(queries, 3, "dot"),
        lambda i: store.batch_search([vector, bad_vector], 3, "dot"),
        lambda i: store.upsert(-1, vector, None),
        lambda i: store.search(vector, -5, "dot"),
    ]
    total = int(os.environ.get("KARNOXEL_LEAK_CALLS", 1_000_000 if not UNDER_ASAN else 200_000))
    warm = total // 5
    baseline = None
    for i in range(total):
        try:
            calls[i % len(calls)](i)
        except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
            pass
        if i == warm:
            gc.collect()
            baseline = rss()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
    if not UNDER_ASAN:  # the sanitizer's quarantine holds freed memory on purpose
        assert rss() - baseline < 16 << 20, (rss() - baseline) / 2**20


class Raises:
    def __float__(self):
        raise ArithmeticError("float")

    def __index__(self):
        raise LookupError("index")


class Reenters:
    """Conversion hooks that call back into the store being converted for."""

    def __init__(self, store, path):
        self.store, self.path = store, path

    def __float__(self):
        self.store.search([1.0] * 4, 3, "l2")
        self.store.batch_search([[1.0] * 4] * 3, 2, "dot")
        self.store.save(self.path)
        raise ArithmeticError("after re-entering")

    def __index__(self):
        self.store.load(self.path)
        raise LookupError("after re-entering")


class Shrinks(list):
    pass


def hostile_calls(store, path):
    big = 10**30
    shrinking = [1.0, 2.0, 3.0, 4.0]

    class Clearer:
        def __float__(self):
            shrinking.clear()
            return 1.0

    shrinking[1] = Clearer()
    nested = [[1.0, [2.0]]]
    weird_dict = type("D", (dict,), {"__getitem__": lambda self, k: 1 / 0, "items": lambda self: 1 / 0})
    return [
        ("upsert", (None, [1.0] * 4, None)),
        ("upsert", (b"1", [1.0] * 4, None)),
        ("upsert", (big, [1.0] * 4, None)),
        ("upsert", (-big, [1.0] * 4, None)),
        ("upsert", (float("nan"), [1.0] * 4, None)),
        ("upsert", (Raises(), [1.0] * 4, None)),
        ("upsert", (Reenters(store, path), [1.0] * 4, None)),
        ("upsert", (1, None, None)),
        ("upsert", (1, nested, None)),
        ("upsert", (1, [Raises()], None)),
        ("upsert", (1, [Reenters(store, path)], None)),
        ("upsert", (1, [10**400], None)),
        ("upsert", (1, "\ud800", None)),
        ("upsert", (1, [1.0] * 4, {"k": big})),
        ("upsert", (1, [1.0] * 4, {"\ud800": 1})),
        ("upsert", (1, [1.0] * 4, {"k": "\udfff"})),
        ("upsert", (1, [1.0] * 4, {b"k": 1})),
        ("upsert", (1, [1.0] * 4, [("tenant_id", "x")])),
        ("upsert", (1, [1.0] * 4, weird_dict(tenant_id=1, bad=2**70))),
        ("upsert", (1, np.zeros((2, 2), np.float32), None)),
        ("upsert", (1, np.array(["1.0", "x"]), None)),
        ("search", (None, 3, "l2")),
        ("search", ([1.0] * 4, big, "l2")),
        ("search", ([1.0] * 4, Raises(), "l2")),
        ("search", ([1.0] * 4, Reenters(store, path), "l2")),
        ("search", ([1.0] * 4, 3, "\ud800")),
        ("search", ([1.0] * 4, 3, "l2", b"t")),
        ("search", ([1.0] * 4, 3, "l2", "\ud800")),
        ("search", ([[1.0] * 4], 3, "l2")),
        ("search", (np.ones((1, 4)), 3, "l2")),
        ("batch_search", ([[1.0] * 4, None], 3, "l2")),
        ("batch_search", ([[1.0] * 4, [Raises()]], 3, "l2")),
        ("batch_search", ([[1.0] * 4, [Reenters(store, path)]], 3, "l2")),
        ("batch_search", (np.ones(4), 3, "l2")),
        ("batch_search", (np.ones((2, 2, 4)), 3, "l2")),
        ("batch_search", (iter([[1.0] * 4]), 3, "l2")),
        ("batch_search", ([[1.0] * 4], 3, "l2", 5)),
        ("save", (None,)),
        ("save", (b"/tmp/x",)),
        ("save", ("/tmp/a\0b",)),
        ("save", ("\ud800",)),
        ("save", ("/nonexistent-dir/x",)),
        ("load", ("/tmp/a\0b",)),
        ("load", ("\udc80",)),
        ("load", ("/nonexistent-dir/x",)),
        ("load", (os.path.dirname(path),)),
    ], shrinking


CLEAN = (TypeError, ValueError, OverflowError, UnicodeEncodeError, OSError, ArithmeticError, LookupError,
         RuntimeError, MemoryError)


def test_hostile_arguments(tmp_path):
    store = VectorStorage()
    rng = np.random.default_rng(5)
    for i, v in enumerate(rng.standard_normal((600, 4)).astype(np.float32)):
        store.upsert(i, v.tolist(), {"tenant_id": "t"} if i % 2 else None)
    path = str(tmp_path / "reenter.snap")
    store.save(path)
    calls, shrinking = hostile_calls(store, path)
    for method, args in calls:
        before = image_of(store, tmp_path)
        try:
            result = getattr(store, method)(*args)
        except CLEAN:
            # Re-entrant hooks load the snapshot saved above, which holds the
            # same content: either way the store must be as it was.
            assert image_of(store, tmp_path) == before, (method, args)
        else:
            assert method in ("search", "batch_search"), (method, args, result)
            assert image_of(store, tmp_path) == before
    # A list emptied while it is converted simply ends there, as iteration does.
    store.upsert(10_000, shrinking, None)
    assert parse(image_of(store, tmp_path)).points[10_000][1] == [1.0, 1.0]


def test_keyboard_interrupt_leaves_the_store_usable():
    # Python's own Ctrl-C handler, even where the suite was started with
    # SIGINT ignored (as a background job of a shell is).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        run_interrupted_calls()
    finally:
        signal.signal(signal.SIGINT, previous)


def run_interrupted_calls():
    store = VectorStorage()
    rng = np.random.default_rng(8)
    rows = rng.standard_normal((2000, 32)).astype(np.float32)
    for i, v in enumerate(rows):
        store.upsert(i, v.tolist(), None)
    query = rows[5].tolist()
    for round_, action in enumerate(("search", "batch")):
        # Sent by another process, as a terminal's Ctrl-C is: a Python timer
        # thread could wait a long time for the interpreter lock on a busy
        # machine while this thread keeps taking it back.
        timer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
        try:
            with pytest.raises(KeyboardInterrupt):
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    if action == "search":
                        store.search(query, 10, "l2")
                    else:
                        store.batch_search([query] * 200, 10, "l2")
        finally:
            timer.kill()
            timer.wait()
        assert store.search(rows[6].tolist(), 1, "l2") == [(6, 0.0)]
        store.upsert(100_000 + round_, query, None)
        assert {h[0] for h in store.search(query, 2 + round_, "l2")} == {5} | {100_000 + r for r in range(round_ + 1)}


def run_child(code, *args, timeout=120):
    """Runs Python code in a fresh interpreter; returns its stdout lines."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                         text=True, timeout=timeout)
    assert out.returncode == 0, (out.returncode, out.stderr[-3000:])
    return out.stdout.split("\n")[:-1]


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator does not honour the address-space limit")
def test_out_of_memory_raises_memory_error_and_changes_nothing(tmp_path):
    lines = run_child("""
        import resource, sys, karnoxel
        snap = sys.argv[1]
        store = karnoxel.VectorStorage()
        for i in range(600):
            store.upsert(i, [float(i % 7), 1.0, 2.0], {"tenant_id": "t"})
        store.save(snap)
        before = open(snap, "rb").read()
        big = "x" * (300 << 20)
        empties = [[]] * 2_000_000
        q = [1.0, 2.0, 3.0]
        cases = {
            "payload value": lambda: store.upsert(1, q, {"k": big}),
            "payload key": lambda: store.upsert(1, q, {big: 1}),
            "tenant": lambda: store.search(q, 5, "l2", big),
            "metric": lambda: store.batch_search([q], 5, big),
            "save path": lambda: store.save(big),
            "load path": lambda: store.load(big),
            "batch answers": lambda: store.batch_search(empties, 5, "dot"),
        }
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (40 << 20), hard))
        for name, call in cases.items():
            try:
                call()
                print(name, "no error")
            except MemoryError:
                print(name, "MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        store.save(snap)
        print("unchanged" if open(snap, "rb").read() == before else "changed")
    """, tmp_path / "s.snap")
    assert lines == [f"{name} MemoryError" for name in ("payload value", "payload key", "tenant", "metric",
                                                       "save path", "load path", "batch answers")] + ["unchanged"]


inject = getattr(karnoxel, "_inject_allocation_failure", None)


LONG = 2048


def upsert_scenarios(tmp_path):
    """(name, a function making the store, upsert arguments) for each kind of
    change an upsert makes to the table and the graph."""
    rng = np.random.default_rng(17)
    rows = rng.standard_normal((150, 8)).astype(np.float32)
    other = rng.standard_normal(8).astype(np.float32).tolist()

    def graph_store():
        store = VectorStorage()
        for i, row in enumerate(rows):
            store.upsert(i, row.tolist(), {"tenant_id": "ab"[i % 2]})
        store.upsert(5000, [1.0, 2.0, 3.0], None)
        return store

    entry = parse(image_of(graph_store(), tmp_path)).entry_point
    damaged = parse(image_of(graph_store(), tmp_path))
    damaged.entry_point = None
    (tmp_path / "damaged.snap").write_bytes(write(damaged))

    def damaged_store():
        store = VectorStorage()
        store.load(str(tmp_path / "damaged.snap"))
        return store

    # A tenant of 2048-float vectors holds 8-bit copies of them from 512 points on.
    long_rows = rng.standard_normal((530, LONG)).astype(np.float32)
    long_other = rng.standard_normal(LONG).astype(np.float32).tolist()

    def long_store(members):
        def make():
            store = VectorStorage()
            for i, row in enumerate(long_rows[:members]):
                store.upsert(i, row, {"tenant_id": "big"})
            return store
        return make

    return [
        ("tenant grows large", long_store(511), (10_000, long_other, {"tenant_id": "big"})),
        ("point joins a large tenant", long_store(530), (10_000, long_other, {"tenant_id": "big"})),
        ("point leaves a large tenant", long_store(530), (7, long_other, {"tenant_id": "small"})),
        ("new point", graph_store, (10_000, other, {"tenant_id": "new"})),
        ("moved point", graph_store, (3, other, None)),
        ("point leaves the graph", graph_store, (4, [], None)),
        ("entry point leaves the graph", graph_store, (entry, [0.0] * 8, None)),
        ("point joins the graph", graph_store, (5000, other, None)),
        ("payload only", graph_store, (6, rows[6].tolist(), {"tenant_id": "c", "x": 1})),
        ("damaged graph rebuilt", damaged_store, (10_000, other, None)),
    ]


def upsert_with_failure(store, args, k):
    """Upserts on a new thread (whose working memory starts empty, so every
    allocation an upsert can make happens) with its k-th allocation failing.
    Returns (raised MemoryError, countdown left: 0 if the k-th allocation
    was reached)."""
    result = {}

    def run():
        inject(k)
        try:
            store.upsert(*args)
            result["failed"] = False
        except MemoryError:
            result["failed"] = True
        result["left"] = inject(0)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return result["failed"], result["left"]


@pytest.mark.skipif(inject is None, reason="needs a build with -DKARNOXEL_FAULT_INJECTION=ON")
def test_failed_upserts_change_nothing(tmp_path):
    """Every allocation of an upsert fails in turn, each time in a fresh
    store: a failure leaves the store exactly as it was; an upsert that
    succeeds (also when an optional step absorbed the failure) stores the
    point fully, graph links included."""
    queries = np.random.default_rng(3).standard_normal((5, 8)).astype(np.float32)
    for name, make_store, (pid, vector, payload) in upsert_scenarios(tmp_path):
        failures = 0
        for k in range(1, 100_000):
            store = make_store()
            before = image_of(store, tmp_path)
            answers = [store.search(q.tolist(), 10, "l2") for q in queries]
            failed, left = upsert_with_failure(store, (pid, vector, payload), k)
            if failed:
                failures += 1
                assert image_of(store, tmp_path) == before, (name, k)
                assert [store.search(q.tolist(), 10, "l2") for q in queries] == answers, (name, k)
                continue
            image = parse(image_of(store, tmp_path))
            assert image.points[pid][1] == list(np.float32(vector)), (name, k)
            if vector and any(vector) and len(vector) in (8, LONG):
                assert pid in image.nodes and store.search(vector, 1, "l2") == [(pid, 0.0)], (name, k)
            else:
                assert pid not in image.nodes, (name, k)
            if left > 0:  # done without reaching the k-th allocation: every one has failed once
                break
        else:
            pytest.fail(f"{name}: the upsert never succeeded")
        assert failures >= 3, name


# Forking while other threads allocate can leave a sanitizer's own allocator
# lock held in the child (their runtimes install no fork handlers), and the
# thread sanitizer refuses threads in such a child: these run in normal builds.
FORK_SAFE_RUNTIME = not UNDER_ASAN and not UNDER_TSAN


@pytest.mark.skipif(not FORK_SAFE_RUNTIME, reason="the sanitizer runtimes are not fork-safe")
@pytest.mark.parametrize("activity", ["search", "batch", "save", "upsert", "load"])
def test_child_forked_while_another_thread_works_can_use_the_store(tmp_path, activity):
    rng = np.random.default_rng(21)
    rows = rng.standard_normal((1200, 16)).astype(np.float32)
    store = VectorStorage()
    for i, row in enumerate(rows):
        store.upsert(i, row.tolist(), None)
    snap = str(tmp_path / "parent.snap")
    store.save(snap)
    stop = threading.Event()

    def work():
        i = 0
        while not stop.is_set():
            i += 1
            if activity == "search":
                store.search(rows[i % 1200].tolist(), 10, "cosine")
            elif activity == "batch":
                store.batch_search(rows[:64], 10, "cosine")
            elif activity == "save":
                store.save(snap)
            elif activity == "upsert":
                store.upsert(i % 1200, rows[i % 1200].tolist(), None)
            else:
                store.load(snap)

    worker = threading.Thread(target=work)
    worker.start()
    try:
        for attempt in range(6):
            time.sleep(float(rng.uniform(0.0, 0.05)))

            def child():
                store.upsert(99_999, rows[0].tolist(), None)
                mine = str(tmp_path / f"child{attempt}.snap")
                store.save(mine)
                store.load(mine)
                return store.search(rows[0].tolist(), 2, "l2")[0][1] == 0.0 and store.batch_search(rows[:4], 3, "l2")

            pid = in_forked_child(child)
            assert wait_for_child(pid) == 0, activity
    finally:
        stop.set()
        worker.join()


@pytest.mark.parametrize("method", ["load", "save"])
def test_fifo_without_a_peer_is_interrupted_by_ctrl_c(tmp_path, method):
    lines = run_child("""
        import os, signal, sys, threading, karnoxel
        fifo, snap, method = sys.argv[1:4]
        os.mkfifo(fifo)
        store = karnoxel.VectorStorage()
        store.upsert(1, [1.0, 2.0], {"tenant_id": "t"})
        store.save(snap)
        before = open(snap, "rb").read()
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
        threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()
        try:
            getattr(store, method)(fifo)
            print("returned")
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
        store.save(snap)
        print("unchanged" if open(snap, "rb").read() == before else "changed")
    """, tmp_path / "fifo", tmp_path / "s.snap", method, timeout=30)
    assert lines == ["KeyboardInterrupt", "unchanged"]


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator refuses a 16 GiB array")
def test_vector_of_four_billion_floats_is_refused(store):
    store.upsert(1, [1.0], None)
    try:
        huge = np.zeros(2**32, np.float32)  # untouched pages: address space only
    except MemoryError:
        pytest.skip("this machine cannot map 16 GiB")
    with pytest.raises(OverflowError, match="a vector holds at most 4294967294 values") as info:
        store.upsert(2, huge, None)
    assert info.value.__notes__ == ["while processing 'vector'"]
    assert store.search([1.0], 5, "dot") == [(1, 1.0)]
