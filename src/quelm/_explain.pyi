from types import ModuleType
from typing import Any, Dict, List, Literal, Optional, Tuple, TypedDict

PricingTable = Dict[str, Dict[str, Optional[float]]]
UnitTag = Optional[Literal["1k", "1m"]]

class HeaderUnits(TypedDict):
    prompt: UnitTag
    completion: UnitTag

class CellReport(TypedDict):
    text: str
    unit: UnitTag
    marker: UnitTag
    value: Optional[float]
    number: Optional[Tuple[int, int]]

class PriceFound(TypedDict):
    label: Tuple[int, int]
    text: Tuple[int, int]
    number: Tuple[int, int]
    marker: UnitTag

class LineReport(TypedDict):
    line: int
    text: str
    kind: Literal["blank", "comment", "separator", "header", "table row", "free text"]
    outcome: Literal["skipped", "units set", "stored", "no price", "no match"]
    name: Optional[str]
    prompt_per_1M: Optional[float]
    completion_per_1M: Optional[float]
    replaced: bool
    few_cells: bool
    units: HeaderUnits
    cells: List[CellReport]
    rest: Optional[Tuple[int, int]]
    prices: Dict[str, Optional[PriceFound]]

def explain(module: ModuleType, path: str, /) -> Tuple[PricingTable, List[LineReport]]: ...
def load(module: ModuleType, path: str, /) -> PricingTable: ...
def match_model(table: Any, key: Any, /) -> Optional[Tuple[Any, Any, bool]]: ...
def first_contained(names: List[str], /) -> List[Optional[int]]: ...
