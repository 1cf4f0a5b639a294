"""What the installed distribution carries: the licence, and metadata that
agrees with the interpreter running the suite."""

import sys
from importlib.metadata import distribution
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_licence_file_is_installed_and_is_the_repository_one():
    dist = distribution("karnoxel")
    files = [f for f in dist.files or [] if f.name == "LICENSE" and ".dist-info" in str(f)]
    assert len(files) == 1, dist.files
    installed = files[0].read_text(encoding="utf-8")
    assert installed.lstrip().startswith("Apache License\n                           Version 2.0, January 2004")
    # The source tree (a checkout or an unpacked sdist) holds the same file.
    assert (ROOT / "LICENSE").read_text(encoding="utf-8") == installed


def test_metadata_declares_the_licence_and_this_python():
    meta = distribution("karnoxel").metadata
    classifiers = set(meta.get_all("Classifier"))
    assert meta["License"] == "Apache-2.0"
    assert "License :: OSI Approved :: Apache Software License" in classifiers
    assert "Typing :: Typed" in classifiers
    assert f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}" in classifiers
