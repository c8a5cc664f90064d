"""Reading pricing sources (web and file), the failure warning and the LRU cache."""

import builtins
import logging
import re
import socket
import urllib.request

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quelm import genai_pricing as gp
from support import examples

plain_parse = gp._parse_pricing.__wrapped__
DOC = "model-x: prompt $1, completion $2\n"
TABLE = {"model-x": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}}


@pytest.fixture(autouse=True)
def fresh_cache():
    gp.clear_pricing_cache()
    yield
    gp.clear_pricing_cache()


class FakeResponse:
    def __init__(self, body, log):
        self.body, self.log = body, log

    def __enter__(self):
        self.log.append("enter")
        return self

    def __exit__(self, *exc):
        self.log.append(("exit", exc[0]))
        return False

    def read(self):
        if isinstance(self.body, BaseException):
            raise self.body
        return self.body


@pytest.fixture
def opened(monkeypatch):
    """Intercepts urlopen; records (url, headers, timeout) and the with-protocol."""
    record = {"calls": [], "log": [], "body": DOC.encode()}

    def fake_urlopen(request, timeout=None):
        record["calls"].append((request.full_url, dict(request.header_items()), timeout, request.get_method()))
        return FakeResponse(record["body"], record["log"])

    monkeypatch.setattr(urllib.request, "urlopen", fake_urlopen)
    return record


RAW = "https://raw.githubusercontent.com/"


@pytest.mark.parametrize(
    "source, fetched",
    [
        ("https://github.com/own/repo/blob/main/pricing_table.md", RAW + "own/repo/main/pricing_table.md"),
        ("HTTP://GitHub.COM/Own/Repo/BLOB/Main/Dir/P.md", RAW + "Own/Repo/Main/Dir/P.md"),
        ("http://github.com/o/r/blob/b/f.md", RAW + "o/r/b/f.md"),
        ("https://github.com/o/r/blob/feature/x/f.md?raw=1#top", RAW + "o/r/feature/x/f.md?raw=1#top"),
        ("https://github.com/o/r/blob/b/f.md\n", RAW + "o/r/b/f.md"),
        # re.IGNORECASE treats DOTLESS I as i and LONG S as s.
        ("httpſ://gıthub.com/o/r/blob/b/f.md", RAW + "o/r/b/f.md"),
        # Not blob pages: fetched unchanged.
        ("https://github.com/o/r/tree/main/f.md", "https://github.com/o/r/tree/main/f.md"),
        ("https://www.github.com/o/r/blob/b/f.md", "https://www.github.com/o/r/blob/b/f.md"),
        ("https://example.org/prices.md", "https://example.org/prices.md"),
        ("https://github.com/o/r/blob/b/f.md\nx", "https://github.com/o/r/blob/b/f.md\nx"),
        ("https://github.com//r/blob/b/f.md", "https://github.com//r/blob/b/f.md"),
    ],
)
def test_web_addresses_and_blob_rewrite(opened, source, fetched):
    assert plain_parse(source) == TABLE
    [(url, headers, timeout, method)] = opened["calls"]
    assert url == fetched
    assert headers == {"User-agent": "quelm/1.0"}
    assert timeout == 10 and method == "GET"
    assert opened["log"] == ["enter", ("exit", None)]


def test_response_closed_when_read_fails(opened, caplog):
    opened["body"] = OSError("connection reset")
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert plain_parse("https://example.org/p.md") == {}
    assert opened["log"] == ["enter", ("exit", OSError)]
    assert caplog.messages == ["Failed to load pricing from https://example.org/p.md: connection reset"]


class Refuse(logging.Filter):
    def filter(self, record):
        raise RuntimeError("handler down")


class ExitFails(FakeResponse):
    def __exit__(self, *exc):
        raise RuntimeError("exit failed")


def test_logging_failure_chains_the_read_error(opened, monkeypatch):
    """As in an except block of Python code: the read error is the context."""
    opened["body"] = OSError("connection reset")
    monkeypatch.setattr(logging.getLogger("quelm.genai_pricing"), "filters", [Refuse()])
    with pytest.raises(RuntimeError, match="handler down") as caught:
        plain_parse("https://example.org/p.md")
    assert repr(caught.value.__context__) == "OSError('connection reset')"


class RefuseWhileHandling(logging.Filter):
    def filter(self, record):
        try:
            raise KeyError("no handler")
        except KeyError:
            raise RuntimeError("handler down")


