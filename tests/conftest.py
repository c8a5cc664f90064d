import pathlib
import sys

# The plain-Python renditions of the module's rules live in bench/, shared by
# the benchmarks and the property tests that use them as oracles.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
