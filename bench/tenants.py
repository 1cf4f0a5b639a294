"""Tenants of every size: recall@10 and queries per second per tenant, against the unfiltered rate.

The tenants-zipf dataset: 100,000 real text embeddings (text-384's pool,
L2-normalized, cosine) whose points are dealt at random to Zipf-sized tenants
("zipf-001" holds 50% of the points, then 11%, 4.5%, 2.4%, ... down to 2
points; about a quarter of the points have no tenant). karnoxel is built with
a `tenant_id` payload per point; every tenant is asked the first queries
(quick 100, else 1,000) at the default breadth, one query per call, single
thread, and the unfiltered rate at the same breadth is timed before, between
and after the tenants (median). Printed: per tenant its size, recall@10
against the tenant's exact top 10, QPS and QPS / unfiltered QPS, then the
worst tenant on each. With --peer, hnswlib (M 16, ef_construction 64, ef 32,
a Python filter callable) is measured the same way.

With --shares (for example 0.45,0.35,0.2), the dataset's points are dealt
at random to tenants of those shares of the store instead (shares summing
to at most 1; the exact top 10 of each is computed on the spot): the sizes
between the Zipf set's 50% and 11%.

The same measurement is part of the full runner (`python -m bench --datasets
tenants-zipf`), which also records faiss; this script prints it directly.

    python bench/tenants.py --quick
    python bench/tenants.py --peer
    python bench/tenants.py --quick --shares 0.45,0.35,0.2
    python bench/tenants.py --quick --shares 0.4,0.3,0.25
    python bench/tenants.py --quick --dataset text-384-raw-l2 --shares 0.5,0.3,0.11,0.05
    python bench/tenants.py --dataset norms-128-dot --shares 0.9,0.1 --peer
"""

import sys
from pathlib import Path

if __package__ in (None, ""):  # run as `python bench/tenants.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import numpy as np

from bench import common, datasets, systems, worker


def measure(name, data, budget):
    system = systems.make(name)
    system.set_threads(1)
    payloads = None
    if name == "karnoxel":
        payloads = [{"tenant_id": data.tenant_names[t]} if t >= 0 else None for t in data.tenant_of.tolist()]
    system.build(data.points, data.metric, payloads)
    return worker.measure_tenants(system, data, budget, per_tenant=budget)


def deal_shares(data, shares, quick):
    """Replaces the dataset's tenants by tenants of the given shares of its points, dealt at random."""
    if not data.tenant_queries:  # a dataset without tenants: ask them as many queries as the tenant sets do
        data.tenant_queries = min(len(data.queries), 100 if quick else 1000)
    sizes = [round(share * data.n) for share in shares]
    data.tenant_names = [f"share-{share:g}" for share in shares]
    data.tenant_of = datasets.deal(data.n, sizes, seed=7)
    queries = data.queries[:data.tenant_queries]
    data.tenant_gt = {}
    for index, tenant in enumerate(data.tenant_names):
        members = np.flatnonzero(data.tenant_of == index)
        data.tenant_gt[tenant] = datasets.exact_top(data.points[members], queries, data.metric, ids=members)


def main():
    parser = common.parser(__doc__)
    parser.add_argument("--dataset", default="tenants-zipf")
    parser.add_argument("--budget", type=float, help="seconds of queries per tenant (quick 0.5, else 2)")
    parser.add_argument("--peer", action="store_true", help="also measure hnswlib with a filter callable")
    parser.add_argument("--shares", help="comma-separated shares of the store, one tenant each, instead of "
                                         "the dataset's tenants")
    parser.add_argument("--embed-python", default=common.embed_python())
    args = parser.parse_args()
    budget = args.budget or (0.5 if args.quick else 2.0)

    from threadpoolctl import threadpool_limits

    data = datasets.load(args.dataset, quick=args.quick, embed_python=args.embed_python)
    if args.shares:
        deal_shares(data, [float(share) for share in args.shares.split(",")], args.quick)
    threadpool_limits(1)
    worker.progress = lambda label: None
    print(f"{data.label}: {data.n:,} x {data.dim}, {data.metric}, {len(data.tenant_names)} tenants, "
          f"{data.tenant_queries} queries per tenant, k {worker.K}, default breadth")
    names = ["karnoxel"] + (["hnswlib-efc64"] if args.peer else [])
    results = {name: measure(name, data, budget) for name in names}

    head = f"{'tenant':<10} {'points':>7}"
    for name in names:
        head += f" | {name + ' R@10':>20} {'q/s':>8} {'/unfilt.':>8}"
    print(head)
    for rows in zip(*(results[name] for name in names)):
        line = f"{rows[0]['tenant']:<10} {rows[0]['size']:>7,}"
        for r in rows:
            line += f" | {r['recall10']:>20.4f} {common.fmt_qps(r['qps']):>8} {common.fmt_ratio(r['vs_unfiltered']):>8}"
        print(line)
    for name in names:
        rows = results[name]
        worst_recall = min(rows, key=lambda r: r["recall10"])
        worst_rate = min(rows, key=lambda r: r["vs_unfiltered"])
        short = sum(r["short"] for r in rows)
        print(f"{name}: unfiltered {common.fmt_qps(rows[0]['unfiltered_qps'])} q/s; lowest recall@10 "
              f"{worst_recall['recall10']:.4f} ({worst_recall['tenant']}, {worst_recall['size']:,} points); lowest "
              f"rate {worst_rate['vs_unfiltered']:.2f}x unfiltered ({worst_rate['tenant']}, {worst_rate['size']:,} "
              f"points); {short} answers shorter than min(10, tenant size)")


if __name__ == "__main__":
    main()
