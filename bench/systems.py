"""One adapter per benchmarked system, all with the same small interface.

    build(points, metric, tenants)   the timed build: karnoxel one upsert per
                                     point; peers their batch add, one thread
    build_per_point(points, metric)  the one-call-per-point path (a fresh index)
    set_ef(ef)                       search breadth for the following searches
    query_rows(queries)              the per-query objects passed to search_one
    search_one(q, k)                 one query, one Python call, raw result
    ids(raw, k)                      first k ids of a raw result
    search_batch(queries, k)         many queries in one call, raw result
    batch_ids(raw, k)                id rows of a raw batch result
    tenant_searcher(name, ids, k)    one-query search limited to one tenant
    save(path) / load(path)          snapshots (raise Unsupported when absent)

Point ids are row numbers. Every system indexes the dataset's own metric:
"l2" Euclidean distance (hnswlib 'l2', faiss METRIC_L2, usearch 'l2sq'),
"dot" inner product (hnswlib 'ip', faiss METRIC_INNER_PRODUCT, usearch 'ip'),
and "cosine", whose datasets are L2-normalized, as inner product by the peers.

Breadth: set_ef(None) is each system's default operating point (karnoxel a
search for k results in a store as created, ef_search 32; the peers ef 32, the
breadth karnoxel's default is held against).
"""

import contextlib
import os
import tempfile

import numpy as np

from bench import common
from bench.common import DEFAULT_EF

cores = common.cores


class Unsupported(Exception):
    """The system has no such operation (reported as n/a)."""


class System:
    name = ""
    label = ""
    params = {}
    ef = None
    sweeps_ef = True          # False: one exact operating point
    tenants_supported = True

    def set_threads(self, n):
        """Thread count for later builds and batch searches."""
        self.threads = n

    def set_ef(self, ef):
        self.ef = ef

    def query_rows(self, queries):
        return list(queries)

    def ids(self, raw, k):
        return raw[:k]

    def batch_ids(self, raw, k):
        """Id rows of a raw search_batch result (converted outside the timed region)."""
        return [list(row)[:k] for row in raw]

    def tenant_ids(self, raw, k):
        return list(raw)[:k]

    def build_per_point(self, points, metric):
        raise Unsupported

    def save(self, path):
        raise Unsupported

    def load(self, path):
        raise Unsupported

    def tenant_searcher(self, name, member_ids, k):
        raise Unsupported

    def info(self):
        return {}


# ---------------------------------------------------------------- karnoxel

@contextlib.contextmanager
def karnoxel_breadth(ef):
    """KARNOXEL_EF_SEARCH set to `ef` (removed for None) while stores are
    created or loaded in the block: it is read then, and becomes the store's
    ef_search, the least breadth of all its searches."""
    saved = os.environ.pop("KARNOXEL_EF_SEARCH", None)
    if ef is not None:
        os.environ["KARNOXEL_EF_SEARCH"] = str(ef)
    try:
        yield
    finally:
        os.environ.pop("KARNOXEL_EF_SEARCH", None)
        if saved is not None:
            os.environ["KARNOXEL_EF_SEARCH"] = saved


