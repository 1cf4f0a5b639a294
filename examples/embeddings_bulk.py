"""Index real sentence embeddings in bulk from several Python threads, then
measure search throughput and recall against an exact numpy search.

The data are the one-line descriptions of 2,000 Debian packages, plus 200
more as queries, embedded with all-MiniLM-L6-v2 (384 dimensions; see
examples/data/make_embeddings.py). Rows of a float32 array go straight to
upsert: karnoxel reads them from memory and releases the interpreter lock
while it indexes, so the loading threads run in parallel.

    python examples/embeddings_bulk.py [--threads 4] [--limit 10] [--points 2000]
"""

from __future__ import annotations

import argparse
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

import karnoxel

DATA = Path(__file__).resolve().parent / "data" / "debian-minilm-2k.npz"

Matrix = npt.NDArray[np.float32]


@dataclass
class Report:
    points: int
    queries: int
    threads: int
    upserts_per_second: float
    single_queries_per_second: float
    batch_queries_per_second: float
    recall: float  # mean fraction of the exact top `limit` found


def load_embeddings(points: int) -> tuple[Matrix, Matrix, list[str], list[str]]:
    with np.load(DATA) as data:
        corpus = np.ascontiguousarray(data["corpus"][:points], dtype=np.float32)
        queries = np.ascontiguousarray(data["queries"], dtype=np.float32)
        return corpus, queries, [str(t) for t in data["corpus_text"][:points]], [str(t) for t in data["query_text"]]


def index_in_threads(store: karnoxel.VectorStorage, corpus: Matrix, texts: list[str], threads: int) -> float:
    """Upserts every row, its row number as id and its text as payload,
    from `threads` threads each taking an interleaved share; returns seconds."""

    def load_share(first: int) -> None:
        for row in range(first, len(corpus), threads):
            store.upsert(row, corpus[row], {"description": texts[row]})

    start = time.perf_counter()
    with ThreadPoolExecutor(threads) as pool:
        for done in [pool.submit(load_share, first) for first in range(threads)]:
            done.result()
    return time.perf_counter() - start


def exact_top(corpus: Matrix, queries: Matrix, limit: int) -> npt.NDArray[np.int64]:
    """The true top `limit` ids of each query by cosine similarity, in float64."""
    c = corpus.astype(np.float64)
    q = queries.astype(np.float64)
    scores = (q / np.linalg.norm(q, axis=1, keepdims=True)) @ (c / np.linalg.norm(c, axis=1, keepdims=True)).T
    return np.argsort(-scores, axis=1, kind="stable")[:, :limit].astype(np.int64)


def main(argv: list[str] | None = None) -> Report:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--threads", type=int, default=4, help="loading threads (default 4)")
    parser.add_argument("--limit", type=int, default=10, help="neighbours per query (default 10)")
    parser.add_argument("--points", type=int, default=2000, help="corpus rows to index, at most 2000")
    args = parser.parse_args(argv)

    corpus, queries, texts, query_texts = load_embeddings(args.points)
    print(f"{len(corpus)} descriptions, {len(queries)} queries, {corpus.shape[1]} dimensions")

    store = karnoxel.VectorStorage()
    seconds = index_in_threads(store, corpus, texts, args.threads)
    upserts_per_second = len(corpus) / seconds
    print(f"indexed with {args.threads} threads in {seconds:.2f} s: {upserts_per_second:,.0f} upserts/s")

    start = time.perf_counter()
    single = [store.search(q, args.limit, "cosine") for q in queries]
    single_qps = len(queries) / (time.perf_counter() - start)
    start = time.perf_counter()
    batch = store.batch_search(queries, args.limit, "cosine")  # the 2-D array, one query per row
    batch_qps = len(queries) / (time.perf_counter() - start)
    assert [[pid for pid, _ in hits] for hits in batch] == [[pid for pid, _ in hits] for hits in single]
    print(f"search: {single_qps:,.0f} queries/s one by one, {batch_qps:,.0f} queries/s in one batch_search")

    truth = exact_top(corpus, queries, args.limit)
    found = sum(len({pid for pid, _ in hits} & set(truth[i].tolist())) for i, hits in enumerate(batch))
    recall = found / truth.size
    print(f"recall@{args.limit} against numpy brute force: {recall:.3f} ({found} of {truth.size})")

    for i in range(2):
        print(f"\n{query_texts[i]!r}")
        for pid, score in batch[i][:3]:
            print(f"  {score:.3f}  {texts[pid]}")

    return Report(len(corpus), len(queries), args.threads, upserts_per_second, single_qps, batch_qps, recall)


if __name__ == "__main__":
    main()
