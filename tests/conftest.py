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
