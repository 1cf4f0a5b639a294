"""Argument binding and argument conversion errors: one table per method of
(call, exception type, exact message, note)."""

import pathlib
import re

import pytest

from karnoxel import VectorStorage

Q = [1.0, 0.0]
NOTE = "while processing '{}'"


def check(call, exc_type, message, note):
    store = VectorStorage()
    store.upsert(9, [1.0, 0.0], {"tenant_id": "t"})
    with pytest.raises(exc_type) as info:
        call(store)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([NOTE.format(note)] if note else [])
    # Nothing changed: the stored point is still the only one.
    assert store.search([1.0, 0.0], 10, "dot") == [(9, 1.0)]


CONSTRUCTOR = [
    (lambda: VectorStorage(1), "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: VectorStorage(1, 2), "VectorStorage.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: VectorStorage(x=1), "VectorStorage.__new__() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call, message", CONSTRUCTOR)
def test_constructor(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


UPSERT = [
    (lambda s: s.upsert(1, [0.5]), TypeError,
     "VectorStorage.upsert() missing 1 required positional argument: 'payload'", None),
    (lambda s: s.upsert(1), TypeError,
     "VectorStorage.upsert() missing 2 required positional arguments: 'vector' and 'payload'", None),
    (lambda s: s.upsert(), TypeError,
     "VectorStorage.upsert() missing 3 required positional arguments: 'point_id', 'vector', and 'payload'", None),
    (lambda s: s.upsert(payload=None), TypeError,
     "VectorStorage.upsert() missing 2 required positional arguments: 'point_id' and 'vector'", None),
    (lambda s: s.upsert(1, [1.0], None, 4), TypeError,
     "VectorStorage.upsert() takes 3 positional arguments but 4 were given", None),
    (lambda s: s.upsert(1, [1.0], None, point_id=2), TypeError,
     "VectorStorage.upsert() got multiple values for argument 'point_id'", None),
    (lambda s: s.upsert(1, [1.0], None, id=2), TypeError,
     "VectorStorage.upsert() got an unexpected keyword argument 'id'", None),
    # Too many positionals is reported before keyword problems.
    (lambda s: s.upsert(1, [1.0], None, 4, bogus=1), TypeError,
     "VectorStorage.upsert() takes 3 positional arguments but 4 were given", None),
    (lambda s: s.upsert(point_id=-1, vector=[1.0], payload=None), OverflowError,
     "can't convert negative int to unsigned", "point_id"),
    (lambda s: s.upsert(2**64, [1.0], None), OverflowError, "int too big to convert", "point_id"),
    (lambda s: s.upsert(1.0, [1.0], None), TypeError,
     "'float' object cannot be interpreted as an integer", "point_id"),
    (lambda s: s.upsert("1", [1.0], None), TypeError, "'str' object cannot be interpreted as an integer", "point_id"),
    (lambda s: s.upsert(None, [1.0], None), TypeError,
     "'NoneType' object cannot be interpreted as an integer", "point_id"),
    (lambda s: s.upsert(1, "abc", None), TypeError, "Can't extract `str` to `Vec`", "vector"),
    (lambda s: s.upsert(1, {1: 2.0}, None), TypeError, "'dict' object is not an instance of 'Sequence'", "vector"),
    (lambda s: s.upsert(1, None, None), TypeError, "'None' is not an instance of 'Sequence'", "vector"),
    (lambda s: s.upsert(1, 5, None), TypeError, "'int' object is not an instance of 'Sequence'", "vector"),
    (lambda s: s.upsert(1, {1.0}, None), TypeError, "'set' object is not an instance of 'Sequence'", "vector"),
    (lambda s: s.upsert(1, (x for x in [1.0]), None), TypeError,
     "'generator' object is not an instance of 'Sequence'", "vector"),
    (lambda s: s.upsert(1, [1.0, "x"], None), TypeError, "must be real number, not str", "vector"),
    (lambda s: s.upsert(1, [None], None), TypeError, "must be real number, not NoneType", "vector"),
    (lambda s: s.upsert(1, [10**400], None), OverflowError, "int too large to convert to float", "vector"),
    # The vector is converted before the payload is looked at.
    (lambda s: s.upsert(1, "abc", 5), TypeError, "Can't extract `str` to `Vec`", "vector"),
    (lambda s: s.upsert(1, [1.0], []), TypeError, "'list' object is not an instance of 'dict'", "payload"),
    (lambda s: s.upsert(1, [1.0], "x"), TypeError, "'str' object is not an instance of 'dict'", "payload"),
    # Errors inside an accepted dict carry no note.
    (lambda s: s.upsert(1, [1.0], {1: "x"}), TypeError, "'int' object is not an instance of 'str'", None),
    (lambda s: s.upsert(1, [1.0], {"a": 2**63}), OverflowError, "Python int too large to convert to C long", None),
    (lambda s: s.upsert(1, [1.0], {"a": -(2**63) - 1}), OverflowError,
     "Python int too large to convert to C long", None),
    (lambda s: s.upsert(1, [1.0], {"a": "\ud800"}), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed", None),
]


@pytest.mark.parametrize("call, exc_type, message, note", UPSERT)
def test_upsert_errors(call, exc_type, message, note):
    check(call, exc_type, message, note)


SEARCH = [
    (lambda s: s.search(Q, 5, "cosine", None, 1), TypeError,
     "VectorStorage.search() takes from 3 to 4 positional arguments but 5 were given", None),
    (lambda s: s.search(Q, 5), TypeError,
     "VectorStorage.search() missing 1 required positional argument: 'metric'", None),
    (lambda s: s.search(tenant_id="t"), TypeError,
     "VectorStorage.search() missing 3 required positional arguments: 'query_vector', 'limit', and 'metric'", None),
    (lambda s: s.search(Q, 5, "cosine", tenant="t"), TypeError,
     "VectorStorage.search() got an unexpected keyword argument 'tenant'", None),
    (lambda s: s.search(Q, 5, "cosine", None, tenant_id=None), TypeError,
     "VectorStorage.search() got multiple values for argument 'tenant_id'", None),
    (lambda s: s.search("ab", 5, "cosine"), TypeError, "Can't extract `str` to `Vec`", "query_vector"),
    (lambda s: s.search(Q, -1, "cosine"), OverflowError, "can't convert negative int to unsigned", "limit"),
    (lambda s: s.search(Q, 2.0, "cosine"), TypeError,
     "'float' object cannot be interpreted as an integer", "limit"),
    # A conversion error wins over a bad metric name.
    (lambda s: s.search(Q, 2.0, "nope"), TypeError, "'float' object cannot be interpreted as an integer", "limit"),
    (lambda s: s.search(Q, 5, b"cosine"), TypeError, "'bytes' object is not an instance of 'str'", "metric"),
    (lambda s: s.search(Q, 5, None), TypeError, "'None' is not an instance of 'str'", "metric"),
    (lambda s: s.search(Q, 5, "cosine", 7), TypeError, "'int' object is not an instance of 'str'", "tenant_id"),
    (lambda s: s.search(Q, 5, "nope", 7), TypeError, "'int' object is not an instance of 'str'", "tenant_id"),
    (lambda s: s.search(Q, 5, "cos"), ValueError,
     "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or 'euclidean' ('l2').", None),
]


@pytest.mark.parametrize("call, exc_type, message, note", SEARCH)
def test_search_errors(call, exc_type, message, note):
    check(call, exc_type, message, note)


BATCH = [
    (lambda s: s.batch_search([Q], 5, "cosine", None, 1), TypeError,
     "VectorStorage.batch_search() takes from 3 to 4 positional arguments but 5 were given", None),
    (lambda s: s.batch_search("ab", 5, "cosine"), TypeError, "Can't extract `str` to `Vec`", "query_vectors"),
    (lambda s: s.batch_search([Q, "ab"], 5, "cosine"), TypeError, "Can't extract `str` to `Vec`", "query_vectors"),
    (lambda s: s.batch_search(3, 5, "cosine"), TypeError,
     "'int' object is not an instance of 'Sequence'", "query_vectors"),
    (lambda s: s.batch_search([1.0, 2.0], 5, "cosine"), TypeError,
     "'float' object is not an instance of 'Sequence'", "query_vectors"),
    (lambda s: s.batch_search([Q], "5", "cosine"), TypeError,
     "'str' object cannot be interpreted as an integer", "limit"),
    (lambda s: s.batch_search([Q], 5, "dot product"), ValueError,
     "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'.", None),
]


@pytest.mark.parametrize("call, exc_type, message, note", BATCH)
def test_batch_search_errors(call, exc_type, message, note):
    check(call, exc_type, message, note)


PATHS = [
    (lambda s: s.save(), TypeError, "VectorStorage.save() missing 1 required positional argument: 'path'", None),
    (lambda s: s.load("a", "b"), TypeError, "VectorStorage.load() takes 1 positional arguments but 2 were given",
     None),
    (lambda s: s.save(filename="x"), TypeError, "VectorStorage.save() got an unexpected keyword argument 'filename'",
     None),
    (lambda s: s.save(pathlib.Path("x")), TypeError, "'PosixPath' object is not an instance of 'str'", "path"),
    (lambda s: s.load(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
]


@pytest.mark.parametrize("call, exc_type, message, note", PATHS)
def test_path_errors(call, exc_type, message, note):
    check(call, exc_type, message, note)


def test_nested_class_uses_qualified_name(store):
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=re.escape("'test_nested_class_uses_qualified_name.<locals>.Outer.Inner' "
                                                  "object is not an instance of 'Sequence'")):
        store.upsert(1, Outer.Inner(), None)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.search([1.0, 0.0], 5, "cosine"),
        lambda s: s.search([1.0, 0.0], 5, "cosine", None),
        lambda s: s.search([1.0, 0.0], 5, "cosine", tenant_id=None),
        lambda s: s.search(metric="cosine", limit=5, query_vector=[1.0, 0.0]),
    ],
)
def test_omitted_and_none_tenant_are_the_same(call, store):
    store.upsert(1, [1.0, 0.0], {"tenant_id": "a"})
    store.upsert(2, [0.0, 1.0], None)
    assert call(store) == [(1, 1.0), (2, 0.0)]
