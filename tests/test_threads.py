"""Several Python threads on one store: searches run while others upsert."""

import threading

import numpy as np

from karnoxel import VectorStorage


def run_threads(targets, timeout=120):
    errors = []

    def wrap(target):
        try:
            target()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "deadlock: a thread did not finish"
    assert not errors, errors


def test_concurrent_upserts_and_searches(rng):
    store = VectorStorage()
    vectors = rng.standard_normal((4, 300, 16)).astype(np.float32)

    def writer(w):
        def run():
            for i, v in enumerate(vectors[w]):
                store.upsert(w * 1000 + i, v.tolist(), {"tenant_id": f"w{w}"})
        return run

    def reader(w):
        def run():
            for i in range(200):
                hits = store.search(vectors[w][i % 300].tolist(), 5, "l2", f"w{w}")
                # Whatever is visible belongs to the tenant and is sorted.
                assert all(pid // 1000 == w for pid, _ in hits)
                assert [s for _, s in hits] == sorted(s for _, s in hits)
        return run

    run_threads([writer(w) for w in range(4)] + [reader(w) for w in range(4)])
    for w in range(4):
        for i in range(0, 300, 37):
            (pid, score), *_ = store.search(vectors[w][i].tolist(), 1, "l2")
            assert pid == w * 1000 + i and score == 0.0


def test_searches_in_parallel_agree(rng):
    store = VectorStorage()
    rows = rng.standard_normal((2000, 32)).astype(np.float32)
    for i, v in enumerate(rows):
        store.upsert(i, v.tolist(), None)
    queries = rng.standard_normal((40, 32)).astype(np.float32).tolist()
    expected = [store.search(q, 10, "cosine") for q in queries]
    results = [None] * 6

    def searcher(k):
        def run():
            results[k] = [store.search(q, 10, "cosine") for q in queries]
        return run

    run_threads([searcher(k) for k in range(6)])
    assert all(r == expected for r in results)
