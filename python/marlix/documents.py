"""Types of the JSON documents that `plan` and `Fleet.route` return, and of the placement of
a roster across several cards.

The module returns them as compact JSON text; these types describe what `json.loads` gives
back, for example ``doc: RouteDocument = json.loads(fleet.route(name, now))``. Every route
document carries "route", so checking ``doc["route"] == "ready"`` narrows the union.
"""

from __future__ import annotations

from typing import Literal, TypedDict, Union


class RejectedEntry(TypedDict):
    """A model that did not fit when its turn came."""

    free_bytes: int
    model: str
    needed_bytes: int
    short_bytes: int


class PlanDocument(TypedDict):
    """What `plan` answers: the verdict for the whole roster."""

    admitted: list[str]
    committed_bytes: int
    declared: int
    explain: str
    fits: bool
    headroom_bytes: int
    rejected: list[RejectedEntry]
    usable_bytes: int


class UnplacedEntry(TypedDict):
    """A model that no card admitted, with its shortfall on the last card."""

    model: str
    needed_bytes: int
    short_bytes: int


class PlacementDocument(TypedDict):
    """What `marlix plan --json` prints for several cards: each card's plan document, in card
    order, and the models that no card admitted, in roster order."""

    cards: list[PlanDocument]
    unplaced: list[UnplacedEntry]


LostReason = Literal["evicted", "gpu_detached", "process_exited", "unhealthy"]


class ReadyRoute(TypedDict):
    endpoint: str
    model: str
    operator_fault: Literal[False]
    ready: Literal[True]
    route: Literal["ready"]
    try_elsewhere: Literal[False]


class WarmingRoute(TypedDict):
    for_ms: int
    model: str
    operator_fault: Literal[False]
    ready: Literal[False]
    route: Literal["warming"]
    try_elsewhere: Literal[False]


class LostRoute(TypedDict):
    model: str
    operator_fault: bool
    ready: Literal[False]
    reason: LostReason
    route: Literal["lost"]
    try_elsewhere: Literal[True]


class FailedRoute(TypedDict):
    model: str
    operator_fault: Literal[True]
    ready: Literal[False]
    reason: str
    route: Literal["failed"]
    try_elsewhere: Literal[True]


class NotAdmittedRoute(TypedDict):
    model: str
    operator_fault: Literal[False]
    ready: Literal[False]
    route: Literal["not_admitted"]
    short_bytes: int
    try_elsewhere: Literal[True]


class NotDeclaredRoute(TypedDict):
    model: str
    operator_fault: Literal[False]
    ready: Literal[False]
    route: Literal["not_declared"]
    try_elsewhere: Literal[True]


class UnknownRoute(TypedDict):
    model: str
    operator_fault: Literal[False]
    ready: Literal[False]
    route: Literal["unknown"]
    try_elsewhere: Literal[True]


RouteDocument = Union[
    ReadyRoute,
    WarmingRoute,
    LostRoute,
    FailedRoute,
    NotAdmittedRoute,
    NotDeclaredRoute,
    UnknownRoute,
]
