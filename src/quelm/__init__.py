"""quelm: what did that model call cost?

`quelm.cost(response)` prices one call, every token class its maker bills
(cached and written prompt tokens, thinking, audio, long-context and batch
prices), from the price list shipped with the package or one you name.  The
native module is :mod:`quelm.genai_pricing`; importing this package loads
neither it nor anything else until a function is used.  ``BUNDLED_PRICING``
is the path of the price list shipped with the package, ready for
``genai_pricing.PRICING_URL = quelm.BUNDLED_PRICING``.
"""

from __future__ import annotations

import os as _os
from typing import TYPE_CHECKING, Any

BUNDLED_PRICING: str = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "pricing_table.md")

if TYPE_CHECKING:
    from quelm._cost import Cost, Line, UnknownModel, cost
    from quelm._pricelist import Entry, PriceList
    from quelm._pricelist import read as read_prices
    from quelm._usage import Unbillable

# Public name -> (module, attribute), imported on first use.
_LAZY = {
    "cost": ("quelm._cost", "cost"),
    "Cost": ("quelm._cost", "Cost"),
    "Line": ("quelm._cost", "Line"),
    "UnknownModel": ("quelm._cost", "UnknownModel"),
    "Unbillable": ("quelm._usage", "Unbillable"),
    "PriceList": ("quelm._pricelist", "PriceList"),
    "Entry": ("quelm._pricelist", "Entry"),
    "read_prices": ("quelm._pricelist", "read"),
}

__all__ = ["BUNDLED_PRICING", *_LAZY]


def __getattr__(name: str) -> Any:
    try:
        module, attribute = _LAZY[name]
    except KeyError:
        raise AttributeError(f"module 'quelm' has no attribute {name!r}") from None
    import importlib

    value = getattr(importlib.import_module(module), attribute)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
