"""A sharded karnoxel store on Ray: VectorStorage's five methods over shards
held by Ray actors, for data beyond one machine's memory or query rates
beyond its cores.

    from karnoxel_ray import ShardedStorage
    store = ShardedStorage(4)          # starts (or joins) a local Ray instance
    store.upsert(1, [0.1, 0.9], {"tenant_id": "acme"})
    store.search([0.1, 0.8], 10, "cosine")

Needs Ray: ``pip install "karnoxel[ray]"``. The extension module
``karnoxel`` does not depend on this package.
"""

try:
    import ray as _ray  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError('karnoxel_ray needs Ray: pip install "karnoxel[ray]"') from error

from karnoxel_ray._routing import ROUTING, shard_of
from karnoxel_ray._store import ShardedStorage, ShardError, ShardTimeoutError

for _public in (ShardedStorage, ShardError, ShardTimeoutError):
    _public.__module__ = __name__

__all__ = ["ROUTING", "ShardError", "ShardTimeoutError", "ShardedStorage", "shard_of"]
