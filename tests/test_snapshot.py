"""Snapshots: the byte format, round trips, every decoder and file error,
odd images from other writers, and save's atomicity."""

import math
import os
import stat
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from karnoxel import VectorStorage
from snapshot_format import FLOAT, INTEGER, KEYWORD, TEXT, Image, Node, parse, varint, write

DECODE = "Postcard binary deserialization pipeline failure (possible corruption): "
UNEXPECTED_END = DECODE + "Hit the end of buffer, expected more data"
BAD_VARINT = DECODE + "Found a varint that didn't terminate. Is the usize too big for this platform?"
BAD_UTF8 = DECODE + "Tried to parse invalid utf-8"
BAD_OPTION = DECODE + "Found an Option discriminant that wasn't 0 or 1"
BAD_VARIANT = DECODE + "Serde Deserialization Error"
EMPTY_INDEX = bytes.fromhex("10 40 20 00 00 00")


def saved_bytes(store, tmp_path):
    path = tmp_path / "out.snap"
    store.save(str(path))
    return path.read_bytes()


def load_bytes(data, tmp_path, store=None):
    path = tmp_path / "in.snap"
    path.write_bytes(data)
    store = store or VectorStorage()
    store.load(str(path))
    return store


def load_error(data, tmp_path):
    store = VectorStorage()
    store.upsert(1, [1.0], None)
    with pytest.raises(OSError) as info:
        load_bytes(data, tmp_path, store)
    assert info.value.args == (str(info.value),) and info.value.errno is None and info.value.filename is None
    assert store.search([1.0], 5, "dot") == [(1, 1.0)]  # unchanged
    return str(info.value)


class TestEncoding:
    def test_empty_store(self, tmp_path):
        assert saved_bytes(VectorStorage(), tmp_path) == bytes.fromhex("00 10 40 20 00 00 00")

    def test_single_point(self, tmp_path):
        store = VectorStorage()
        store.upsert(7, [1.0, -2.5], None)
        data = saved_bytes(store, tmp_path)
        assert data[:13] == bytes.fromhex("01 07 07 02 00 00 80 3F 00 00 20 C0 00")
        assert data[13:13 + 9] == bytes.fromhex("10 40 20 01 07") + bytes([data[18]]) + bytes.fromhex("01 07 07")
        assert data[22:] == bytes(16) and len(data) == 38

    def test_payload_example(self, tmp_path):
        store = VectorStorage()
        store.upsert(1, [], {"a": 5, "b": -1, "f": 0.5})
        assert bytes.fromhex("01 03 01 61 02 0A 01 62 02 01 01 66 03 00 00 00 00 00 00 E0 3F") in saved_bytes(
            store, tmp_path)

    @pytest.mark.parametrize(
        "value, variant, stored",
        [
            ("x" * 64, KEYWORD, "x" * 64),
            ("x" * 65, TEXT, "x" * 65),
            ("\u20ac" * 21, KEYWORD, "\u20ac" * 21),  # 63 bytes
            ("\u20ac" * 22, TEXT, "\u20ac" * 22),  # 66 bytes
            (True, INTEGER, 1),
            (-(2**63), INTEGER, -(2**63)),
            (2**63 - 1, INTEGER, 2**63 - 1),
            (-0.0, FLOAT, -0.0),
            (1e308, FLOAT, 1e308),
        ],
    )
    def test_payload_values(self, tmp_path, value, variant, stored):
        store = VectorStorage()
        store.upsert(1, [1.0], {"v": value, "skipped": [1], "none": None})
        (_, _, payload), = parse(saved_bytes(store, tmp_path)).points.values()
        assert payload == {"v": (variant, stored)}
        if variant == FLOAT:
            assert math.copysign(1, payload["v"][1]) == math.copysign(1, stored)

    def test_integer_extremes_bytes(self, tmp_path):
        store = VectorStorage()
        store.upsert(1, [], {"m": -(2**63)})
        assert b"\x01m\x02" + b"\xff" * 9 + b"\x01" in saved_bytes(store, tmp_path)

    def test_nan_payload_and_vector_bits_survive(self, tmp_path):
        nan = struct.unpack("<f", bytes.fromhex("01 00 c0 7f"))[0]  # a NaN with a payload
        image = Image(points={3: (3, [nan, -0.0], {"f": (FLOAT, struct.unpack("<d", bytes.fromhex("0100000000 00f8 7f".replace(" ", "")))[0])})})
        data = write(image)
        assert saved_bytes(load_bytes(data, tmp_path), tmp_path) == data

    @pytest.mark.parametrize("payload, tail", [(None, b"\x00"), ({}, b"\x01\x00")])
    def test_absent_and_empty_payload(self, tmp_path, payload, tail):
        store = VectorStorage()
        store.upsert(5, [], payload)
        # An empty vector gives the graph nothing to steer by: no node.
        assert saved_bytes(store, tmp_path) == b"\x01\x05\x05\x00" + tail + EMPTY_INDEX

    @pytest.mark.parametrize("point_id", [0, 1, 127, 128, 16383, 16384, 2**63 - 1, 2**63, 2**64 - 1])
    def test_varint_boundaries(self, tmp_path, point_id):
        store = VectorStorage()
        store.upsert(point_id, [], None)
        data = saved_bytes(store, tmp_path)
        encoded = varint(point_id)
        assert data.startswith(b"\x01" + encoded + encoded + b"\x00\x00")
        assert len(encoded) == max(1, math.ceil(point_id.bit_length() / 7))
        assert data.endswith(EMPTY_INDEX)
        assert load_bytes(data, tmp_path).search([], 1, "dot") == [(point_id, -0.0)]


