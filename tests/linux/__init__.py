"""Tests of the real program against private audio servers (testkit); linuxcase is what they share."""
