"""A first tour of karnoxel: store a few thousand points for three tenants,
then search them with every metric, with and without a tenant filter."""

import random

import karnoxel

random.seed(7)
DIM = 64
TENANTS = ["acme", "globex", "initech"]

store = karnoxel.VectorStorage()

# Points: an unsigned 64-bit id, a list of floats, and an optional payload.
# The payload key "tenant_id" assigns a point to a tenant.
centres = {t: [random.gauss(0.0, 1.0) for _ in range(DIM)] for t in TENANTS}
for point_id in range(3000):
    tenant = TENANTS[point_id % 3]
    vector = [c + random.gauss(0.0, 0.3) for c in centres[tenant]]
    store.upsert(point_id, vector, {"tenant_id": tenant, "rank": point_id, "price": point_id * 0.5})

query = [c + random.gauss(0.0, 0.3) for c in centres["globex"]]

for metric in ["cosine", "dot_product", "euclidean"]:
    hits = store.search(query, 5, metric)
    print(f"{metric:>12}: " + ", ".join(f"{pid}:{score:.4f}" for pid, score in hits))

# Only one tenant's points:
hits = store.search(query, 5, "cosine", tenant_id="acme")
print(f"{'acme only':>12}: " + ", ".join(f"{pid}:{score:.4f}" for pid, score in hits))

# Many queries at once, one list of hits per query:
answers = store.batch_search([query, centres["initech"]], 3, "l2")
for i, hits in enumerate(answers):
    print(f"{'batch ' + str(i):>12}: " + ", ".join(f"{pid}:{score:.4f}" for pid, score in hits))

# Upserting an existing id replaces the point (vector and payload).
store.upsert(0, query, {"tenant_id": "globex"})
print(f"{'replaced':>12}: {store.search(query, 1, 'cosine')}")