def varied_store(rng, n=900):
    store = VectorStorage()
    rows = rng.standard_normal((n, 12)).astype(np.float32)
    for i, row in enumerate(rows):
        tenant = ["a", "b", "c" * 70, None][i % 4]
        store.upsert(i * 7919, row.tolist(), None if tenant is None else {"tenant_id": tenant, "i": i, "x": 0.5})
    store.upsert(10**6, [1.0, 2.0], {"tenant_id": "a"})  # another length
    store.upsert(10**6 + 1, [], None)
    return store, rng.standard_normal((30, 12)).astype(np.float32)


class TestRoundTrip:
    @pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
    @pytest.mark.parametrize("tenant", [None, "a", "c" * 70, "missing"])
    def test_same_answers_after_load(self, rng, tmp_path, metric, tenant):
        store, queries = varied_store(rng)
        loaded = load_bytes(saved_bytes(store, tmp_path), tmp_path)
        for q in queries:
            assert loaded.search(q.tolist(), 20, metric, tenant) == store.search(q.tolist(), 20, metric, tenant)

    def test_resave_is_identical(self, rng, tmp_path):
        store, _ = varied_store(rng)
        first = saved_bytes(store, tmp_path)
        second = saved_bytes(load_bytes(first, tmp_path), tmp_path)
        assert second == first

    def test_loaded_store_keeps_growing(self, rng, tmp_path):
        store, queries = varied_store(rng)
        loaded = load_bytes(saved_bytes(store, tmp_path), tmp_path)
        for i, q in enumerate(queries):
            loaded.upsert(5_000_000 + i, q.tolist(), None)
        for i, q in enumerate(queries):
            assert loaded.search(q.tolist(), 1, "l2")[0] == (5_000_000 + i, 0.0)

    def test_load_replaces_everything(self, rng, tmp_path):
        store, queries = varied_store(rng)
        empty = saved_bytes(VectorStorage(), tmp_path)
        load_bytes(empty, tmp_path, store)
        assert store.search(queries[0].tolist(), 10, "l2") == []
        assert saved_bytes(store, tmp_path) == empty

    def test_trailing_bytes_are_ignored(self, rng, tmp_path):
        store, queries = varied_store(rng, 50)
        loaded = load_bytes(saved_bytes(store, tmp_path) + b"\xff\x00garbage", tmp_path)
        assert loaded.search(queries[0].tolist(), 5, "dot") == store.search(queries[0].tolist(), 5, "dot")


class TestDecoderErrors:
    def test_every_truncation(self, tmp_path):
        store = VectorStorage()
        store.upsert(300, [1.0, -1.0], {"tenant_id": "t", "n": -7, "f": 1.5})
        store.upsert(2, [0.5, 0.5], None)
        data = saved_bytes(store, tmp_path)
        for cut in range(len(data)):
            assert load_error(data[:cut], tmp_path) == UNEXPECTED_END, cut

    @pytest.mark.parametrize(
        "data, message",
        [
            (b"\x80" * 10, BAD_VARINT),
            (b"\xff" * 9 + b"\x02", BAD_VARINT),
            (b"\x80" * 9 + b"\x01" + EMPTY_INDEX, UNEXPECTED_END),  # a count of 2**63 points
            (b"\x01\x01\x01\x00\x02", BAD_OPTION),
            (b"\x01\x01\x01\x00\x01\x01\x01\xff\x00", BAD_UTF8),
            (b"\x01\x01\x01\x00\x01\x01\x01a\x04", BAD_VARIANT),
            (b"\x01\x01\x01\x00\x01\x01\x01a\x80\x80\x80\x80\x10", BAD_VARINT),
            (b"\x01\x01\x01\x00\x01\x01\x01a\x80\x80\x80\x80\x01\x00", BAD_VARIANT),
            (b"\x01\x01\x01\x00\x01\x01\x01a\x00\x02\xed\xa0", BAD_UTF8),  # a surrogate
            (b"\x01\x01\x01\x00\x01\x01\x01a\x00\x02\xc0\x80", BAD_UTF8),  # an overlong form
            (b"\x00\x10\x40\x20\x02", BAD_OPTION),
            (b"\x00\x10\x40\x20\x01", UNEXPECTED_END),
            (b"\x01\x01\x01" + varint(2**40) + b"\x00\x00\x80\x3f", UNEXPECTED_END),
            (b"\x00" + EMPTY_INDEX[:-1] + varint(2**40) + b"\x05\x05", UNEXPECTED_END),
        ],
    )
    def test_error_texts(self, tmp_path, data, message):
        assert load_error(data, tmp_path) == message

    def test_huge_declared_counts_fail_fast(self, tmp_path):
        # A node list declaring 2**62 entries, followed by a few: no allocation for the count.
        data = b"\x00" + EMPTY_INDEX[:-1] + b"\x01\x05\x05" + varint(2**62) + b"\x01\x02\x03"
        start = time.perf_counter()
        assert load_error(data, tmp_path) == UNEXPECTED_END
        assert time.perf_counter() - start < 5

    def test_keyword_variant_is_kept_as_recorded(self, tmp_path):
        image = Image(points={1: (1, [], {"k": (KEYWORD, "y" * 65)})})
        data = write(image)
        assert parse(saved_bytes(load_bytes(data, tmp_path), tmp_path)).points[1][2] == {"k": (KEYWORD, "y" * 65)}

    def test_repeated_keys_keep_the_later_entry(self, tmp_path):
        data = (b"\x02" + b"\x05\x05\x01" + struct.pack("<f", 1.0) + b"\x00"
                + b"\x05\x05\x01" + struct.pack("<f", 2.0) + b"\x01\x01\x01k\x02\x02" + EMPTY_INDEX)
        loaded = load_bytes(data, tmp_path)
        assert loaded.search([1.0], 5, "dot") == [(5, 2.0)]
        assert parse(saved_bytes(loaded, tmp_path)).points == {5: (5, [2.0], {"k": (INTEGER, 1)})}