def test_logging_failure_keeps_its_own_chain_before_the_read_error(opened, monkeypatch):
    opened["body"] = OSError("connection reset")
    monkeypatch.setattr(logging.getLogger("quelm.genai_pricing"), "filters",
                        [RefuseWhileHandling()])
    with pytest.raises(RuntimeError, match="handler down") as caught:
        plain_parse("https://example.org/p.md")
    handled = caught.value.__context__
    assert repr(handled) == "KeyError('no handler')"
    assert repr(handled.__context__) == "OSError('connection reset')"


def test_failing_exit_chains_the_read_error(opened, monkeypatch, caplog):
    monkeypatch.setattr(urllib.request, "urlopen",
                        lambda request, timeout=None: ExitFails(OSError("connection reset"), []))
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert plain_parse("https://example.org/p.md") == {}
    [record] = caplog.records
    error = record.args[1]
    assert repr(error) == "RuntimeError('exit failed')"
    assert repr(error.__context__) == "OSError('connection reset')"


def test_fetched_body_decoded_with_replacement(opened):
    # U+FFFD is no model-name character of the free-text rule: a table
    # cell keeps it in the name.
    opened["body"] = b"\xef\xbb\xbf| mod\xffel | $1 | $2 |\r\n"
    assert plain_parse("https://example.org/p.md") == {
        "mod\ufffdel": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}
    }


@pytest.mark.parametrize(
    "source",
    [" https://example.org/p.md", "file:///etc/hosts", "ftp://example.org/p.md", "", "https:/x"],
)
def test_other_names_are_local_paths(opened, source, caplog):
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert plain_parse(source) == {}
    assert opened["calls"] == []
    assert caplog.messages[0].startswith(f"Failed to load pricing from {source}: ")


@pytest.mark.parametrize(
    "content, expected",
    [
        (DOC.encode(), TABLE),
        (b"\xef\xbb\xbf" + DOC.encode(), TABLE),  # a byte-order mark does not eat the first line
        (DOC.replace("\n", "\r\n").encode(), TABLE),
        (b"| Model | Prompt | Completion |\r| m | 1 | 2 |\r", {"m": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}}),
    ],
)
def test_local_files(tmp_path, content, expected):
    path = tmp_path / "prices.md"
    path.write_bytes(content)
    assert plain_parse(str(path)) == expected


def test_only_one_byte_order_mark_is_dropped(tmp_path):
    path = tmp_path / "prices.md"
    path.write_bytes(("\ufeff\ufeff" + DOC).encode())
    # The second mark stays part of the line; no model name starts with it.
    assert plain_parse(str(path)) == {}


@pytest.mark.parametrize("kind", ["invalid-utf8", "directory", "missing"])
def test_unreadable_local_sources_warn_and_give_empty_table(tmp_path, caplog, kind):
    path = tmp_path / "prices.md"
    if kind == "invalid-utf8":
        path.write_bytes(b"model-x: prompt $1\xff\n")
        error = "'utf-8' codec can't decode byte 0xff"
    elif kind == "directory":
        path.mkdir()
        error = "[Errno 21] Is a directory"
    else:
        error = "[Errno 2] No such file or directory"
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert plain_parse(str(path)) == {}
    [record] = caplog.records
    assert record.levelno == logging.WARNING and record.name == "quelm.genai_pricing"
    assert record.msg == "Failed to load pricing from %s: %s"
    assert record.args[0] == str(path)
    assert error in record.getMessage()


def test_warning_goes_through_logger_named_after_module(monkeypatch, caplog):
    # The module's own `logger` attribute is not used for this warning; the
    # logger is looked up by __name__ at the time of the failure.
    monkeypatch.setattr(gp, "logger", None)
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        plain_parse("/nonexistent/quelm/prices.md")
    assert len(caplog.records) == 1


