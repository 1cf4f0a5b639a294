import pathlib
import importlib
import inspect
import sys

import pytest

import karnoxel
from karnoxel import VectorStorage


def test_module_publishes_only_the_class():
    assert karnoxel.__all__ == ["VectorStorage"]
    assert VectorStorage.__module__ == "builtins"
    assert VectorStorage.__name__ == "VectorStorage"


def test_version_is_the_installed_distribution_version():
    from importlib.metadata import version

    assert karnoxel.__version__ == version("karnoxel")
    assert [name for name in dir(karnoxel) if not name.startswith("_")] == ["VectorStorage"]


def test_new_module_object_reuses_the_type():
    saved = sys.modules.pop("karnoxel")
    try:
        fresh = importlib.import_module("karnoxel")
        assert fresh is not saved
        assert fresh.VectorStorage is VectorStorage
        assert fresh.__all__ == ["VectorStorage"]
    finally:
        sys.modules["karnoxel"] = saved


def test_class_is_final_and_slotless(store):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (VectorStorage,), {})
    assert not hasattr(store, "__dict__")
    with pytest.raises(AttributeError):
        store.anything = 1
    with pytest.raises(TypeError):
        VectorStorage.extra = 1


def test_stores_are_independent():
    a, b = VectorStorage(), VectorStorage()
    a.upsert(1, [1.0], None)
    assert b.search([1.0], 5, "dot") == []
    assert a.search([1.0], 5, "dot") == [(1, 1.0)]


def test_store_cannot_be_copied_into_an_empty_one(store):
    import copy
    import pickle

    store.upsert(1, [1.0], None)
    with pytest.raises(TypeError):
        copy.copy(store)
    with pytest.raises(TypeError):
        pickle.dumps(store)


@pytest.mark.parametrize(
    "member, params",
    [
        ("upsert", ["self", "point_id", "vector", "payload"]),
        ("search", ["self", "query_vector", "limit", "metric", "tenant_id"]),
        ("batch_search", ["self", "query_vectors", "limit", "metric", "tenant_id"]),
        ("save", ["self", "path"]),
        ("load", ["self", "path"]),
    ],
)
def test_signatures(member, params):
    signature = inspect.signature(getattr(VectorStorage, member))
    assert list(signature.parameters) == params
    defaults = {name: p.default for name, p in signature.parameters.items() if p.default is not p.empty}
    assert defaults == ({"tenant_id": None} if "tenant_id" in params else {})
    # Everything after self may be passed by position or by keyword.
    kinds = {p.kind for p in list(signature.parameters.values())[1:]}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_class_signature_and_docs():
    assert str(inspect.signature(VectorStorage)) == "()"
    doc = VectorStorage.__doc__
    assert doc.endswith(
        "\n\nThis struct functions as a safe, concurrent architectural encapsulation wrapper managing an isolated\n"
        "memory partition segment layer. It supports lock-free multi-threaded query streams and sequential "
        "persistence pipelines."
    )
    assert "--" not in doc.split("\n")[0]
    assert VectorStorage.upsert.__doc__.startswith(
        "Universally inserts or updates a coordinate entity embedding paired with dynamic structured metadata "
        "payloads.\n\nThis atomic interface"
    )
    assert VectorStorage.search.__doc__.endswith(
        "Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric tokens."
    )
    assert VectorStorage.batch_search.__doc__.startswith(
        "Executes concurrent high-dimensional batch vector lookups across available hardware processing units."
    )
    assert "# Parameters\n* `path` - Target system path targeting the binary database record file to extract." in (
        VectorStorage.load.__doc__
    )
    assert VectorStorage.save.__doc__.endswith(
        "Throws an asynchronous `IOError` if system partitions block file descriptor allocation workflows."
    )


def test_readme_quickstart_prints_what_it_says():
    """The Quickstart block of README.md, run line by line: every call
    followed by a '# ...' comment returns exactly that."""
    readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
    text = readme.read_text()
    block = text.split("## Quickstart", 1)[1].split("```python", 1)[1].split("```", 1)[0]
    namespace = {}
    lines = block.strip().splitlines()
    checked = 0
    for line, following in zip(lines, lines[1:] + [""]):
        if not line.strip() or line.startswith("#"):
            continue
        if following.startswith("# "):
            assert repr(eval(line, namespace)) == following[2:], line
            checked += 1
        else:
            exec(line, namespace)
    assert checked == 2