def answers(store, queries, tenant=None):
    """Answers to every query, by every metric (many queries: few limits)."""
    limits = (1, 10, 100) if len(queries) <= 10 else (10,)
    return [store.search(q.tolist(), limit, metric, tenant)
            for q in queries for metric in ("cosine", "dot", "l2") for limit in limits]


def assert_same_as_copy(store, tmp_path, queries):
    """A store and its saved-then-loaded copy answer alike: ids, scores, order."""
    copy = load_bytes(saved_bytes(store, tmp_path), tmp_path)
    assert answers(copy, queries) == answers(store, queries)


def exact_ids(rows, q, k):
    d = ((rows.astype(np.float64) - q) ** 2).sum(axis=1)
    return [int(i) for i in np.argsort(d, kind="stable")[:k]]


class TestOddImages:
    """Images another writer could produce, damaged ones included. A graph
    that passes the checks is used, less the entries that name no point it
    holds; one that fails them is saved back as read and never walked: the
    store is scanned exactly until its next change builds the graph anew.
    Either way a store and its saved-then-loaded copy answer alike."""

    def rows(self, n=600, d=6, seed=3):
        return np.random.default_rng(seed).standard_normal((n, d)).astype(np.float32)

    def test_point_ids_that_differ_from_keys(self, tmp_path):
        image = Image(points={k: (k + 1000, [float(k), 1.0], None) for k in range(3)})
        loaded = load_bytes(write(image), tmp_path)
        assert {h[0] for h in loaded.search([1.0, 1.0], 5, "dot")} == {1000, 1001, 1002}
        assert parse(saved_bytes(loaded, tmp_path)).points == image.points

    @pytest.mark.parametrize(
        "m, ef_search, max_level, entry, sound",
        [(0, 0, 0, 0, True), (1, 32, 3, 0, True), (16, 0, 100, 0, False),
         (2**64 - 1, 2**64 - 1, 2**64 - 1, 0, False), (16, 32, 0, None, False), (16, 32, 0, 99999, False)],
    )
    def test_odd_parameters_and_entries(self, tmp_path, m, ef_search, max_level, entry, sound):
        rows = self.rows()
        points = {k: (k, row.tolist(), None) for k, row in enumerate(rows)}
        nodes = {k: Node(k, [[(k + 1) % 600, (k + 7) % 600, 777777, k]] + [[]] * 15) for k in range(600)}
        nodes[123456] = Node(5, [[1, 2, 3]] + [[]] * 15)  # a node without a point, id unlike its key
        image = Image(points=points, m=m, ef_construction=0, ef_search=ef_search, entry_point=entry,
                      max_level=max_level, nodes=nodes)
        loaded = load_bytes(write(image), tmp_path)
        reread = parse(saved_bytes(loaded, tmp_path))
        assert (reread.m, reread.ef_search, reread.max_level, reread.entry_point) == (m, ef_search, max_level, entry)
        if sound:  # used, less the node and the entries that name no point
            assert reread.nodes == {k: Node(k, [[x for x in n.lists[0] if x != 777777]] + [[]] * 15)
                                    for k, n in nodes.items() if k in points}
        else:  # kept as read, ghost ids and self-links included
            assert reread.nodes == nodes
        for q in rows[:5]:
            hits = loaded.search(q.tolist(), 10, "l2")
            assert len(hits) == 10 and all(h[0] in points for h in hits)
            if not sound:
                assert [h[0] for h in hits] == exact_ids(rows, q, 10)
        assert_same_as_copy(loaded, tmp_path, rows[:4])
        for i in range(50):
            loaded.upsert(10_000 + i, (rows[i] + 0.01).tolist(), None)
        assert loaded.search((rows[7] + 0.01).tolist(), 1000, "l2")[0][0] == 10_007
        assert_same_as_copy(loaded, tmp_path, rows[:4])

    @pytest.mark.parametrize("damage", ["entry names no point", "no entry", "missing nodes", "ghost entries",
                                        "node id unlike key", "max level too high", "list over capacity",
                                        "node for a missing point", "lists swapped", "duplicate entries",
                                        "unreachable node"])
    def test_damaged_images_answer_like_their_copies(self, tmp_path, damage):
        rng = np.random.default_rng(12)
        rows = rng.standard_normal((700, 8)).astype(np.float32)
        store = VectorStorage()
        for i, row in enumerate(rows):
            store.upsert(i, row.tolist(), {"tenant_id": "ab"[i % 2]})
        image = parse(saved_bytes(store, tmp_path))
        nodes = image.nodes
        if damage == "entry names no point":
            image.entry_point = 10**9
        elif damage == "no entry":
            image.entry_point = None
        elif damage == "missing nodes":
            for k in range(0, 700, 50):
                del nodes[k]
        elif damage == "ghost entries":
            for k in range(0, 700, 7):
                nodes[k].lists[0].append(10**9 + k)
        elif damage == "node id unlike key":
            nodes[3].id = 4
        elif damage == "max level too high":
            image.max_level = 20
        elif damage == "list over capacity":
            nodes[9].lists[0] = list(range(10, 50))
        elif damage == "node for a missing point":
            nodes[10**9] = Node(10**9, [[1, 2]] + [[]] * 15)
        elif damage == "lists swapped":
            nodes[1].lists, nodes[2].lists = nodes[2].lists, nodes[1].lists
        elif damage == "duplicate entries":
            for k in range(0, 700, 3):
                nodes[k].lists[0] = nodes[k].lists[0] + nodes[k].lists[0][:2]
        elif damage == "unreachable node":
            for node in nodes.values():
                node.lists = [[x for x in layer if x != 77] for layer in node.lists]
        queries = rng.standard_normal((150, 8)).astype(np.float32)
        data = write(image)
        loaded = load_bytes(data, tmp_path)
        if damage in ("entry names no point", "no entry", "missing nodes", "node id unlike key",
                      "max level too high", "list over capacity", "unreachable node"):
            # Saved back as read, and not walked: answered by the exact scan.
            assert saved_bytes(loaded, tmp_path) == data
            for q in queries[:30]:
                assert [h[0] for h in loaded.search(q.tolist(), 10, "l2")] == exact_ids(rows, q, 10)
        assert_same_as_copy(loaded, tmp_path, queries)
        assert answers(loaded, queries, "a") == answers(load_bytes(saved_bytes(loaded, tmp_path), tmp_path),
                                                        queries, "a")
        # A change (the bogus entry id becoming a point, say) keeps it so.
        loaded.upsert(10**9, queries[0].tolist(), {"tenant_id": "a"})
        loaded.upsert(11, queries[1].tolist(), None)
        assert_same_as_copy(loaded, tmp_path, queries)
        assert loaded.search(queries[0].tolist(), 1, "l2") == [(10**9, 0.0)]
        after = parse(saved_bytes(loaded, tmp_path))  # a graph of every point, built anew if need be
        assert set(after.nodes) == set(after.points) and max(len(n.lists[0]) for n in after.nodes.values()) <= 32

    def test_points_without_nodes_are_searched(self, tmp_path):
        rows = self.rows()
        image = Image(points={k: (k, row.tolist(), None) for k, row in enumerate(rows)}, entry_point=None)
        loaded = load_bytes(write(image), tmp_path)
        assert loaded.search(rows[9].tolist(), 1, "l2") == [(9, 0.0)]
        loaded.upsert(9, rows[10].tolist(), None)
        assert sorted(h[0] for h in loaded.search(rows[10].tolist(), 2, "l2")) == [9, 10]


