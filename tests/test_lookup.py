"""The package's lookup: a name's own entry, or its canonical form's, and
never another model's price."""

import pathlib
import re

import pytest

from quelm import _lookup, _pricelist

LIST = """\
## Cloud (exact names)

| Model | Prompt | Completion |
|---|---|---|
| us.anthropic.claude-sonnet-4-5-20250929-v1:0 | $3.30 | $16.50 |
| meta.llama3-3-70b-instruct-v1:0 | $0.72 | $0.72 |

## Makers

| Model | Prompt | Completion |
|---|---|---|
| gpt-4o-2024-05-13 | $5 | $15 |
| gpt-4o | $2.50 | $10 |
| gpt-4 | $30 | $60 |
| gpt-5.4-pro | $30 | $180 |
| gpt-5 | $1.25 | $10 |
| o1 | $15 | $60 |
| claude-sonnet-4-5 | $3 | $15 |
| mistral-large | $2 | $6 |
| command | $1 | $2 |
| gemini-pro-latest | $2 | $12 |
| twin-1-1 | $1 | $1 |
| twin-1.1 | $2 | $2 |
"""


@pytest.fixture(scope="module")
def prices(tmp_path_factory):
    path = tmp_path_factory.mktemp("lookup") / "prices.md"
    path.write_text(LIST, encoding="utf8")
    return _pricelist.read(str(path))


@pytest.mark.parametrize("name, entry", [
    ("GPT-4o", "gpt-4o"),
    ("openai/gpt-4o", "gpt-4o"),
    ("gpt-4o-2024-11-20", "gpt-4o"),           # a date of no entry of its own
    ("gpt-4o-2024-05-13", "gpt-4o-2024-05-13"),  # a dated entry of its own
    ("gpt-5-4-pro", "gpt-5.4-pro"),            # 4-5 and 4.5 are one spelling
    ("claude-sonnet-4-5@20250929", "claude-sonnet-4-5"),
    ("global.anthropic.claude-sonnet-4-5-20250929-v1:0", "claude-sonnet-4-5"),
    ("us.anthropic.claude-sonnet-4-5-20250929-v1:0", "us.anthropic.claude-sonnet-4-5-20250929-v1:0"),
    ("bedrock/meta.llama3-3-70b-instruct-v1:0", "meta.llama3-3-70b-instruct-v1:0"),
    # Never another model's price: no substring, no prefix, no guess.
    ("gpt-4.5-preview-2025-02-27", None),
    ("gpt-5-4", None),
    ("mistral-large-3", None),
    ("command-light", None),
    ("sao10k/l3.1-70b-euryale", None),
    ("gemini-pro", None),
    # A cloud's entry is no other seller's price for the same model.
    ("groq/llama3-3-70b-instruct", None),
    ("meta.llama3-3-70b-instruct", None),
    # Two spellings of one form at two prices: which was meant is not known.
    ("twin-1-1", "twin-1-1"), ("TWIN-1.1", "twin-1.1"), ("twin-1-1-2024-01-01", None),
    ("twin-1.1@2", None),
])
def test_lookup(prices, name, entry):
    found = _lookup.find(prices, name)
    assert (found and found.name) == entry
    assert _lookup.find(prices, name) is found  # the second time, from memory


@pytest.mark.parametrize("name, form", [
    ("openai/gpt-4o-2024-05-13", "gpt-4o-2024-05-13"),  # as listed, after the routing path
    ("gpt-4o-2024-11-20", "gpt-4o"),
    ("claude-sonnet-4-5@20250929", "claude-sonnet-4-5"),
])
def test_the_form_that_found_the_entry(tmp_path, name, form):
    path = tmp_path / "prices.md"
    path.write_text(LIST, encoding="utf8")
    assert _lookup.form_found(_pricelist.read(str(path)), name) == form


def test_readme_table_is_the_rules():
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text("utf8")
    section = readme.split("### How a name finds its entry\n", 1)[1].split("\n#", 1)[0]
    rows = re.findall(r"^\| `([^`]+)` \| `([^`]+)`(?: \(else `([^`]+)`\))? \|", section, re.M)
    assert rows, "the README's table of canonical forms"
    shown = [(asked, form + (f", else {bare}" if bare else "")) for asked, form, bare in rows]
    assert shown == _lookup.EXAMPLES
    for asked, form in _lookup.EXAMPLES:
        first, _, bare = form.partition(", else ")
        assert _lookup.canonical(asked) == first
        assert _lookup.undated(first) == (bare or None)
