"""Tests of the packages as a user gets them; pkglib is what they share."""
