"""The installed type information agrees with the extension module.

CI also runs mypy's stubtest and `mypy --strict` over tests/typing/usage.py
and examples/; these tests keep the parts stubtest does not look at (the
docstrings editors show, the second copy of the stub) honest on every
interpreter the suite runs on."""

import ast
import inspect
from pathlib import Path

import pytest
from conftest import import_script

import karnoxel

METHODS = ["upsert", "search", "batch_search", "save", "load"]
SITE = Path(karnoxel.__file__).parent
STUBS = {"beside the module": SITE / "karnoxel.pyi", "stub-only package": SITE / "karnoxel-stubs" / "__init__.pyi"}


def parse(path):
    if not path.exists():
        pytest.fail(f"the installed karnoxel has no {path.relative_to(SITE)}")
    return ast.parse(path.read_text(encoding="utf-8"))


def stub_class(tree):
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "VectorStorage"]
    return cls, {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


def test_both_stub_copies_are_identical_and_marked_typed():
    texts = {where: path.read_bytes() for where, path in STUBS.items() if path.exists()}
    assert len(texts) == 2, f"missing: {set(STUBS) - set(texts)}"
    assert len(set(texts.values())) == 1
    assert (SITE / "karnoxel-stubs" / "py.typed").exists()


@pytest.mark.parametrize("where", STUBS)
def test_stub_docstrings_are_the_module_docstrings(where):
    tree = parse(STUBS[where])
    assert ast.get_docstring(tree) == karnoxel.__doc__
    cls, functions = stub_class(tree)
    assert ast.get_docstring(cls) == karnoxel.VectorStorage.__doc__
    for name in METHODS:
        assert ast.get_docstring(functions[name]) == getattr(karnoxel.VectorStorage, name).__doc__, name


@pytest.mark.parametrize("where", STUBS)
def test_stub_declares_exactly_the_runtime_surface(where):
    tree = parse(STUBS[where])
    cls, functions = stub_class(tree)
    public = {name for name in functions if not name.startswith("_")}
    assert public == {name for name in dir(karnoxel.VectorStorage) if not name.startswith("_")}
    for name in METHODS:
        arguments = functions[name].args
        stub_params = [a.arg for a in arguments.posonlyargs + arguments.args]
        stub_defaults = [ast.literal_eval(d) for d in arguments.defaults]
        runtime = inspect.signature(getattr(karnoxel.VectorStorage, name)).parameters.values()
        assert stub_params == [p.name for p in runtime], name
        assert stub_defaults == [p.default for p in runtime if p.default is not p.empty], name
    # __all__ is spelled out in the stub too.
    (all_assignment,) = [n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_assignment.value) == karnoxel.__all__


def test_typed_usage_file_runs():
    # What the stubs admit is accepted at run time, and what they refuse raises.
    import_script(Path(__file__).parent / "typing" / "usage.py").main()
