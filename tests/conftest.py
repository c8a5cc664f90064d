import pathlib
import sys

# The plain-Python renditions of the module's rules live in bench/, shared by
# the benchmarks and the property tests that use them as oracles.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))


import os
import subprocess

import quelm


def run_python(*args, cwd, **kwargs):
    """Runs a fresh interpreter on the quelm that this test session imported.

    It runs in `cwd` (a temporary directory), so what the command finds
    there is only what the test put there.
    """
    env = dict(os.environ)
    root = str(pathlib.Path(quelm.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, **kwargs)


# ---- The real tokenizer, offline (tests/offline_tiktoken.py) ----------------
# A session-wide autouse fixture (cl100k_base loads from a seeded cache and
# every download is refused) and `real_tiktoken`, which puts the package in
# place for one test.  The path entry makes the helper importable
# however pytest was started (from the checkout root or from tests/).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from offline_tiktoken import offline_tiktoken, real_tiktoken  # noqa: E402,F401