IDS = {
    "in order": lambda n: list(range(n)),
    "shuffled": lambda n: np.random.default_rng(5).permutation(n).tolist(),
    "sparse": lambda n: [i * 2**40 + 3 for i in range(n)],
    "in order, one kept aside": lambda n: list(range(n)),
}


LARGE_N, LARGE_DIM = 5000, 256  # about 5 MiB of vectors


@pytest.fixture(scope="module", params=list(IDS))
def large_saved(request, tmp_path_factory):
    """A store of several MiB, its image and a few queries near its points."""
    rows = np.random.default_rng(21).standard_normal((LARGE_N, LARGE_DIM)).astype(np.float32)
    ids = IDS[request.param](LARGE_N)
    store = VectorStorage()
    for k, (i, row) in enumerate(zip(ids, rows)):
        vector = row[:3] if request.param.endswith("aside") and k == 100 else row
        store.upsert(i, vector, {"tenant_id": "ab"[k % 2]})
    path = tmp_path_factory.mktemp("large") / "store.snap"
    store.save(str(path))
    return store, path.read_bytes(), rows[:8] + 0.01


def image_of_floats(blocks):
    """An image of points only (no graph), point keys 0, 1, ... over the
    blocks of rows in order."""
    out = bytearray(varint(sum(len(b) for b in blocks)))
    key = 0
    for block in blocks:
        for row in block:
            out += varint(key) + varint(key) + varint(len(row)) + row.tobytes() + b"\x00"
            key += 1
    return bytes(out) + EMPTY_INDEX


