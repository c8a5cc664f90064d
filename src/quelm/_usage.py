"""One call's usage as `quelm.cost` and `bill` read it: the tokens of each
class, the service tier, where and when it ran.

The makers' response shapes (their field names, which count lies inside
which, how a response says its tier) are read natively, by
`quelm._shapes` (`src/quelm/native/shapes/shapes.cpp`, the one place that
knows them).
"""

from __future__ import annotations

from typing import NamedTuple, Optional

from quelm import _shapes

CLASSES: tuple[str, ...] = _shapes.CLASSES
# The classes of input tokens, which come first: the prompt size is their sum.
INPUT = range(CLASSES.index("completion"))

NO_MODEL = "no model"
FAILED, NO_USAGE, BAD_USAGE = _shapes.REASONS
# Why a response cannot be billed, said in full.
REASONS = {
    NO_MODEL: "the response names no model",
    FAILED: "the call failed: an error, a failed batch request, or a status other than success",
    NO_USAGE: "the response reports no token counts",
    BAD_USAGE: "a token count that is no whole number from 0 to 2**63, or smaller than the "
               "counts reported inside it",
}


class Unbillable(ValueError):
    """A response that cannot be billed; `reason` is one of the keys of
    REASONS ("no model", "error status", "no usage", "bad usage")."""

    def __init__(self, reason: str) -> None:
        super().__init__(f"{reason}: {REASONS.get(reason, reason)}")
        self.reason = reason


class Usage(NamedTuple):
    """One call: its model (None when the response names none), the tokens
    of each class of CLASSES in that order, the service tier it was billed
    in ("batch", "flex", "priority", "fast", "ultrafast"; None for the
    standard one), the region it was kept to ("us"; None for none) and when
    it was made (seconds since the epoch; None when the response does not
    say)."""

    model: Optional[str]
    counts: tuple[int, ...]
    tier: Optional[str] = None
    region: Optional[str] = None
    created: Optional[float] = None

    @property
    def prompt_size(self) -> int:
        """The call's input tokens, cached and written ones included: the
        size by which a long-context price is chosen (the makers count the
        whole prompt)."""
        return sum(self.counts[:len(INPUT)])

