"""Several Python threads on one store: searches run while others upsert."""

import threading

import numpy as np

from karnoxel import VectorStorage
from conftest import UNDER_TSAN, run_threads


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


def test_batches_see_one_state_while_another_thread_upserts(rng):
    store = VectorStorage()
    for i, v in enumerate(rng.standard_normal((600, 16)).astype(np.float32)):
        store.upsert(i, v, {"tenant_id": "t"} if i % 2 else None)
    query = rng.standard_normal(16).astype(np.float32)
    # Each upsert adds a point nearer to the query than any before it, so
    # the answers change with almost every upsert.
    upserts = 500 if UNDER_TSAN else 4000  # the thread sanitizer makes every step slow
    approaching = [(query + rng.standard_normal(16) / (k + 2)).astype(np.float32) for k in range(upserts)]
    writing = threading.Event()
    writing.set()

    def writer():
        try:
            for k, v in enumerate(approaching):
                store.upsert(10_000 + k, v, {"tenant_id": "t"})
        finally:
            writing.clear()

    def batcher(metric, tenant):
        def run():
            while writing.is_set():
                answers = store.batch_search([query] * 64, 5, metric, tenant)
                assert all(a == answers[0] for a in answers), "one batch saw several states"
        return run

    def searcher():
        while writing.is_set():
            hits = store.search(query, 5, "l2", "t")
            assert [s for _, s in hits] == sorted(s for _, s in hits)

    run_threads([writer, batcher("l2", None), batcher("cosine", "t"), searcher])
    queries = [query] + approaching[::100]
    assert store.batch_search(queries, 5, "l2") == [store.search(q, 5, "l2") for q in queries]
    assert store.batch_search(queries, 5, "dot", "t") == [store.search(q, 5, "dot", "t") for q in queries]