@pytest.mark.parametrize("lengths", [[(5000, 1024)], [(2000, 1024), (3000, 1000)]], ids=["one length", "rows move"])
def test_rows_of_tens_of_mib_load_bit_for_bit(tmp_path, lengths):
    """Rows this large have their pages faulted in by a helper thread while
    the points are written: every float must come back as it was, also when
    later points of another length move the rows meanwhile."""
    rng = np.random.default_rng(31)
    blocks = [(rng.standard_normal((n, dim)) * np.exp2(rng.integers(-30, 30, (n, 1)))).astype("<f4")
              for n, dim in lengths]
    data = image_of_floats(blocks)
    assert len(data) > 16 * 2**20
    loaded = load_bytes(data, tmp_path)
    assert saved_bytes(loaded, tmp_path) == data
    last = blocks[-1]
    start = sum(len(b) for b in blocks[:-1])
    for i in (0, len(last) // 2, len(last) - 1):
        top = loaded.search(last[i].tolist(), 1, "cosine")
        assert top[0][0] == start + i


HUGE_PAGES_OF_ROWS = r"""
import sys, karnoxel
store = karnoxel.VectorStorage()
store.load(sys.argv[1])
# Huge pages and size of every anonymous mapping about as large as the rows
# (a sanitizer's far larger shadow memory is left out).
low_size, high_size = int(sys.argv[3]), 4 * int(sys.argv[3])
size = 0
for line in open("/proc/self/smaps"):
    fields = line.split()
    if not fields[0].endswith(":"):
        low, high = (int(x, 16) for x in fields[0].split("-"))
        size = high - low if len(fields) == 5 and fields[1].startswith("rw") else 0
    elif fields[0] == "AnonHugePages:" and low_size <= size <= high_size:
        print(int(fields[1]) * 1024, size)
store.save(sys.argv[2])
"""


def transparent_huge_pages():
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            return "[never]" not in f.read()
    except OSError:
        return False


@pytest.mark.skipif(not transparent_huge_pages(), reason="transparent huge pages are off or unknown here")
@pytest.mark.parametrize("asked", [False, True], ids=["by default", "KARNOXEL_LOAD_HUGE_PAGES=1"])
def test_a_load_takes_huge_pages_when_asked(tmp_path, asked):
    """A load writes its rows in small pages unless the environment asks for
    huge ones from the first touch; either way the rows load bit for bit."""
    rows = np.random.default_rng(5).standard_normal((6000, 1024)).astype("<f4")
    data = image_of_floats([rows])
    path = tmp_path / "rows.snap"
    path.write_bytes(data)
    env = {k: v for k, v in os.environ.items() if k != "KARNOXEL_LOAD_HUGE_PAGES"}
    if asked:
        env["KARNOXEL_LOAD_HUGE_PAGES"] = "1"
    back = tmp_path / "back.snap"
    out = subprocess.run([sys.executable, "-c", HUGE_PAGES_OF_ROWS, str(path), str(back), str(len(data) - 2**22)],
                         capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    mappings = [tuple(map(int, line.split())) for line in out.stdout.splitlines()]
    assert mappings, "no mapping holds the rows"
    # The kernel's own scanner merges a few MiB every ten seconds at most:
    # far from half of the rows in the moment after a load.
    assert any(huge >= size // 2 for huge, size in mappings) == asked, mappings
    assert back.read_bytes() == data


class TestImagesOfSeveralMiB:
    """Images larger than the window a load reads through: the points are
    stored as they arrive and only the graph's bytes are kept, whatever the
    ids (rows numbered like the ids or not)."""

    def test_round_trip_is_exact(self, large_saved, tmp_path):
        store, data, queries = large_saved
        assert len(data) > 5 * 2**20
        loaded = load_bytes(data, tmp_path)
        assert saved_bytes(loaded, tmp_path) == data
        assert answers(loaded, queries[:3]) == answers(store, queries[:3])
        assert answers(loaded, queries, "b") == answers(store, queries, "b")

    def test_cut_anywhere_fails_and_leaves_the_store(self, large_saved, tmp_path):
        _, data, _ = large_saved
        image = parse(data)
        graph_start = len(data) - (len(write(Image(m=image.m, ef_construction=image.ef_construction,
                                                  ef_search=image.ef_search, entry_point=image.entry_point,
                                                  max_level=image.max_level, nodes=image.nodes))) - 1)
        for cut in (len(data) // 3, graph_start - 1, graph_start, (graph_start + len(data)) // 2, len(data) - 1):
            assert load_error(data[:cut], tmp_path) == UNEXPECTED_END, cut

    def test_graph_that_does_not_hold_together_is_kept_as_read(self, large_saved, tmp_path):
        _, data, queries = large_saved
        image = parse(data)
        cut_off = next(k for k in image.nodes if k != image.entry_point)  # unlisted everywhere: unreachable
        for node in image.nodes.values():
            node.lists = [[x for x in layer if x != cut_off] for layer in node.lists]
        damaged = write(image)
        loaded = load_bytes(damaged, tmp_path)
        assert saved_bytes(loaded, tmp_path) == damaged
        keys = [k for k, point in image.points.items() if len(point[1]) == LARGE_DIM]
        rows = np.array([image.points[k][1] for k in keys], dtype=np.float32)
        for q in queries[:3]:
            wanted = [keys[i] for i in np.argsort(((rows.astype(np.float64) - q) ** 2).sum(axis=1),
                                                  kind="stable")[:10]]
            assert [h[0] for h in loaded.search(q, 10, "l2")] == wanted


def save_under_file_size_limit(target):
    """Saves a store of ~500 kB in a child process whose files may not grow
    past 4 kB; returns what the save raised."""
    code = (
        "import resource, signal, sys, karnoxel\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "s = karnoxel.VectorStorage()\n"
        "for i in range(2000): s.upsert(i, [float(i)] * 64, None)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        "try:\n"
        "    s.save(sys.argv[1])\n"
        "except OSError as e:\n"
        "    print(e)\n"
    )
    return subprocess.run([sys.executable, "-c", code, str(target)], capture_output=True, text=True,
                          check=True).stdout.strip()


class TestFiles:
    def test_missing_file_and_directory(self, tmp_path):
        store = VectorStorage()
        with pytest.raises(OSError, match=r"^Failed to open snapshot file: No such file or directory \(os error 2\)$"):
            store.load(str(tmp_path / "missing"))
        with pytest.raises(OSError, match=r"^Failed to read snapshot file bytes: Is a directory \(os error 21\)$"):
            store.load(str(tmp_path))

    def test_empty_file(self, tmp_path):
        assert load_error(b"", tmp_path) == UNEXPECTED_END

    @pytest.mark.parametrize("method, prefix", [("save", "Failed to create snapshot file: "),
                                                ("load", "Failed to open snapshot file: ")])
    def test_nul_in_path(self, tmp_path, method, prefix):
        with pytest.raises(OSError) as info:
            getattr(VectorStorage(), method)(str(tmp_path / "a\0b"))
        assert str(info.value) == prefix + "file name contained an unexpected NUL byte"

    def test_save_into_missing_folder_or_onto_a_folder(self, tmp_path):
        store = VectorStorage()
        with pytest.raises(OSError, match=r"^Failed to create snapshot file: No such file or directory \(os error 2\)"):
            store.save(str(tmp_path / "no" / "x.snap"))
        assert not (tmp_path / "no").exists()
        with pytest.raises(OSError, match=r"^Failed to create snapshot file: Is a directory \(os error 21\)"):
            store.save(str(tmp_path))
        assert list(tmp_path.iterdir()) == []

    def test_overwrite_shorter_keeps_mode_and_leaves_no_temporary(self, tmp_path):
        target = tmp_path / "s.snap"
        target.write_bytes(b"x" * 10_000)
        os.chmod(target, 0o640)
        VectorStorage().save(str(target))
        assert target.read_bytes() == bytes.fromhex("00 10 40 20 00 00 00")
        assert stat.S_IMODE(target.stat().st_mode) == 0o640
        assert [p.name for p in tmp_path.iterdir()] == ["s.snap"]

    def test_new_file_mode_follows_umask(self, tmp_path):
        old = os.umask(0o027)
        try:
            VectorStorage().save(str(tmp_path / "n.snap"))
        finally:
            os.umask(old)
        assert stat.S_IMODE((tmp_path / "n.snap").stat().st_mode) == 0o640

    def test_symlink_is_followed_not_replaced(self, tmp_path):
        real = tmp_path / "real.snap"
        real.write_bytes(b"old")
        link = tmp_path / "link.snap"
        link.symlink_to(real)
        VectorStorage().save(str(link))
        assert link.is_symlink() and real.read_bytes() == bytes.fromhex("00 10 40 20 00 00 00")

    def test_devices_and_fifos_are_written_in_place(self, rng, tmp_path):
        store, _ = varied_store(rng, 50)
        image = saved_bytes(store, tmp_path)
        store.save("/dev/null")
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
        reader.start()
        store.save(str(fifo))
        reader.join()
        assert received == [image] and stat.S_ISFIFO(os.stat(fifo).st_mode)

    def test_failed_write_leaves_the_old_file(self, tmp_path):
        # A file size limit makes the write fail (EFBIG) part-way.
        target = tmp_path / "keep.snap"
        target.write_bytes(b"precious")
        assert save_under_file_size_limit(target) == "Failed to write serialized bytes to disk: File too large (os error 27)"
        assert target.read_bytes() == b"precious"
        assert [p.name for p in tmp_path.iterdir()] == ["keep.snap"]


SAVER = r"""
import sys, karnoxel
target, a, b, ready = sys.argv[1:5]
stores = [karnoxel.VectorStorage(), karnoxel.VectorStorage()]
stores[0].load(a)
stores[1].load(b)
open(ready, "w").close()
i = 0
while True:
    stores[i % 2].save(target)
    i += 1
"""


def test_killed_save_leaves_old_or_new_snapshot(tmp_path):
    images = []
    for seed in (1, 2):
        rows = np.random.default_rng(seed).standard_normal((6000, 96)).astype(np.float32)
        store = VectorStorage()
        for i, row in enumerate(rows):
            store.upsert(i, row.tolist(), {"seed": seed})
        store.save(str(tmp_path / f"{seed}.snap"))
        images.append((tmp_path / f"{seed}.snap").read_bytes())
    target = tmp_path / "t.snap"
    target.write_bytes(images[0])
    rng = np.random.default_rng(11)
    for kill in range(12):
        ready = tmp_path / f"ready{kill}"
        proc = subprocess.Popen([sys.executable, "-c", SAVER, str(target), str(tmp_path / "1.snap"),
                                 str(tmp_path / "2.snap"), str(ready)])
        try:
            deadline = time.time() + 120
            while not ready.exists():
                assert proc.poll() is None and time.time() < deadline
                time.sleep(0.01)
            time.sleep(float(rng.uniform(0.0, 0.3)))
        finally:
            proc.kill()
            proc.wait()
        assert target.read_bytes() in images, kill
        VectorStorage().load(str(target))


FUZZ = os.path.join(os.path.dirname(__file__), "..", "fuzz")


@pytest.mark.parametrize(
    "name",
    sorted(f"{kind}/{f}" for kind in ("corpus", "regressions") if os.path.isdir(os.path.join(FUZZ, kind))
           for f in os.listdir(os.path.join(FUZZ, kind))),
)
def test_fuzz_inputs_load_or_fail_cleanly(tmp_path, name):
    store = VectorStorage()
    try:
        store.load(os.path.join(FUZZ, name))
    except OSError as e:
        assert str(e).startswith(DECODE)
        return
    image = parse(saved_bytes(store, tmp_path))
    for length in {len(v) for _, v, _ in image.points.values()} | {0, 3}:
        for metric in ("cosine", "dot", "l2"):
            store.search([0.5] * length, 10, metric)
    store.upsert(1, [0.25] * 4, {"tenant_id": "t"})
    assert store.search([0.25] * 4, 1, "l2", "t") == [(1, 0.0)]


class TestFileFaults:
    def test_endless_stream_is_read_only_as_far_as_the_image(self, tmp_path):
        # /dev/zero holds a complete 7-byte image (all parameters 0) followed by
        # endless zeros; a FIFO delivers a real image followed by endless
        # zeros. Both load at once, in bounded memory.
        store, queries = varied_store(np.random.default_rng(3), 50)
        image = saved_bytes(store, tmp_path)
        code = """
            import os, resource, sys, threading, karnoxel
            fifo, image = sys.argv[1], open(sys.argv[2], "rb").read()
            if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer needs its address space
                resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
            zero = karnoxel.VectorStorage()
            zero.load("/dev/zero")
            zero.save(sys.argv[3])
            print(open(sys.argv[3], "rb").read().hex())
            os.mkfifo(fifo)
            def feed():
                with open(fifo, "wb") as f:
                    f.write(image)
                    try:
                        while True:
                            f.write(bytes(1 << 16))
                    except BrokenPipeError:
                        pass
            writer = threading.Thread(target=feed)
            writer.start()
            streamed = karnoxel.VectorStorage()
            streamed.load(fifo)
            writer.join()
            streamed.save(sys.argv[3])
            print(open(sys.argv[3], "rb").read() == image)
        """
        (tmp_path / "image.snap").write_bytes(image)
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(tmp_path / "fifo"),
                              str(tmp_path / "image.snap"), str(tmp_path / "out.snap")],
                             capture_output=True, text=True, timeout=60)
        assert out.stdout.split() == ["00" * 7, "True"], out.stderr[-2000:]

    def test_long_target_name_fails_without_destroying_the_old_file(self, tmp_path):
        # The temporary name must fit even when the target's name is near the
        # limit; a write that then fails (a file size limit) keeps the old file.
        target = tmp_path / ("a" * 240 + ".snap")
        target.write_bytes(b"precious")
        assert save_under_file_size_limit(target) == "Failed to write serialized bytes to disk: File too large (os error 27)"
        assert target.read_bytes() == b"precious"
        assert [p.name for p in tmp_path.iterdir()] == [target.name]
        VectorStorage().save(str(target))  # and without the limit it simply works
        assert target.read_bytes() == bytes.fromhex("00 10 40 20 00 00 00")

    def test_no_inodes_left_fails_without_destroying_the_old_file(self, tmp_path):
        # A tmpfs with no inode left for a temporary file, and too small for
        # the new image: the save fails and the old file stays whole.
        mount = tmp_path / "full"
        mount.mkdir()
        code = (
            "import sys, karnoxel\n"
            "target = sys.argv[1] + '/old.snap'\n"
            "open(target, 'wb').write(b'precious')\n"
            "s = karnoxel.VectorStorage()\n"
            "for i in range(3000): s.upsert(i, [float(i)] * 64, None)\n"
            "try:\n"
            "    s.save(target)\n"
            "except OSError as e:\n"
            "    print(e)\n"
            "print(open(target, 'rb').read())\n"
        )
        script = f"mount -t tmpfs -o size=64k,nr_inodes=2 tmpfs {mount} && exec {sys.executable} -c \"$0\" {mount}"
        out = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, code],
                             capture_output=True, text=True)
        if out.returncode != 0 and "mount" in out.stderr + out.stdout or "unshare" in out.stderr:
            pytest.skip(f"cannot mount a small tmpfs here: {out.stderr.strip()[:200]}")
        assert out.stdout.split("\n")[:2] == [
            "Failed to create snapshot file: No space left on device (os error 28)", "b'precious'"], out.stderr

    @pytest.mark.parametrize("relative", [True, False])
    def test_dangling_symlink_creates_the_file_it_names(self, tmp_path, relative):
        (tmp_path / "real").mkdir()
        link = tmp_path / "link.snap"
        link.symlink_to("real/new.snap" if relative else tmp_path / "real" / "new.snap")
        VectorStorage().save(str(link))
        assert link.is_symlink()
        assert (tmp_path / "real" / "new.snap").read_bytes() == bytes.fromhex("00 10 40 20 00 00 00")

    def test_temporaries_of_dead_processes_are_removed(self, tmp_path):
        dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True,
                              text=True, check=True).stdout.strip()
        names = {
            f".x.snap.{dead}.123.tmp": False,       # a killed save's: removed
            f".x.snap.{os.getpid()}.124.tmp": True,  # a live process's: kept
            f".y.{os.getppid()}.7.tmp": True,
            ".other.tmp": True,                     # not the pattern
            f"x.snap.{dead}.1.tmp": True,           # no leading dot
            f".x.snap.{dead}.12a.tmp": True,
        }
        for name in names:
            (tmp_path / name).write_bytes(b"partial")
        VectorStorage().save(str(tmp_path / "z.snap"))
        assert {p.name for p in tmp_path.iterdir()} == {n for n, kept in names.items() if kept} | {"z.snap"}


