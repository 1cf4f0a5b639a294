"""ShardedStorage: VectorStorage's five methods over shards held by Ray actors."""

import operator
import os
import threading

import ray
import ray.exceptions

from karnoxel_ray import _convert, _manifest
from karnoxel_ray._routing import shard_of
from karnoxel_ray._shard import Shard

DEFAULT_TIMEOUT = 300.0
DEFAULT_SNAPSHOT_TIMEOUT = 3600.0
DEFAULT_UPSERT_BATCH = 1024

# A shard's actor serves several callers at once (VectorStorage releases the
# interpreter lock while it searches). Writes to one shard are ordered by the
# driver instead: at most one batch of upserts is in flight per shard, and a
# query is sent only once every earlier batch has been applied.
_ACTOR_OPTIONS = {"max_concurrency": 8, "max_restarts": 0, "scheduling_strategy": "SPREAD"}
_ShardActor = ray.remote(Shard)


class ShardError(OSError):
    """A shard did not answer: its actor died or could not be reached.

    ``shard`` is the shard's index and ``shard_count`` the number of shards.
    A shard whose actor died stays unavailable (every later call raises this
    at once) until ``load`` replaces all shards from a saved folder."""

    def __init__(self, shard, shard_count, reason):
        super().__init__(f"shard {shard} of {shard_count}: {reason}")
        self.shard = shard
        self.shard_count = shard_count


class ShardTimeoutError(ShardError, TimeoutError):
    """A shard did not answer within the store's timeout. Its state is then
    unknown: the call may still complete on the shard later."""


def _by_score(hit):
    return hit[1]


def _merge(lists, limit, ascending):
    """The best ``limit`` hits of per-shard answers (each already best first).

    Equal scores keep shard order, then each shard's own order: the sort is
    stable (also with ``reverse``) over the lists concatenated by shard index.
    NaN scores come after all others, as in a single store."""
    if len(lists) == 1:
        return lists[0]
    hits = [hit for hits in lists for hit in hits]
    if any(hits and hits[-1][1] != hits[-1][1] for hits in lists):
        scored = [hit for hit in hits if hit[1] == hit[1]]
        scored.sort(key=_by_score, reverse=not ascending)
        hits = scored + [hit for hit in hits if hit[1] != hit[1]]
    else:
        hits.sort(key=_by_score, reverse=not ascending)
    del hits[limit:]
    return hits


def _actor_died(error):
    unavailable = getattr(ray.exceptions, "ActorUnavailableError", None)
    return isinstance(error, ray.exceptions.RayActorError) and not (
        unavailable is not None and isinstance(error, unavailable)
    )


