"""Benchmarks for karnoxel (run by hand, never in CI): see bench/README.md."""
