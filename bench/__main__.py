"""`python -m bench`: the benchmark runner (see bench/run.py)."""

from bench.run import main

main()
