"""Tests of the real program against private audio servers; audiolib, linuxcase and servers are shared."""
