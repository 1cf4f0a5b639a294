"""Arguments checked exactly as VectorStorage checks them, then turned into
plain values that travel to the shards unchanged.

Checking is delegated to two small local VectorStorage instances, so a
ShardedStorage accepts and refuses exactly what VectorStorage does, with the
same exceptions and the same "while processing '<argument>'" notes, and
refuses before anything is sent (a failed call changes nothing). Accepted
arguments are then converted a second time into what the shards receive:
float32 numpy arrays (the values VectorStorage would store: float64 rounded
to nearest), exact ints and strs, and payload dicts holding only the values
VectorStorage keeps. Code inside an argument's ``__float__``/``__index__``
therefore runs twice per call.
"""

import operator

import numpy as np

import karnoxel

_FLOAT_DTYPES = (np.dtype(np.float32), np.dtype(np.float64))
_ID_LIMIT = 1 << 64
_METRIC_ASCENDING = ("euclidean", "l2")


def _with_note(error, argument):
    error.add_note(f"while processing '{argument}'")
    return error


def point_id(value):
    """An id as VectorStorage converts it: __index__, then 0 .. 2**64-1."""
    try:
        number = operator.index(value)
        if number < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if number >= _ID_LIMIT:
            raise OverflowError("int too big to convert")
    except Exception as error:
        raise _with_note(error, "point_id") from None
    return number


def folder(value):
    """A snapshot folder: a str, as VectorStorage requires of its path."""
    if not isinstance(value, str):
        kind = "None" if value is None else type(value).__qualname__
        message = "'None' is not an instance of 'str'" if value is None else f"'{kind}' object is not an instance of 'str'"
        raise _with_note(TypeError(message), "folder")
    return str.__str__(value)


def _element(x):
    # What PyFloat_AsDouble gives: a float (subclasses by their stored
    # value), else __float__, else __index__.
    if type(x) is float:
        return x
    if isinstance(x, float):
        return float.__float__(x)
    return float(x)


def vector(value):
    """An accepted vector as a new float32 array holding the stored values."""
    if isinstance(value, np.ndarray) and value.ndim == 1:
        if value.dtype in _FLOAT_DTYPES:
            return value.astype(np.float32)
        if value.dtype.kind in "biuf":
            return value.astype(np.float64).astype(np.float32)
    elif isinstance(value, (bytes, bytearray)):
        return np.frombuffer(value, dtype=np.uint8).astype(np.float32)
    else:
        try:
            view = memoryview(value)
        except TypeError:
            view = None
        if view is not None and view.ndim == 1 and view.c_contiguous and view.format.lstrip("@=<") in ("f", "d"):
            return np.frombuffer(view, dtype=view.format[-1]).astype(np.float32)
    return np.array([_element(x) for x in value], dtype=np.float64).astype(np.float32)


def vectors(value):
    """An accepted batch: a 2-D float32 array, or a list of 1-D ones."""
    if isinstance(value, np.ndarray) and value.ndim == 2 and value.dtype in _FLOAT_DTYPES and value.flags.c_contiguous:
        return value.astype(np.float32)
    rows = [vector(row) for row in value]
    if rows and all(len(row) == len(rows[0]) for row in rows):
        return np.stack(rows)
    return rows


def payload(value):
    """The part of an accepted payload that VectorStorage keeps, as plain
    str, int and float values."""
    if value is None:
        return None
    kept = {}
    for key, item in dict.items(value):  # as VectorStorage reads it: overridden items() not called
        if isinstance(item, str):
            kept[str.__str__(key)] = str.__str__(item)
        elif isinstance(item, int):
            kept[str.__str__(key)] = int.__index__(item)
        elif isinstance(item, float):
            kept[str.__str__(key)] = float.__float__(item)
    return kept


def ascending(metric):
    """True when smaller scores are better (Euclidean distance)."""
    return metric.lower() in _METRIC_ASCENDING


class Checker:
    """Runs VectorStorage's own argument conversion on a call's arguments.

    Upserts are checked against a store that only ever holds point 0;
    queries against one that stays empty, so a check never scans anything."""

    def __init__(self):
        self._scratch = karnoxel.VectorStorage()
        self._empty = karnoxel.VectorStorage()

    def upsert(self, vector_value, payload_value):
        self._scratch.upsert(0, vector_value, payload_value)

    def search(self, query_vector, limit, metric, tenant_id):
        self._empty.search(query_vector, limit, metric, tenant_id)

    def batch_search(self, query_vectors, limit, metric, tenant_id):
        if (
            isinstance(query_vectors, np.ndarray)
            and query_vectors.ndim == 2
            and query_vectors.dtype in _FLOAT_DTYPES
            and query_vectors.flags.c_contiguous
        ):
            # Rows of such an array are always accepted: check the rest on
            # an empty batch instead of converting every row twice.
            query_vectors = query_vectors[:0]
        self._empty.batch_search(query_vectors, limit, metric, tenant_id)
