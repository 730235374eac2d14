"""The tests, importable from the repository root: their shared helpers are reached as tests.process.helperlib,
tests.linux.servers and so on."""