class ShardedStorage:
    """A vector store split over ``num_shards`` Ray actors, each holding one
    ``karnoxel.VectorStorage``, with VectorStorage's five methods.

    ``address`` is a Ray cluster address; without one, a local Ray instance
    is started (or the one this process already runs is used). ``timeout``
    bounds every wait for shards (seconds), ``snapshot_timeout`` the waits of
    ``save`` and ``load``. Upserts are sent in batches of ``upsert_batch``
    points per shard, and always before any query, so a caller reads its own
    writes. ``actor_options`` are passed to Ray when shard actors are made
    (for example ``{"num_cpus": 8}`` or ``{"resources": {...}}``)."""

    def __init__(
        self,
        num_shards,
        address=None,
        *,
        timeout=DEFAULT_TIMEOUT,
        snapshot_timeout=DEFAULT_SNAPSHOT_TIMEOUT,
        upsert_batch=DEFAULT_UPSERT_BATCH,
        actor_options=None,
    ):
        count = operator.index(num_shards)
        if not 1 <= count <= _manifest.MAX_SHARDS:
            raise ValueError(f"num_shards must be between 1 and {_manifest.MAX_SHARDS}, not {count}")
        for name, value in (("timeout", timeout), ("snapshot_timeout", snapshot_timeout)):
            if not value > 0:
                raise ValueError(f"{name} must be a positive number of seconds, not {value!r}")
        if operator.index(upsert_batch) < 1:
            raise ValueError(f"upsert_batch must be at least 1, not {upsert_batch!r}")
        self._timeout = float(timeout)
        self._snapshot_timeout = float(snapshot_timeout)
        self._upsert_batch = operator.index(upsert_batch)
        self._actor_options = {**_ACTOR_OPTIONS, **(actor_options or {})}
        self._checker = _convert.Checker()
        self._lock = threading.Lock()
        if not ray.is_initialized():
            if address is None:
                ray.init(include_dashboard=False)  # a local instance needs no dashboard
            else:
                ray.init(address=address)
        actors = self._start_actors(count)
        self._install(actors)

    # ----- the five methods -------------------------------------------------

    def upsert(self, point_id, vector, payload):
        """Stores a point, or replaces the point with the same id, on the shard
        its id routes to. Arguments are checked as VectorStorage.upsert checks
        them before anything is sent."""
        point = _convert.point_id(point_id)
        self._checker.upsert(vector, payload)
        row = _convert.vector(vector)
        kept = _convert.payload(payload)
        with self._lock:
            shard = shard_of(point, self._count)
            self._raise_if_dead(shard)
            buffer = self._buffers[shard]
            buffer.append((point, row, kept))
            if len(buffer) >= self._upsert_batch:
                self._send(shard)

    def search(self, query_vector, limit, metric, tenant_id=None):
        """Up to ``limit`` (id, score) tuples, best first, from all shards."""
        self._checker.search(query_vector, limit, metric, tenant_id)
        query = _convert.vector(query_vector)
        limit, metric, tenant = self._query_options(limit, metric, tenant_id)
        with self._lock:
            self._flush()
            calls = [(s, actor.search.remote(query, limit, metric, tenant)) for s, actor in enumerate(self._actors)]
        answers = self._gather(calls, self._timeout)
        return _merge(answers, limit, _convert.ascending(metric))

    def batch_search(self, query_vectors, limit, metric, tenant_id=None):
        """One answer per query, each as ``search`` gives it. Every shard gets
        the whole batch in one call and answers it on its own worker pool."""
        self._checker.batch_search(query_vectors, limit, metric, tenant_id)
        queries = _convert.vectors(query_vectors)
        limit, metric, tenant = self._query_options(limit, metric, tenant_id)
        shared = ray.put(queries)
        with self._lock:
            self._flush()
            calls = [(s, actor.batch_search.remote(shared, limit, metric, tenant)) for s, actor in enumerate(self._actors)]
        answers = self._gather(calls, self._timeout)
        if len(answers) == 1:
            return answers[0]
        ascending = _convert.ascending(metric)
        return [_merge(per_query, limit, ascending) for per_query in zip(*answers)]

    def save(self, folder):
        """Writes one snapshot per shard into ``folder`` (created if missing),
        then, last and atomically, ``manifest.json`` naming them. The previous
        save's shard files are removed once the new manifest is in place."""
        folder = os.path.abspath(_convert.folder(folder))
        os.makedirs(folder, exist_ok=True)
        generation = os.urandom(6).hex()
        with self._lock:
            self._flush()
            names = [_manifest.shard_file_name(s, generation) for s in range(self._count)]
            calls = [(s, actor.save.remote(os.path.join(folder, names[s]))) for s, actor in enumerate(self._actors)]
        try:
            digests = self._gather(calls, self._snapshot_timeout)
            previous = _manifest.previous_files(folder)
            _manifest.write(folder, _manifest.build([(name, *digest) for name, digest in zip(names, digests)]))
        except BaseException:
            for name in names:
                _remove(os.path.join(folder, name))
            raise
        keep = {os.path.join(folder, name) for name in names}
        for path in previous:
            if path not in keep:
                _remove(path)

    def load(self, folder):
        """Replaces the whole content with a folder written by ``save``.

        The manifest and every shard file (size and SHA-256) are checked,
        each shard is loaded into a new actor, and the store switches to the
        new actors only when all of them succeeded: a failed load raises
        OSError and leaves the current shards answering. The shard count
        becomes the manifest's. Works while shards are dead: this is how a
        store recovers from a lost actor."""
        folder = os.path.abspath(_convert.folder(folder))
        count, files = _manifest.read(folder)
        actors = []
        try:
            actors = [self._new_actor() for _ in range(count)]
            calls = [(s, actor.load.remote(*files[s])) for s, actor in enumerate(actors)]
            self._gather(calls, self._snapshot_timeout, count)
        except BaseException:
            for actor in actors:
                ray.kill(actor)
            raise
        with self._lock:
            # The old actors end once the calls already sent to them finish
            # and their last handle is gone.
            self._install(actors)

    # ----- extras -----------------------------------------------------------

    @property
    def shard_count(self):
        """The number of shards (after a load, the loaded folder's)."""
        return self._count

    def close(self):
        """Ends every shard's actor now. Later calls raise ShardError, except
        ``load``, which starts new shards."""
        with self._lock:
            for shard, actor in enumerate(self._actors):
                ray.kill(actor)
                self._dead.setdefault(shard, "the store was closed")
            self._buffers = [[] for _ in range(self._count)]
            self._inflight = [None] * self._count

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        return f"<karnoxel_ray.ShardedStorage with {self._count} shards>"

    # ----- internals --------------------------------------------------------

    def _new_actor(self):
        return _ShardActor.options(**self._actor_options).remote()

    def _start_actors(self, count):
        actors = [self._new_actor() for _ in range(count)]
        try:
            self._gather([(s, actor.ping.remote()) for s, actor in enumerate(actors)], self._timeout, count)
        except BaseException:
            for actor in actors:
                ray.kill(actor)
            raise
        return actors

    def _install(self, actors):
        """Makes ``actors`` the shards (caller holds the lock, or is __init__)."""
        self._actors = actors
        self._count = len(actors)
        self._dead = {}
        self._buffers = [[] for _ in actors]
        self._inflight = [None] * len(actors)

    @staticmethod
    def _query_options(limit, metric, tenant_id):
        # Already checked: these only make exact ints and strs of them.
        return operator.index(limit), str.__str__(metric), None if tenant_id is None else str.__str__(tenant_id)

    def _raise_if_dead(self, shard):
        if shard in self._dead:
            raise ShardError(shard, self._count, self._dead[shard])

    def _send(self, shard):
        """Sends shard's buffered upserts as one batch, after the previous
        batch to that shard has been applied (lock held)."""
        self._wait_writes([shard])
        buffer, self._buffers[shard] = self._buffers[shard], []
        ids = [point for point, _, _ in buffer]
        rows = [row for _, row, _ in buffer]
        payloads = [kept for _, _, kept in buffer]
        self._inflight[shard] = self._actors[shard].upsert_many.remote(ids, rows, payloads)

    def _wait_writes(self, shards):
        calls = [(s, self._inflight[s]) for s in shards if self._inflight[s] is not None]
        if not calls:
            return
        try:
            self._gather(calls, self._timeout)
        finally:
            for s, _ in calls:
                self._inflight[s] = None

    def _flush(self):
        """Sends every buffered upsert and waits until all are applied, so
        a query sent after this sees them (lock held). Raises ShardError if
        any shard is dead: a query would lack that shard's points."""
        for shard in sorted(self._dead):
            self._raise_if_dead(shard)
        for shard, buffer in enumerate(self._buffers):
            if buffer:
                self._send(shard)
        self._wait_writes(range(self._count))

    def _gather(self, calls, timeout, shard_count=None):
        """The results of (shard, ObjectRef) calls, in order. The first failing
        shard (lowest index) decides the exception: a dead actor or a missed
        timeout raise ShardError/ShardTimeoutError; an exception raised on the
        shard is re-raised as itself with a note naming the shard."""
        count = self._count if shard_count is None else shard_count
        refs = [ref for _, ref in calls]
        _, pending = ray.wait(refs, num_returns=len(refs), timeout=timeout)
        pending = set(pending)
        results, failure = [], None
        for shard, ref in calls:
            if ref in pending:
                failure = failure or ShardTimeoutError(shard, count, f"no answer within {timeout:g} s")
                continue
            try:
                results.append(ray.get(ref, timeout=timeout))
            except ray.exceptions.RayTaskError as error:
                cause = error.cause if isinstance(error.cause, BaseException) else RuntimeError(str(error))
                cause.add_note(f"on shard {shard} of {count}")
                failure = failure or cause
            except ray.exceptions.RayError as error:
                reason = f"its actor died ({type(error).__name__})" if _actor_died(error) else str(error)
                if _actor_died(error) and shard_count is None:
                    self._dead[shard] = (
                        "its actor died; points upserted to it since the last save are lost, "
                        "load(folder) restores every shard from a save"
                    )
                    reason = self._dead[shard]
                failure = failure or ShardError(shard, count, reason)
        if failure is not None:
            raise failure
        return results


def _remove(path):
    try:
        os.unlink(path)
    except OSError:
        pass
