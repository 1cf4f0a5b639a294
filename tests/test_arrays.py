"""Arrays with the buffer protocol as vectors and query batches: the values
stored and searched are exactly those of the same numbers given as lists."""

import array
import sys

import numpy as np
import pytest

from karnoxel import VectorStorage
from conftest import bits

DIM = 9


def random_rows(rng, dtype, count=60):
    """Values over many magnitudes, plus ones whose narrowing to float32 is a
    tie, a subnormal, an overflow or an underflow."""
    rows = rng.standard_normal((count, DIM)) * 10.0 ** rng.integers(-30, 30, (count, DIM))
    rows[0, :6] = [1 + 2**-24, 1 + 3 * 2**-24, 1e300, -1e-320, 3.4028235677973366e38, 1e-45]
    with np.errstate(over="ignore"):
        return rows.astype(dtype)


def hits_bits(hits):
    return [(pid, bits(score)) for pid, score in hits]


def observe(store):
    """Every point's exact scores against unit and random probes, bit for bit."""
    probes = [row.tolist() for row in np.eye(DIM)] + np.random.default_rng(1).standard_normal((4, DIM)).tolist()
    return [hits_bits(store.search(p, 1000, metric)) for metric in ("dot", "l2", "cosine") for p in probes]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_array_rows_store_the_bits_lists_store(dtype, rng):
    rows = random_rows(rng, dtype)
    from_arrays, from_lists = VectorStorage(), VectorStorage()
    for i, row in enumerate(rows):
        from_arrays.upsert(i, row, None)
        from_lists.upsert(i, row.tolist(), None)
    assert observe(from_arrays) == observe(from_lists)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("size", [200, 900], ids=["exact-route", "graph-route"])
def test_array_queries_give_the_results_of_lists(dtype, size, rng):
    store = VectorStorage()
    for i, row in enumerate(rng.standard_normal((size, DIM)).astype(np.float32)):
        store.upsert(i, row.tolist(), {"tenant_id": "t"} if i % 2 else None)
    queries = rng.standard_normal((30, DIM)).astype(dtype)
    queries[0, :3] = [1 + 2**-24, 1 + 3 * 2**-24, 1e-45]  # ties and a subnormal when narrowed
    as_lists = queries.tolist()
    for metric, tenant in [("cosine", None), ("dot", "t"), ("l2", None)]:
        expected = [store.search(q, 7, metric, tenant) for q in as_lists]
        assert [store.search(q, 7, metric, tenant) for q in queries] == expected
        assert store.batch_search(queries, 7, metric, tenant) == expected
        assert store.batch_search(list(queries), 7, metric, tenant) == expected
        assert store.batch_search(as_lists, 7, metric, tenant) == expected


# Objects that take the element-by-element path: their values are the same.
FALLBACKS = [
    lambda x: x.astype(np.float16),
    lambda x: x.astype(np.int32),
    lambda x: x.astype(">f4"),
    lambda x: x.astype(">f8"),
    lambda x: np.asfortranarray(x),
    lambda x: np.repeat(x, 2, axis=-1)[..., ::2],
]


@pytest.mark.parametrize("convert", FALLBACKS, ids=["f16", "i32", ">f4", ">f8", "fortran", "strided"])
def test_other_arrays_give_the_results_of_lists(convert, rng):
    data = convert((rng.standard_normal((20, DIM)) * 8).astype(np.float32))
    from_arrays, from_lists = VectorStorage(), VectorStorage()
    for i, row in enumerate(data):
        from_arrays.upsert(i, row, None)
        from_lists.upsert(i, [float(v) for v in row], None)
    assert observe(from_arrays) == observe(from_lists)
    queries = convert((rng.standard_normal((5, DIM)) * 8).astype(np.float32))
    expected = from_lists.batch_search([[float(v) for v in q] for q in queries], 5, "dot")
    assert from_lists.batch_search(queries, 5, "dot") == expected
    assert [from_lists.search(q, 5, "dot") for q in queries] == expected


@pytest.mark.parametrize(
    "queries, expected",
    [
        (np.zeros((0, 4), np.float32), []),
        (np.zeros((0, 0)), []),
        (np.zeros((3, 0), np.float32), [[(7, -0.0)]] * 3),  # the empty stored vector matches empty queries
    ],
)
def test_empty_shapes(queries, expected):
    store = VectorStorage()
    store.upsert(1, [1.0] * 4, None)
    store.upsert(7, [], None)
    assert store.batch_search(queries, 2, "dot") == expected


def refusal(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value), info.value.__notes__


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_arrays_of_the_wrong_rank_are_refused_as_sequences(dtype, store):
    row = np.arange(4, dtype=dtype)
    # Each element of a 1-D array is a number, not a sequence.
    assert refusal(lambda: store.batch_search(row, 2, "dot")) == refusal(lambda: store.batch_search(list(row), 2, "dot"))
    assert refusal(lambda: store.batch_search(row, 2, "dot"))[0] == f"'{dtype.__name__}' object is not an instance of 'Sequence'"
    assert refusal(lambda: store.upsert(1, dtype(2.0), None)) == (
        f"'{dtype.__name__}' object is not an instance of 'Sequence'", ["while processing 'vector'"])
    assert refusal(lambda: store.upsert(1, np.array(2.0, dtype), None))[1] == ["while processing 'vector'"]
    assert refusal(lambda: store.upsert(1, row.reshape(2, 2), None))[1] == ["while processing 'vector'"]
    assert refusal(lambda: store.batch_search(row.reshape(1, 2, 2), 2, "dot"))[1] == ["while processing 'query_vectors'"]
    assert refusal(lambda: store.search(np.array(["1.0"]), 2, "dot"))[1] == ["while processing 'query_vector'"]


@pytest.mark.parametrize(
    "call",
    [
        lambda s, a: s.upsert(1, a, None),
        lambda s, a: s.search(a, 1, "dot"),
        lambda s, a: s.batch_search([a, a], 1, "dot"),
        lambda s, a: s.batch_search(a, 1, "dot"),  # refused: its elements are numbers
    ],
)
@pytest.mark.parametrize("make", [lambda: array.array("f", [1.0, 2.0]), lambda: bytearray(b"\x01\x02")])
def test_buffers_are_released(call, make, store):
    exporter = make()
    try:
        call(store, exporter)
    except TypeError:
        pass
    exporter.append(3)  # an exporter refuses to resize while a buffer is held
    assert list(exporter) == [1, 2, 3]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ in Python classes is new in 3.12")
def test_failing_buffer_export_falls_back_to_elements(store):
    class Odd(list):
        def __buffer__(self, flags):
            raise RuntimeError("no buffer today")

    store.upsert(1, Odd([1.5, 2.0]), None)
    assert store.search([1.0, 0.0], 1, "dot") == [(1, 1.5)]