class Karnoxel(System):
    """karnoxel.VectorStorage. The breadth knob is the store's ef_search, set
    from Python by KARNOXEL_EF_SEARCH as a store is created or loaded: at ef
    not None the built store is saved once, and searches go to a copy loaded
    under ef (the latest copy kept; copies do not follow later upserts). A search for k then asks for k results,
    as hnswlib's knn_query at that ef does. At ef None the built store answers
    (ef_search 32). Only cosine walks use ef itself: a Euclidean or
    dot-product walk on vectors of unequal lengths keeps max(ef / 2, k) by
    its metric and twice that by angle (at least 2 ef), and a tenant's walk
    2 ef (Euclidean) or 3 ef (dot product)."""

    name = "karnoxel"
    label = "karnoxel"
    METRICS = {"l2": "euclidean", "cosine": "cosine", "dot": "dot_product"}

    def __init__(self):
        import karnoxel

        self.module = karnoxel
        self.store = None
        self.ef = None
        self.numpy_rows = None
        self.threads = 1
        self._image = None  # (temporary directory, path) of the saved store
        self._copy = (None, None)  # (ef, store loaded under it)

    def set_ef(self, ef):
        self.ef = ef

    @property
    def searched(self):
        """The store searches go to: the built one, or its copy at self.ef."""
        if self.ef is None:
            return self.store
        if self._copy[0] != self.ef:
            if self._image is None:
                folder = tempfile.TemporaryDirectory(prefix="karnoxel-breadth-")
                self._image = (folder, os.path.join(folder.name, "store.snap"))
                self.store.save(self._image[1])
            self._copy = (None, None)  # the previous copy goes before the next one loads
            with karnoxel_breadth(self.ef):
                copy = self.module.VectorStorage()
                copy.load(self._image[1])
            self._copy = (self.ef, copy)
        return self._copy[1]

    def info(self):
        from importlib.metadata import version

        path = "numpy rows passed directly" if self.numpy_rows else "rows converted with .tolist() in the timed loop"
        return {"version": version("karnoxel"), "input": path, "breadth_knob": "KARNOXEL_EF_SEARCH = ef"}

    def _row(self, row):
        return row if self.numpy_rows else row.tolist()

    def _accepts_numpy(self, row):
        probe = self.module.VectorStorage()
        try:
            probe.upsert(0, row, None)
            probe.search(row, 1, "l2")
            return True
        except TypeError:
            return False

    def build(self, points, metric, tenants=None):
        """tenants: None or a list with a payload dict (or None) per point, made before timing."""
        self.metric = self.METRICS[metric]
        if self.numpy_rows is None:
            self.numpy_rows = self._accepts_numpy(points[0])
        with karnoxel_breadth(None):
            store = self.module.VectorStorage()
        upsert = store.upsert
        payloads = tenants if tenants is not None else [None] * len(points)
        if self.numpy_rows:
            for i, (row, payload) in enumerate(zip(points, payloads)):
                upsert(i, row, payload)
        else:
            for i, (row, payload) in enumerate(zip(points, payloads)):
                upsert(i, row.tolist(), payload)
        self.store = store
        self._image, self._copy = None, (None, None)

    def search_one(self, q, k):
        if self.numpy_rows:
            return self.searched.search(q, k, self.metric)
        return self.searched.search(q.tolist(), k, self.metric)

    def ids(self, raw, k):
        return [point for point, _ in raw[:k]]

    tenant_ids = ids

    def search_batch(self, queries, k):
        qs = queries if self.numpy_rows else queries.tolist()
        return self.searched.batch_search(qs, k, self.metric)

    def batch_ids(self, raw, k):
        return [self.ids(r, k) for r in raw]

    def tenant_searcher(self, name, member_ids, k):
        search, metric = self.searched.search, self.metric
        if self.numpy_rows:
            return lambda q: search(q, k, metric, tenant_id=name)
        return lambda q: search(q.tolist(), k, metric, tenant_id=name)

    def save(self, path):
        self.store.save(str(path))

    def load(self, path):
        with karnoxel_breadth(None):
            store = self.module.VectorStorage()
            store.load(str(path))
        other = Karnoxel()
        other.__dict__.update(self.__dict__)
        other.store = store
        other._image, other._copy = None, (None, None)
        return other


# ---------------------------------------------------------------- numpy oracle

