"""Development tools shared by the tests, the demo and the benchmarks."""