SEEDED_BUILD = """
import sys, numpy as np, karnoxel
rng = np.random.default_rng(0)
store = karnoxel.VectorStorage()
for i, row in enumerate(rng.standard_normal((1500, 16)).astype(np.float32)):
    store.upsert(i, row, {"tenant_id": "ab"[i % 2]})
for i in range(0, 1500, 9):
    store.upsert(i, [], None)
store.save(sys.argv[1])
print(store.search(rng.standard_normal(16).astype(np.float32), 10, "cosine"))
"""


@pytest.mark.parametrize("seed", ["42", None])
def test_a_seed_makes_the_graph_reproducible(tmp_path, seed):
    """With KARNOXEL_SEED set when a store is made, the same upserts give the
    same graph, answers and snapshot bytes; without it, levels come from the
    system's entropy and the graphs differ."""
    env = {k: v for k, v in os.environ.items() if k != "KARNOXEL_SEED"}
    if seed is not None:
        env["KARNOXEL_SEED"] = seed
    runs = []
    for name in ("a.snap", "b.snap"):
        out = subprocess.run([sys.executable, "-c", SEEDED_BUILD, str(tmp_path / name)], env=env,
                             capture_output=True, text=True, check=True).stdout
        runs.append(((tmp_path / name).read_bytes(), out))
    assert (runs[0] == runs[1]) == (seed is not None)


