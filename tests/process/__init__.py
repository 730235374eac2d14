"""Process-level tests of the helper; helperlib is what they share."""
