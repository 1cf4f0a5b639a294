"""Typed use of karnoxel: checked by `mypy --strict` in CI and run by
tests/test_typing.py, so what the stubs admit is accepted at run time and
what they refuse is refused.

Every line marked `# type: ignore[...]` must be a type error (strict mode
reports an ignore that silences nothing) and must raise at run time.
"""

import array
import os
import pathlib
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from typing import assert_type

import numpy as np

import karnoxel

Hits = list[tuple[int, float]]


@contextmanager
def raises(kind: type[BaseException]) -> Iterator[None]:
    try:
        yield
    except kind:
        return
    raise AssertionError(f"expected {kind.__name__}")


def accepted(store: karnoxel.VectorStorage, folder: str) -> None:
    store.upsert(1, [0.5, 0.25, 1.0], {"tenant_id": "acme", "year": 2024, "score": 0.7, "tags": ["dropped"]})
    store.upsert(2, (1, 2, 3), None)
    store.upsert(3, range(3), {})
    store.upsert(np.uint64(4), np.array([0.1, 0.2, 0.3], dtype=np.float32), None)
    store.upsert(5, np.array([0.3, 0.2, 0.1]), {"tenant_id": "acme"})
    store.upsert(6, array.array("f", [1.0, 0.0, 0.0]), None)
    store.upsert(7, memoryview(array.array("d", [0.0, 1.0, 0.0])), None)
    store.upsert(8, [np.float32(0.5), np.float64(1.0), True], None)
    store.upsert(point_id=9, vector=b"\x01\x02\x03", payload=None)

    hits = store.search([0.5, 0.25, 1.0], 2, "cosine")
    assert_type(hits, Hits)
    assert hits[0][0] == 1
    for metric in ("cosine", "dot_product", "dot", "euclidean", "l2", "Cosine", "L2"):
        assert len(store.search(np.ones(3, dtype=np.float32), 3, metric)) == 3
    assert [pid for pid, _ in store.search([0.5, 0.25, 1.0], np.int64(5), "l2", tenant_id="acme")] == [1, 5]
    assert store.search(query_vector=[1.0, 0.0, 0.0], limit=1, metric="dot", tenant_id=None) != []

    batches = store.batch_search(np.eye(3, dtype=np.float32), 2, "dot")
    assert_type(batches, list[Hits])
    assert len(batches) == 3
    mixed = store.batch_search([[1.0, 0.0, 0.0], (0, 1, 0), np.zeros(3)], 1, "l2", "acme")
    assert [len(h) for h in mixed] == [1, 1, 1]

    path = os.path.join(folder, "store.snap")
    store.save(path)
    restored = karnoxel.VectorStorage()
    restored.load(path=path)
    assert restored.search([0.5, 0.25, 1.0], 9, "cosine") == store.search([0.5, 0.25, 1.0], 9, "cosine")

    version: str = karnoxel.__version__
    assert version


def refused(store: karnoxel.VectorStorage, folder: str) -> None:
    with raises(TypeError):
        store.upsert(1.5, [1.0], None)  # type: ignore[arg-type]
    with raises(TypeError):
        store.upsert(1, "1.0", None)  # type: ignore[arg-type]
    with raises(TypeError):
        store.upsert(1, [1.0], [("tenant_id", "acme")])  # type: ignore[arg-type]
    with raises(TypeError):
        store.upsert(1, [1.0])  # type: ignore[call-arg]
    with raises(TypeError):
        store.search(["0.5"], 1, "cosine")  # type: ignore[list-item]
    with raises(TypeError):
        store.search([1.0], 1.0, "cosine")  # type: ignore[arg-type]
    with raises(TypeError):
        store.search([1.0], 1, "cosine", tenant_id=7)  # type: ignore[arg-type]
    with raises(TypeError):
        store.batch_search([1.0, 2.0], 1, "cosine")  # type: ignore[list-item]
    with raises(TypeError):
        store.save(pathlib.Path(folder) / "other.snap")  # type: ignore[arg-type]
    with raises(TypeError):
        karnoxel.VectorStorage(1)  # type: ignore[call-arg]
    with raises(AttributeError):
        store.delete(1)  # type: ignore[attr-defined]
    # Refused at run time only: the metric is checked by name.
    with raises(ValueError):
        store.search([1.0], 1, "manhattan")


def main() -> None:
    store = karnoxel.VectorStorage()
    with tempfile.TemporaryDirectory() as folder:
        accepted(store, folder)
        refused(store, folder)


if __name__ == "__main__":
    main()
