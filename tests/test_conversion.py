"""What the store accepts, and what it makes of it (observed through exact
search scores, which follow the stored float32 values bit for bit)."""

import array
import math

import numpy as np
import pytest

from karnoxel import VectorStorage
from conftest import bits


class Seq:
    """A minimal sequence: __len__ and __getitem__ only."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = len(items) if length is None else length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


def stored(vector):
    """The float32 values a vector becomes, read back through dot products with unit vectors."""
    store = VectorStorage()
    store.upsert(1, vector, None)
    n = len(list(vector)) if not isinstance(vector, Seq) else len(vector.items)
    out = []
    for i in range(n):
        unit = [0.0] * n
        unit[i] = 1.0
        (hit,) = store.search(unit, 1, "dot")
        out.append(hit[1])
    return out


@pytest.mark.parametrize(
    "vector, expected",
    [
        ((1, 2.5, True), [1.0, 2.5, 1.0]),
        ([False, -1, 3], [0.0, -1.0, 3.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x00\x07\xff", [0.0, 7.0, 255.0]),
        (bytearray(b"\x02"), [2.0]),
        (array.array("d", [0.5, -0.25]), [0.5, -0.25]),
        (Seq([1.5, 2.0]), [1.5, 2.0]),
        (Seq([1.5, 2.0], length=TypeError("no len")), [1.5, 2.0]),
        (Seq([1.5, 2.0], length=2**60), [1.5, 2.0]),
        ([Indexable(4), Floaty()], [4.0, 2.5]),
        ([np.float32(0.1), np.float64(0.2), np.int64(3)], [float(np.float32(0.1)), float(np.float32(0.2)), 3.0]),
        ([1e300], [math.inf]),
        ([-1e300], [-math.inf]),
        ([0.1], [0.10000000149011612]),
        ([2**24 + 1], [16777216.0]),  # narrowing rounds to nearest even
    ],
)
def test_accepted_vectors(vector, expected):
    # Components are read back through dot products with unit vectors, which
    # turns a stored -0.0 into +0.0 but keeps everything else exact.
    assert stored(vector) == expected


def test_nan_component_is_kept():
    store = VectorStorage()
    store.upsert(1, [math.nan, 1.0], None)
    (hit,) = store.search([1.0, 1.0], 1, "dot")
    assert math.isnan(hit[1])


def test_empty_vector_is_stored(store):
    store.upsert(1, [], None)
    store.upsert(2, [0.0], None)
    hits = store.search([], 5, "dot")
    assert hits == [(1, -0.0)] and math.copysign(1.0, hits[0][1]) == -1.0
    assert store.search([], 5, "cosine") == []


def test_list_mutated_during_conversion_follows_the_iterator(store):
    vector = [1.0, 2.0]

    class Grower:
        def __float__(self):
            vector.append(4.0)
            return 3.0

    vector.insert(1, Grower())
    store.upsert(1, vector, None)
    # Elements appended while walking the list are part of it, as with iter().
    assert store.search([1.0, 1.0, 1.0, 1.0], 1, "dot") == [(1, 10.0)]


def test_element_error_stores_nothing(store):
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("inner")

    with pytest.raises(ZeroDivisionError) as info:
        store.upsert(1, [1.0, Bad()], None)
    assert info.value.__notes__ == ["while processing 'vector'"]
    assert store.search([1.0, 1.0], 5, "dot") == []


@pytest.mark.parametrize("point_id", [0, 1, 2**63, 2**64 - 1, True, Indexable(12), np.uint64(2**64 - 1)])
def test_ids_come_back_as_positive_ints(store, point_id):
    store.upsert(point_id, [1.0], None)
    ((hit_id, score),) = store.search([1.0], 1, "dot")
    assert hit_id == int(point_id) and type(hit_id) is int and score == 1.0


def test_score_is_float32_widened(store):
    store.upsert(1, [0.1], None)
    ((_, score),) = store.search([1.0], 1, "dot")
    assert score == 0.10000000149011612 and bits(score) == bits(np.float32(0.1))


@pytest.mark.parametrize("limit", [True, Indexable(1), np.int8(1)])
def test_limit_accepts_index_objects(store, limit):
    store.upsert(1, [1.0], None)
    store.upsert(2, [0.5], None)
    assert store.search([1.0], limit, "dot") == [(1, 1.0)]


class TestTenantPayload:
    @pytest.mark.parametrize(
        "payload, tenant, matches",
        [
            ({"tenant_id": "acme"}, "acme", True),
            ({"tenant_id": "acme"}, "ACME", False),
            ({"tenant_id": "acme"}, "acme ", False),
            ({"tenant_id": 7}, "7", False),
            ({"tenant_id": True}, "True", False),
            ({"tenant_id": 7.0}, "7.0", False),
            ({"Tenant_Id": "acme"}, "acme", False),
            ({"tenant_id": ""}, "", True),
            ({}, "", False),
            (None, "", False),
            ({"tenant_id": "x" * 64}, "x" * 64, True),  # Keyword
            ({"tenant_id": "x" * 65}, "x" * 65, True),  # Text
            ({"tenant_id": "\u20ac" * 22}, "\u20ac" * 22, True),  # 66 UTF-8 bytes: Text
            ({"tenant_id": "\u00e9"}, "e\u0301", False),  # no normalisation
            ({"tenant_id": None, "other": "acme"}, "acme", False),  # None is dropped
            ({"tenant_id": ["acme"]}, "acme", False),
        ],
    )
    def test_tenant_rule(self, store, payload, tenant, matches):
        store.upsert(1, [1.0], payload)
        assert store.search([1.0], 5, "dot", tenant) == ([(1, 1.0)] if matches else [])
        assert store.search([1.0], 5, "dot") == [(1, 1.0)]

    def test_dict_subclass_is_read_from_its_storage(self, store):
        class Sneaky(dict):
            def items(self):
                return [("tenant_id", "fake")]

            def __iter__(self):
                return iter(["tenant_id"])

        store.upsert(1, [1.0], Sneaky(tenant_id="real"))
        assert store.search([1.0], 5, "dot", "real") == [(1, 1.0)]
        assert store.search([1.0], 5, "dot", "fake") == []

    def test_payload_error_stores_nothing(self, store):
        store.upsert(1, [1.0], {"tenant_id": "a"})
        with pytest.raises(TypeError):
            store.upsert(1, [2.0], {"tenant_id": "b", 3: "x"})
        assert store.search([1.0], 5, "dot", "a") == [(1, 1.0)]

    def test_value_code_cannot_mutate_the_dict_mid_walk(self, store):
        # Float and int subclasses are read from their own value: their
        # __float__/__index__ never run during the payload walk, so no user
        # code can change the dict while it is being converted.
        payload = {}

        class Sly(float):
            def __float__(self):
                payload.clear()
                payload["tenant_id"] = "mutated"
                return 0.0

        payload["tenant_id"] = "kept"
        payload["score"] = Sly(1.5)
        store.upsert(1, [1.0], payload)
        assert payload == {"tenant_id": "kept", "score": Sly(1.5)}
        assert store.search([1.0], 5, "dot", "kept") == [(1, 1.0)]
