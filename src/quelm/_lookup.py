"""Which entry of a price list prices a model name: the one lookup of
`quelm.cost`, `bill`, `estimate` and the advice `check` gives.

A name is looked up by itself (lower-cased, as the parser stores names;
after a routing path, as listed), then by its canonical form, compared
exactly with the canonical forms of the list's names.  The entries under a
heading marked "(exact names)" (a cloud's ids, at the cloud's prices) are
found by their names only: another seller's spelling of the model must not
take their price.  Nothing else: a name that matches no way has no entry,
and no other model's price is ever taken for it.  (The module's own
`estimate_costs` keeps its rule, the first name that contains the request or
that it contains; `estimate` says when the two differ.)

The canonical form is the name lower-cased, without

- a routing path: everything up to the last "/" (``openai/gpt-4o``,
  ``accounts/fireworks/models/llama-v3p1-8b-instruct``);
- a cloud's prefixes: Bedrock's region (``us.``, ``eu.``, ``apac.``,
  ``global.``, ...) and then its vendor (``anthropic.``, ``meta.``, ...);
- a cloud's version suffix: Vertex AI's ``@version``, Bedrock's ``-v1:0``;

with a version's point written as a hyphen (``4.5`` and ``4-5`` are one
spelling), and, only when that form with its date names no entry, without a
date stamp at the end (``-20250929``, ``-2024-08-06``).  EXAMPLES shows each
rule; the README's table is this one.
"""

from __future__ import annotations

import difflib
import re
from typing import Iterable, Optional

from quelm._pricelist import Entry, PriceList

# Bedrock's cross-region inference prefixes, and the vendors of its ids.
REGIONS = frozenset({"us", "eu", "apac", "global", "jp", "au", "ca", "us-gov", "in", "sa",
                     "me", "af", "mx", "uk", "il", "regional"})
VENDORS = frozenset({"anthropic", "meta", "amazon", "mistral", "cohere", "ai21", "deepseek",
                     "openai", "qwen", "writer", "google", "moonshotai", "moonshot", "zai",
                     "nvidia", "minimax", "twelvelabs", "stability", "luma", "xai"})
_CLOUD_SUFFIX = re.compile(r"-v\d+:\d+$")
_VERSION_POINT = re.compile(r"(?<=\d)\.(?=\d)")
_DATE = re.compile(r"-(?:\d{8}|\d{4}-\d{2}-\d{2})$")

# (name asked, the form compared): each rule at work.
EXAMPLES = [
    ("GPT-4o", "gpt-4o"),
    ("openai/gpt-4o-mini", "gpt-4o-mini"),
    ("accounts/fireworks/models/deepseek-v3", "deepseek-v3"),
    ("us.anthropic.claude-sonnet-4-5-20250929-v1:0",
     "claude-sonnet-4-5-20250929, else claude-sonnet-4-5"),
    ("global.anthropic.claude-haiku-4-5", "claude-haiku-4-5"),
    ("meta.llama3-3-70b-instruct-v1:0", "llama3-3-70b-instruct"),
    ("claude-sonnet-4-5@20250929", "claude-sonnet-4-5"),
    ("gpt-5.4-pro", "gpt-5-4-pro"),
    ("gpt-5-4-pro", "gpt-5-4-pro"),
    ("claude-opus-4-1-20250805", "claude-opus-4-1-20250805, else claude-opus-4-1"),
    ("gpt-4o-2024-11-20", "gpt-4o-2024-11-20, else gpt-4o"),
]


def canonical(name: str) -> str:
    """`name` in the canonical form, its date stamp kept."""
    form = name.strip().lower().rsplit("/", 1)[-1].split("@", 1)[0]
    head, dot, rest = form.partition(".")
    if dot and rest and head in REGIONS:
        form = rest
        head, dot, rest = form.partition(".")
    if dot and rest and head in VENDORS:
        form = rest
    form = _CLOUD_SUFFIX.sub("", form)
    return _VERSION_POINT.sub("-", form)


def undated(form: str) -> Optional[str]:
    """A canonical form without its date stamp; None when it has none."""
    bare = _DATE.sub("", form)
    return bare if bare != form else None


def _index(prices: PriceList) -> dict[str, Optional[Entry]]:
    """The list's names by canonical form.  Two names of one form with
    other prices make that form name nothing: which one was meant is not
    known."""
    index: dict[str, Optional[Entry]] = {}
    for name, entry in prices.entries.items():
        if entry.exact_only:
            continue
        form = canonical(name)
        if form in index:
            other = index[form]
            if other is None or other.prices != entry.prices:
                index[form] = None
        else:
            index[form] = entry
    return index


def _as_listed(model: str) -> tuple[str, ...]:
    """The names `model` is looked up by as listed: itself, lower-cased
    (as the parser stores names), then after its routing path."""
    name = model.lower()
    return (name, name.rsplit("/", 1)[-1]) if "/" in name else (name,)


def _index_of(prices: PriceList) -> dict[str, Optional[Entry]]:
    index = prices.index
    if index is None:
        index = prices.index = _index(prices)
    return index


def find(prices: PriceList, model: str) -> Optional[Entry]:
    """The entry that prices `model`, or None."""
    found = prices.found
    try:
        return found[model]
    except KeyError:
        pass
    entry = None
    for name in _as_listed(model):
        entry = prices.entries.get(name)
        if entry is not None:
            break
    else:
        index = _index_of(prices)
        form = canonical(model)
        entry = index.get(form)
        if entry is None and form not in index:
            bare = undated(form)
            if bare is not None:
                entry = index.get(bare)
    if len(found) < 100_000:  # names seen; bounded, as a run may name millions
        found[model] = entry
    return entry


def closest(names: Iterable[str], model: str) -> list[str]:
    """Up to five of `names` closest to `model`, for a message."""
    return difflib.get_close_matches(canonical(model), list(names), n=5, cutoff=0.5)


def form_found(prices: PriceList, model: str) -> str:
    """The form of `model` that `find` found its entry by: a name as
    listed, the canonical form, or that form without its date."""
    for name in _as_listed(model):
        if name in prices.entries:
            return name
    form = canonical(model)
    if _index_of(prices).get(form) is None:
        return undated(form) or form
    return form


def described(model: str, entry: Optional[Entry]) -> Optional[dict]:
    """The entry that prices `model` as the commands report it: its name and
    how it was found ("exact": the name itself, or "canonical"); None for
    none."""
    if entry is None:
        return None
    return {"name": entry.name, "match": "exact" if entry.name == model.lower() else "canonical"}
