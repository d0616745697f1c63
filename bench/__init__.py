"""Benchmarks: `python -m bench` from the repository root runs them all."""