def test_interrupt_passes_through_the_guard(monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(urllib.request, "urlopen", interrupted)
    with pytest.raises(KeyboardInterrupt):
        gp._parse_pricing("https://example.org/p.md")
    assert gp._parse_pricing.cache_info().currsize == 0


def test_cache_identity_eviction_and_clear(tmp_path):
    paths = []
    for i in range(9):
        p = tmp_path / f"p{i}.md"
        p.write_text(f"m{i}: prompt ${i}, completion $1\n", encoding="utf8")
        paths.append(str(p))
    first = gp._parse_pricing(paths[0])
    assert gp._parse_pricing(paths[0]) is first
    for p in paths[1:]:
        gp._parse_pricing(p)
    info = gp._parse_pricing.cache_info()
    assert info.currsize == 8
    # The ninth path evicted the first: using it again loads it again.
    again = gp._parse_pricing(paths[0])
    assert again == first and again is not first
    gp.clear_pricing_cache()
    assert gp._parse_pricing.cache_info().currsize == 0


def test_failed_load_is_cached_until_cleared(tmp_path, caplog):
    path = tmp_path / "late.md"
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        empty = gp._parse_pricing(str(path))
        path.write_text(DOC, encoding="utf8")
        assert gp._parse_pricing(str(path)) is empty == {}
    assert len(caplog.records) == 1
    gp.clear_pricing_cache()
    assert gp._parse_pricing(str(path)) == TABLE


def test_real_http_fetch(server, server_log):
    table = gp._parse_pricing(server + "/prices.md")
    assert table == {
        "model-x": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0},
        "model-\ufffd": {"prompt_per_1M": 3.0, "completion_per_1M": None},
    }
    assert server_log == [("/prices.md", "quelm/1.0")]
    assert gp._parse_pricing(server + "/prices.md") is table
    assert len(server_log) == 1


def test_http_error_status_warns_and_caches_empty_table(server, server_log, caplog):
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert gp._parse_pricing(server + "/missing.md") == {}
        assert gp._parse_pricing(server + "/missing.md") == {}
    assert len(server_log) == 1
    assert caplog.messages == [f"Failed to load pricing from {server}/missing.md: HTTP Error 404: Not Found"]


def test_refused_connection_warns(caplog):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert gp._parse_pricing(f"http://127.0.0.1:{port}/p.md") == {}
    assert "Connection refused" in caplog.messages[0]


WEB = re.compile(r"^https?://", re.I)
BLOB = re.compile(r"^https?://github\.com/([^/]+)/([^/]+)/blob/([^/]+)/(.*)$", re.I)
PIECES = st.sampled_from(
    ["http", "https", "HTTPS", "httpſ", "://", "github.com", "GİTHUB.com", "gıthub.com", "github.com.evil",
     "/", "blob", "BLOB", "blob/", "o", "r", "main", "a/b", "\n", "\r", "?q=1", "x", "", ":", "."]
)


@examples(300)
@given(st.lists(PIECES, max_size=12).map("".join))
def test_address_handling_agrees_with_re(monkeypatch_source, source):
    requested, opened_files = monkeypatch_source
    requested.clear()
    opened_files.clear()
    plain_parse(source)
    if WEB.match(source):
        m = BLOB.match(source)
        expected = "https://raw.githubusercontent.com/" + "/".join(m.groups()) if m else source
        # urllib's Request strips surrounding whitespace from the address.
        assert requested == [expected.strip()] and opened_files == []
    else:
        assert requested == [] and opened_files == [source]


@pytest.fixture
def monkeypatch_source(monkeypatch):
    requested, opened_files = [], []

    def fake_urlopen(request, timeout=None):
        requested.append(request.full_url)
        raise OSError("offline")

    def fake_open(path, *args, **kwargs):
        opened_files.append(path)
        raise OSError("no files here")

    monkeypatch.setattr(urllib.request, "urlopen", fake_urlopen)
    monkeypatch.setattr(builtins, "open", fake_open)
    monkeypatch.setattr(logging.getLogger("quelm.genai_pricing"), "disabled", True)
    return requested, opened_files


@pytest.mark.parametrize(
    "response, message",
    [
        (object(), "'object' object does not support the context manager protocol"),
        (type("OnlyEnter", (), {"__enter__": lambda self: self})(),
         "'OnlyEnter' object does not support the context manager protocol (missed __exit__ method)"),
    ],
)
def test_response_that_is_no_context_manager(monkeypatch, caplog, response, message):
    monkeypatch.setattr(urllib.request, "urlopen", lambda request, timeout=None: response)
    with caplog.at_level(logging.WARNING, logger="quelm.genai_pricing"):
        assert plain_parse("https://example.org/p.md") == {}
    assert caplog.messages == [f"Failed to load pricing from https://example.org/p.md: {message}"]


def test_exit_that_suppresses_the_error_ends_the_block_without_text(monkeypatch):
    class Swallowing(FakeResponse):
        def __exit__(self, *exc):
            return True

    monkeypatch.setattr(urllib.request, "urlopen",
                        lambda request, timeout=None: Swallowing(OSError("reset"), []))
    # As in Python, the with block then ends without returning text, and the
    # parse of that missing text fails outside the guarded read.
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'splitlines'"):
        plain_parse("https://example.org/p.md")
