"""What the tests, the benchmarks and the demo share: private PipeWire and PulseAudio servers (servers) and
test audio, players and sink monitors (audio). Imported from the repository root."""
