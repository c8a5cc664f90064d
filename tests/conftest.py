import functools
import gc
import http.server
import os
import pathlib
import subprocess
import sys
import threading
import tracemalloc
import types

import pytest
from hypothesis import settings

import quelm
from quelm import genai_pricing as gp


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


# ---------------------------------------------------------------------------
# Hypothesis profiles: a quick default for the developer's loop, and CI's
# fuller one (.ci/run sets HYPOTHESIS_PROFILE=ci).  support.examples() scales
# each property test's example count by the active profile.

settings.register_profile("ci", max_examples=100)
settings.register_profile("dev", max_examples=20)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


# ---------------------------------------------------------------------------
# Growth tests: memory blocks in use must not grow with the number of calls.

@pytest.fixture
def allocated_blocks():
    """Counts the memory blocks in use, after a full collection.

    The type attribute cache keeps a reference to each attribute name it
    was asked for, and a name made afresh at each call (as C code calling a
    method by a char* name makes it) lands in a new slot whenever its address
    differs: up to a few thousand such strings stay alive for a while, which
    says nothing about the module.  The cache is cleared before each count.

    sys.getallocatedblocks() counts only what the interpreter's small-object
    allocator hands out and reads 0 when PYTHONMALLOC=malloc routes objects
    elsewhere (as the sanitizer run does); tracemalloc, which wraps whichever
    allocator is in use, counts the blocks then.
    """
    tracing = sys.getallocatedblocks() == 0
    if tracing:
        tracemalloc.start()

    def count():
        sys._clear_type_cache()
        gc.collect()
        return len(tracemalloc.take_snapshot().traces) if tracing else sys.getallocatedblocks()

    yield count
    if tracing:
        tracemalloc.stop()


# ---------------------------------------------------------------------------
# A price list served on 127.0.0.1.

class PriceListHandler(http.server.BaseHTTPRequestHandler):
    seen = []

    def do_GET(self):  # noqa: N802
        PriceListHandler.seen.append((self.path, self.headers.get("User-Agent")))
        if self.path == "/missing.md":
            self.send_error(404, "Not Found")
            return
        body = b"model-x: prompt $1, completion $2\r\n| model-\xfe | $3 | - |\n"
        self.send_response(200)
        self.send_header("Content-Type", "text/markdown; charset=latin-1")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    """The server's base address; /missing.md answers 404, any other path
    the same two-line price list.  Shut down as soon as the test ends (the
    short poll interval keeps shutdown() from waiting half a second)."""
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PriceListHandler)
    thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.01},
                              daemon=True)
    thread.start()
    PriceListHandler.seen.clear()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()
    thread.join()


@pytest.fixture
def server_log(server):
    """(path, User-Agent) of each request the server has answered."""
    return PriceListHandler.seen


# ---------------------------------------------------------------------------
# Pricing tables served to estimate_costs.

@pytest.fixture
def use_table(monkeypatch):
    """Serves `table` to both the module and the plain-Python rendition."""
    from plain import ref_estimate

    def install(table):
        cached = functools.lru_cache(maxsize=8)(lambda path: table)
        monkeypatch.setattr(gp, "_parse_pricing", cached)
        monkeypatch.setattr(ref_estimate, "_parse_pricing", cached)
        return table

    return install


# ---------------------------------------------------------------------------
# The native module and its plain-Python rendition, side by side: a test of
# worked examples takes `impl` and runs once on each.

def _native():
    from pricing_files import parse_native
    from quelm import _shapes

    return types.SimpleNamespace(
        parse=parse_native, estimate_costs=gp.estimate_costs,
        extract_openai_usage=gp._extract_openai_usage,
        extract_gemini_usage=gp._extract_gemini_usage, read_response=_shapes.read)


def _plain():
    from plain import ref_estimate, ref_parser, ref_shapes, ref_usage

    return types.SimpleNamespace(
        parse=ref_parser.parse_text, estimate_costs=ref_estimate.estimate_costs,
        extract_openai_usage=ref_usage._extract_openai_usage,
        extract_gemini_usage=ref_usage._extract_gemini_usage, read_response=ref_shapes.read)


@pytest.fixture(params=[_native, _plain], ids=["native", "plain"])
def impl(request):
    """The native module's functions, or their plain-Python renditions, under
    the same names: parse (a document's text to its table), estimate_costs,
    extract_openai_usage, extract_gemini_usage and read_response (a response
    to its model, counts per class, tier, region and time)."""
    return request.param()


# ---- The real tokenizer, offline (tests/offline_tiktoken.py) ----------------
# A session-wide autouse fixture (cl100k_base loads from a seeded cache and
# every download is refused) and `real_tiktoken`, which puts the package in
# place for one test.  The path entry makes the helpers (this one, and the
# plain renditions in plain/) importable however pytest was started.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from offline_tiktoken import offline_tiktoken, real_tiktoken  # noqa: E402,F401
