"""The tests, importable from the repository root: their shared helpers are reached as tests.process.helperlib,
tests.linux.linuxcase and, with the benchmarks, the package testkit."""