@pytest.mark.parametrize("setting, breadth", [
    ("12", 12), ("1", 1), ("4096", 4096),
    ("0", None), ("4097", None), ("-5", None), ("+12", None), (" 12", None), ("12x", None), ("", None),
    ("99999999999999999999999", None),
])
def test_the_breadth_setting_applies_to_stores_made_or_loaded_under_it(tmp_path, monkeypatch, setting, breadth):
    """KARNOXEL_EF_SEARCH (an integer from 1 to 4096, else ignored) becomes
    the ef_search of stores created or loaded while it is set, replacing a
    snapshot's value, and is saved with them; nothing else changes."""
    source = tmp_path / "source.snap"
    source.write_bytes(write(Image(ef_search=77)))
    monkeypatch.setenv("KARNOXEL_EF_SEARCH", setting)
    made, loaded = VectorStorage(), VectorStorage()
    loaded.load(str(source))
    monkeypatch.delenv("KARNOXEL_EF_SEARCH")
    assert saved_bytes(made, tmp_path) == bytes([0, 16, 64]) + varint(breadth or 32) + bytes([0, 0, 0])
    assert parse(saved_bytes(loaded, tmp_path)).ef_search == (breadth or 77)
    # Read as each store is made or loaded: a store made earlier keeps its own.
    monkeypatch.setenv("KARNOXEL_EF_SEARCH", "5")
    assert parse(saved_bytes(made, tmp_path)).ef_search == (breadth or 32)
