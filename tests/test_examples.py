"""Every example runs, on small data, and shows what it says it shows."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import import_script

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def example(name):
    return import_script(EXAMPLES / f"{name}.py")


def test_quickstart_as_the_readme_runs_it():
    done = subprocess.run([sys.executable, "examples/quickstart.py"], cwd=EXAMPLES.parent,
                          capture_output=True, text=True, timeout=120, check=True)
    lines = dict(line.strip().split(": ", 1) for line in done.stdout.splitlines())
    assert set(lines) == {"cosine", "dot_product", "euclidean", "acme only", "batch 0", "batch 1", "replaced"}
    # acme's points are the ids divisible by 3; the query was drawn near globex (ids 1 mod 3).
    acme = [int(hit.split(":")[0]) for hit in lines["acme only"].split(", ")]
    assert len(acme) == 5 and all(pid % 3 == 0 for pid in acme)
    assert all(int(hit.split(":")[0]) % 3 == 1 for hit in lines["cosine"].split(", "))
    assert lines["replaced"].startswith("[(0, ")


@pytest.fixture(scope="module")
def data():
    with np.load(EXAMPLES / "data" / "debian-minilm-2k.npz") as npz:
        return {key: npz[key] for key in npz.files}


class TestEmbeddingData:
    def test_shapes_and_normalisation(self, data):
        assert data["corpus"].shape == (2000, 384) and data["queries"].shape == (200, 384)
        assert len(data["corpus_text"]) == 2000 and len(data["query_text"]) == 200
        norms = np.linalg.norm(data["corpus"].astype(np.float32), axis=1)
        assert np.allclose(norms, 1.0, atol=2e-3)

    def test_vectors_line_up_with_their_texts(self, data):
        # Real embeddings: a query's nearest description often shares a word
        # with it (130 of 200 when made); with the rows shuffled, about 10.
        def words(text):
            return set(re.findall(r"[a-z]{5,}", str(text).lower()))

        scores = data["queries"].astype(np.float32) @ data["corpus"].astype(np.float32).T
        nearest = np.argmax(scores, axis=1)
        shared = sum(bool(words(data["query_text"][i]) & words(data["corpus_text"][j])) for i, j in enumerate(nearest))
        assert shared >= 100


def test_embeddings_bulk(capsys):
    report = example("embeddings_bulk").main(["--threads", "3", "--limit", "10"])
    assert (report.points, report.queries, report.threads) == (2000, 200, 3)
    assert report.recall >= 0.93  # 0.979 when written
    assert min(report.upserts_per_second, report.single_queries_per_second, report.batch_queries_per_second) > 0
    assert "recall@10 against numpy brute force" in capsys.readouterr().out


def test_tenants():
    report = example("tenants").main(["--tenants", "60", "--points", "5000", "--requests", "600", "--threads", "3"])
    assert report.leaked_hits == 0
    assert report.recall >= 0.97
    assert report.moved
    assert report.int_tenant_hits == 0


def test_save_and_reload(tmp_path):
    report = example("save_and_reload").main(["--points", "3000", "--dir", str(tmp_path)])
    assert report.same_in_process and report.same_after_restart
    assert report.failed_load_kept_store
    assert report.checkpoints == 3
    # The last checkpoint also holds what the writer thread added.
    assert (tmp_path / "store.snap").stat().st_size >= report.snapshot_bytes > 3000 * 96 * 4
    assert [p.name for p in tmp_path.iterdir()] == ["store.snap"]  # no temporary files left


def test_every_example_is_tested():
    tested = {"quickstart", "embeddings_bulk", "tenants", "save_and_reload"}
    assert {p.stem for p in EXAMPLES.glob("*.py")} == tested
