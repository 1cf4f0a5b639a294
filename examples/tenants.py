"""Serve many tenants from one store: each customer's documents are points
whose payload names the tenant, and every request searches its own tenant's
points only.

Tenant sizes follow a long tail (a few large customers, many small ones).
Requests arrive from several threads at once, each for a random tenant; every
answer is checked against an exact numpy search over that tenant's own
points, so the example also shows that no hit ever leaks across tenants.

    python examples/tenants.py [--tenants 200] [--points 20000] [--requests 4000] [--threads 4]
"""

from __future__ import annotations

import argparse
import random
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import karnoxel

DIM = 64
LIMIT = 10


@dataclass
class Report:
    tenants: int
    points: int
    requests: int
    requests_per_second: float
    recall: float  # mean fraction of the tenant's exact top 10 found
    leaked_hits: int  # hits from another tenant's points: always 0
    moved: bool  # a re-upserted point answers for its new tenant only
    int_tenant_hits: int  # hits for tenant_id="42" on a payload holding the int 42: always 0


def tenant_key(customer_id: int | str) -> str:
    """The tenant filter matches a payload's "tenant_id" only if it is the
    same str: an int 42 in a payload never matches tenant_id="42". Keep one
    spelling for both sides."""
    return f"customer-{customer_id}"


def tenant_sizes(tenants: int, points: int, rng: np.random.Generator) -> list[int]:
    """A Zipf-like split of `points` over `tenants`, each tenant at least one point."""
    weights = 1.0 / np.arange(1, tenants + 1)
    sizes = np.maximum(1, np.floor(weights / weights.sum() * points)).astype(int)
    rng.shuffle(sizes)
    return [int(s) for s in sizes]


def main(argv: list[str] | None = None) -> Report:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--tenants", type=int, default=200)
    parser.add_argument("--points", type=int, default=20_000)
    parser.add_argument("--requests", type=int, default=4_000)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--seed", type=int, default=5)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(args.seed)

    # Each tenant's documents cluster around topics of its own.
    store = karnoxel.VectorStorage()
    members: dict[str, npt.NDArray[np.float32]] = {}
    ids: dict[str, list[int]] = {}
    next_id = 0
    for customer, size in enumerate(tenant_sizes(args.tenants, args.points, rng)):
        tenant = tenant_key(customer)
        topics = rng.normal(size=(3, DIM))
        rows = (topics[rng.integers(0, 3, size)] + rng.normal(scale=0.6, size=(size, DIM))).astype(np.float32)
        members[tenant], ids[tenant] = rows, list(range(next_id, next_id + size))
        for point_id, row in zip(ids[tenant], rows):
            store.upsert(point_id, row, {"tenant_id": tenant, "kind": "document"})
        next_id += size
    largest = max(members, key=lambda t: len(members[t]))
    print(f"{args.tenants} tenants, {next_id} points; largest {largest} with {len(members[largest])}, "
          f"{sum(len(m) < 20 for m in members.values())} tenants below 20 points")

    # Requests: a random tenant and a query near one of its documents.
    picker = random.Random(args.seed)
    tenant_list = sorted(members)
    requests = []
    for _ in range(args.requests):
        tenant = picker.choice(tenant_list)
        anchor = members[tenant][picker.randrange(len(members[tenant]))]
        requests.append((tenant, (anchor + rng.normal(scale=0.3, size=DIM)).astype(np.float32)))

    def serve(request: tuple[str, npt.NDArray[np.float32]]) -> list[tuple[int, float]]:
        tenant, query = request
        return store.search(query, LIMIT, "cosine", tenant_id=tenant)

    start = time.perf_counter()
    with ThreadPoolExecutor(args.threads) as pool:
        answers = list(pool.map(serve, requests))
    rate = len(requests) / (time.perf_counter() - start)

    found = wanted = leaked = 0
    for (tenant, query), hits in zip(requests, answers):
        rows = members[tenant]
        scores = rows @ query / (np.linalg.norm(rows, axis=1) * np.linalg.norm(query))
        truth = {ids[tenant][i] for i in np.argsort(-scores, kind="stable")[:LIMIT]}
        got = {pid for pid, _ in hits}
        leaked += len(got - set(ids[tenant]))
        found += len(got & truth)
        wanted += len(truth)
    recall = found / wanted
    print(f"{len(requests)} requests from {args.threads} threads: {rate:,.0f} requests/s, "
          f"recall@{LIMIT} {recall:.3f} against an exact per-tenant search, {leaked} hits from other tenants")

    # A whole page of queries for one tenant in one call.
    page = np.stack([q for t, q in requests if t == largest][:8] or [members[largest][0]])
    for hits in store.batch_search(page, LIMIT, "cosine", tenant_id=largest):
        leaked += sum(pid not in set(ids[largest]) for pid, _ in hits)

    # Moving a document to another tenant: upsert replaces the whole payload.
    moved, to = ids[largest][0], tenant_key("new")
    store.upsert(moved, members[largest][0], {"tenant_id": to, "kind": "document"})
    now_in = [pid for pid, _ in store.search(members[largest][0], 1, "cosine", tenant_id=to)]
    still_in = moved in {pid for pid, _ in store.search(members[largest][0], LIMIT, "cosine", tenant_id=largest)}
    print(f"moved point {moved} to {to}: found there {now_in == [moved]}, still under {largest} {still_in}")

    # The filter compares strings: a payload's int 42 is not tenant "42".
    store.upsert(10**9, members[largest][0], {"tenant_id": 42})
    int_tenant = store.search(members[largest][0], 1, "cosine", tenant_id="42")
    print(f'payload {{"tenant_id": 42}}, search tenant_id="42": {int_tenant}')

    return Report(args.tenants, next_id, len(requests), rate, recall, leaked,
                  now_in == [moved] and not still_in, len(int_tenant))


if __name__ == "__main__":
    main()
