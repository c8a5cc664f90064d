from typing import Any, Callable, Optional, Tuple, Union

# (model, counts by class, tier, region, created), or the reason a response
# cannot be billed.
Read = Tuple[Optional[str], Tuple[int, ...], Optional[str], Optional[str], Optional[float]]

CLASSES: Tuple[str, ...]
REASONS: Tuple[str, ...]
RESPONSE_FIELDS: Tuple[str, ...]
NESTED_FIELDS: Tuple[str, ...]

def read(response: Any, /) -> Union[Read, str]: ...
def dollars(counts: Tuple[int, ...], rates: Tuple[Optional[float], ...], /) -> float: ...
def add(totals: list, counts: Tuple[int, ...], /) -> None: ...
def tally(lines: list, decode: Callable[[bytes], Any], model: Optional[str], thresholds: dict,
          groups: dict, skipped: dict, other: Callable[[int, Any, Any], None], /) -> None: ...
