"""Plan which models fit on a GPU card and track them while they are served.

`plan` and `Fleet` come from the native extension `_marlix`; the JSON documents they return
as text are typed here (`PlanDocument`, `RouteDocument`), `place` places a roster across
several cards with `plan`'s admission, `parse_size` reads card sizes such as "24GiB", and
`estimate` reads a model's weights and KV-cache bytes from its GGUF file or its folder.
`python -m marlix` (or the `marlix` command) drives them from a shell.
"""

from _marlix import Fleet, __version__, plan

from marlix.documents import (
    FailedRoute,
    LostReason,
    LostRoute,
    NotAdmittedRoute,
    NotDeclaredRoute,
    PlacementDocument,
    PlanDocument,
    ReadyRoute,
    RejectedEntry,
    RouteDocument,
    UnknownRoute,
    UnplacedEntry,
    WarmingRoute,
)
from marlix.files import Estimate, EstimateError, estimate
from marlix.placement import CardPlacement, Placement, place
from marlix.sizes import parse_size

__all__ = [
    "CardPlacement",
    "Estimate",
    "EstimateError",
    "Fleet",
    "FailedRoute",
    "LostReason",
    "LostRoute",
    "NotAdmittedRoute",
    "NotDeclaredRoute",
    "Placement",
    "PlacementDocument",
    "PlanDocument",
    "ReadyRoute",
    "RejectedEntry",
    "RouteDocument",
    "UnknownRoute",
    "UnplacedEntry",
    "WarmingRoute",
    "__version__",
    "estimate",
    "parse_size",
    "place",
    "plan",
]
