"""Benchmarks, run as modules from the repository root (python3 -m bench.run)."""