class NumpyExact(System):
    """Exact brute force: X @ q, argpartition, argsort (the oracle)."""

    name = "numpy-exact"
    label = "numpy exact"
    sweeps_ef = False
    CHUNK = 128

    def info(self):
        return {"version": np.__version__}

    def build(self, points, metric, tenants=None):
        self.metric = metric
        self.x = np.array(points, dtype=np.float32, order="C")
        self.sq = (self.x * self.x).sum(axis=1) if metric == "l2" else None

    @staticmethod
    def _top(cost, k):
        k = min(k, cost.shape[-1])
        if k < cost.shape[-1]:
            part = np.argpartition(cost, k - 1, axis=-1)[..., :k]
        else:
            part = np.broadcast_to(np.arange(cost.shape[-1]), cost.shape[:-1] + (k,))
        order = np.argsort(np.take_along_axis(cost, part, axis=-1), axis=-1)
        return np.take_along_axis(part, order, axis=-1)

    def _cost(self, x, sq, q):
        s = x @ q.T if q.ndim == 2 else x @ q
        if self.metric == "l2":
            return (sq[:, None] - 2 * s).T if q.ndim == 2 else sq - 2 * s
        return -s.T if q.ndim == 2 else -s

    def search_one(self, q, k):
        return self._top(self._cost(self.x, self.sq, q), k)

    def search_batch(self, queries, k):
        out = []
        for start in range(0, len(queries), self.CHUNK):
            out.extend(self._top(self._cost(self.x, self.sq, queries[start:start + self.CHUNK]), k))
        return out

    def tenant_searcher(self, name, member_ids, k):
        x = np.ascontiguousarray(self.x[member_ids])
        sq = self.sq[member_ids] if self.sq is not None else None
        return lambda q: member_ids[self._top(self._cost(x, sq, q), k)]


# ---------------------------------------------------------------- hnswlib

class Hnswlib(System):
    def __init__(self, ef_construction, m=16):
        import hnswlib

        self.hnswlib = hnswlib
        self.m, self.ef_construction = m, ef_construction
        self.name = f"hnswlib-efc{ef_construction}"
        self.label = f"hnswlib M{m} efC{ef_construction}"
        self.params = {"M": m, "ef_construction": ef_construction}
        self.threads = 1

    def info(self):
        from importlib.metadata import version

        return {"version": version("hnswlib"), "filter": "Python callable (set.__contains__)"}

    def _new(self, points, metric, capacity=None):
        self.space = "l2" if metric == "l2" else "ip"
        self.dim = points.shape[1]
        index = self.hnswlib.Index(space=self.space, dim=self.dim)
        index.init_index(max_elements=capacity or len(points), ef_construction=self.ef_construction,
                         M=self.m, random_seed=100)
        return index

    def build(self, points, metric, tenants=None):
        self.index = self._new(points, metric)
        self.index.add_items(points, np.arange(len(points)), num_threads=self.threads)

    def build_per_point(self, points, metric):
        self.index = self._new(points, metric)
        add = self.index.add_items
        for i, row in enumerate(points):
            add(row, i, num_threads=1)

    def set_ef(self, ef):
        self.ef = ef
        self.index.set_ef(DEFAULT_EF if ef is None else ef)

    def search_one(self, q, k):
        return self.index.knn_query(q, k=k, num_threads=1)

    def ids(self, raw, k):
        return raw[0][0][:k]

    def search_batch(self, queries, k):
        return self.index.knn_query(queries, k=k, num_threads=self.threads)[0]

    def tenant_searcher(self, name, member_ids, k):
        allowed = set(member_ids.tolist())
        query, keep, want = self.index.knn_query, allowed.__contains__, min(k, len(allowed))

        def run(q):
            try:
                return query(q, k=want, num_threads=1, filter=keep)[0][0]
            except RuntimeError:  # fewer than `want` matches reached: counted as misses
                return []

        return run

    def save(self, path):
        self.index.save_index(str(path))

    def load(self, path):
        other = Hnswlib(self.ef_construction, self.m)
        other.__dict__.update(self.__dict__)
        other.index = self.hnswlib.Index(space=self.space, dim=self.dim)
        other.index.load_index(str(path))
        other.index.set_ef(DEFAULT_EF if self.ef is None else self.ef)
        return other


# ---------------------------------------------------------------- faiss

