"""Tests of lbas2wav; lbas_testlib is what they share."""
