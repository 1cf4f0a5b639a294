"""One shard: a Ray actor that owns one VectorStorage.

The actor only ever receives values already checked and converted by the
ShardedStorage that drives it (float32 arrays, exact ints and strs, plain
payload dicts), so its store sees the same values a local store would.
"""

import os

import karnoxel

from karnoxel_ray import _manifest


class Shard:
    def __init__(self):
        self._store = karnoxel.VectorStorage()

    def ping(self):
        return os.getpid()

    def upsert_many(self, ids, vectors, payloads):
        """Upserts points in the order given (a later one replaces an earlier
        one with the same id)."""
        upsert = self._store.upsert
        for point_id, vector, payload in zip(ids, vectors, payloads):
            upsert(point_id, vector, payload)
        return len(ids)

    def search(self, query_vector, limit, metric, tenant_id):
        return self._store.search(query_vector, limit, metric, tenant_id)

    def batch_search(self, query_vectors, limit, metric, tenant_id):
        return self._store.batch_search(query_vectors, limit, metric, tenant_id)

    def save(self, path):
        """Saves atomically to ``path``; returns (size, sha256) of the file."""
        self._store.save(path)
        return _manifest.file_digest(path)

    def load(self, path, size, sha256):
        """Loads ``path`` after checking it against the manifest's size and
        SHA-256; a mismatch raises OSError and loads nothing."""
        try:
            actual_size, actual_sha = _manifest.file_digest(path)
        except OSError as error:
            raise OSError(f"Failed to read shard snapshot {path}: {error.strerror or error}") from None
        if actual_size != size:
            raise OSError(f"Shard snapshot {path} has {actual_size} bytes, the manifest says {size}")
        if actual_sha != sha256:
            raise OSError(f"Shard snapshot {path} does not match its SHA-256 in the manifest")
        self._store.load(path)
        return actual_size