class Faiss(System):
    def __init__(self, m=16, ef_construction=64):
        import faiss

        self.faiss = faiss
        self.m, self.ef_construction = m, ef_construction
        self.name = "faiss-hnsw"
        self.label = f"faiss HNSWFlat M{m} efC{ef_construction}"
        self.params = {"M": m, "efConstruction": ef_construction}
        self.threads = 1

    def info(self):
        return {"version": self.faiss.__version__, "filter": "IDSelectorBatch"}

    def set_threads(self, n):
        self.threads = n
        self.faiss.omp_set_num_threads(n)

    def _new(self, points, metric):
        kind = self.faiss.METRIC_L2 if metric == "l2" else self.faiss.METRIC_INNER_PRODUCT
        index = self.faiss.IndexHNSWFlat(points.shape[1], self.m, kind)
        index.hnsw.efConstruction = self.ef_construction
        return index

    def build(self, points, metric, tenants=None):
        self.index = self._new(points, metric)
        self.index.add(points)

    def build_per_point(self, points, metric):
        self.index = self._new(points, metric)
        add = self.index.add
        for i in range(len(points)):
            add(points[i:i + 1])

    def set_ef(self, ef):
        self.ef = DEFAULT_EF if ef is None else ef
        self.index.hnsw.efSearch = self.ef

    def query_rows(self, queries):
        return [queries[i:i + 1] for i in range(len(queries))]

    def search_one(self, q, k):
        return self.index.search(q, k)

    def ids(self, raw, k):
        return raw[1][0][:k]

    def search_batch(self, queries, k):
        return self.index.search(queries, k)[1]

    def tenant_searcher(self, name, member_ids, k):
        selector = self.faiss.IDSelectorBatch(member_ids.astype(np.int64))
        params = self.faiss.SearchParametersHNSW(sel=selector, efSearch=self.ef)
        search = self.index.search

        def run(q, _keep=selector):
            return search(q, k, params=params)[1][0]

        return run

    def save(self, path):
        self.faiss.write_index(self.index, str(path))

    def load(self, path):
        other = Faiss(self.m, self.ef_construction)
        other.__dict__.update(self.__dict__)
        other.index = self.faiss.read_index(str(path))
        if self.ef is not None:
            other.index.hnsw.efSearch = self.ef
        return other


# ---------------------------------------------------------------- usearch

class Usearch(System):
    tenants_supported = False

    def __init__(self, connectivity=16, expansion_add=64):
        from usearch.index import Index

        self.Index = Index
        self.connectivity, self.expansion_add = connectivity, expansion_add
        self.name = "usearch"
        self.label = f"usearch conn{connectivity} exp_add{expansion_add}"
        self.params = {"connectivity": connectivity, "expansion_add": expansion_add, "dtype": "f32"}
        self.threads = 1

    def info(self):
        import usearch

        return {"version": usearch.__version__, "filter": "not measured"}

    def _new(self, points, metric):
        self.metric = "l2sq" if metric == "l2" else "ip"
        self.dim = points.shape[1]
        return self.Index(ndim=self.dim, metric=self.metric, dtype="f32",
                          connectivity=self.connectivity, expansion_add=self.expansion_add)

    def build(self, points, metric, tenants=None):
        self.index = self._new(points, metric)
        self.index.add(np.arange(len(points)), points, threads=self.threads)

    def build_per_point(self, points, metric):
        self.index = self._new(points, metric)
        add = self.index.add
        for i, row in enumerate(points):
            add(i, row, threads=1)

    def set_ef(self, ef):
        self.ef = DEFAULT_EF if ef is None else ef
        self.index.expansion_search = self.ef

    def search_one(self, q, k):
        return self.index.search(q, k, threads=1)

    def ids(self, raw, k):
        return raw.keys[:k]

    def search_batch(self, queries, k):
        return self.index.search(queries, k, threads=self.threads).keys

    def save(self, path):
        self.index.save(str(path))

    def load(self, path):
        other = Usearch(self.connectivity, self.expansion_add)
        other.__dict__.update(self.__dict__)
        other.index = self.Index.restore(str(path))
        if self.ef is not None:
            other.index.expansion_search = self.ef
        return other


# ---------------------------------------------------------------- registry

FACTORIES = {
    "karnoxel": Karnoxel,
    "hnswlib-efc64": lambda: Hnswlib(64),
    "hnswlib-efc200": lambda: Hnswlib(200),
    "faiss-hnsw": Faiss,
    "usearch": Usearch,
    "numpy-exact": NumpyExact,
}
ORDER = list(FACTORIES)


def make(name):
    return FACTORIES[name]()
