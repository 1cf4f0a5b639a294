"""Writes the fuzzer's seed corpus: small valid images of the shapes a
store produces (empty, payload variants, a graph with upper layers, mixed
vector lengths). Run after changing the format: python fuzz/make_corpus.py"""

import pathlib
import random

import karnoxel

HERE = pathlib.Path(__file__).parent / "corpus"


def main():
    HERE.mkdir(exist_ok=True)
    random.seed(5)
    stores = {"empty": karnoxel.VectorStorage()}
    s = karnoxel.VectorStorage()
    s.upsert(7, [1.0, -2.5], {"tenant_id": "acme", "n": -3, "f": 0.25, "long": "x" * 70})
    stores["one_point"] = s
    s = karnoxel.VectorStorage()
    for i in range(40):
        s.upsert(i * 37, [random.gauss(0, 1) for _ in range(4)], {"tenant_id": "ab"[i % 2]} if i % 3 else None)
    s.upsert(10**12, [1.0, 2.0, 3.0], {})
    s.upsert(2**64 - 1, [], None)
    stores["graph"] = s
    for name, store in stores.items():
        store.save(str(HERE / f"{name}.snap"))


if __name__ == "__main__":
    main()
