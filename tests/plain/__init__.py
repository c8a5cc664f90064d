"""The plain-Python renditions of the native code: the same rules, written
the way one writes them by hand.  The tests take them as oracles (and run
the worked examples on both, see conftest's `impl`), the benchmarks as the
native code's peers, the fuzz targets as models."""
