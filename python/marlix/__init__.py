"""Plan which models fit on one GPU card and track them while they are served.

`plan` and `Fleet` come from the native extension `_marlix`; the JSON documents they return
as text are typed here (`PlanDocument`, `RouteDocument`), and `parse_size` reads card sizes
such as "24GiB". `python -m marlix` (or the `marlix` command) drives them from a shell.
"""

from _marlix import Fleet, __version__, plan

from marlix.documents import (
    FailedRoute,
    LostReason,
    LostRoute,
    NotAdmittedRoute,
    NotDeclaredRoute,
    PlanDocument,
    ReadyRoute,
    RejectedEntry,
    RouteDocument,
    UnknownRoute,
    WarmingRoute,
)
from marlix.sizes import parse_size

__all__ = [
    "Fleet",
    "FailedRoute",
    "LostReason",
    "LostRoute",
    "NotAdmittedRoute",
    "NotDeclaredRoute",
    "PlanDocument",
    "ReadyRoute",
    "RejectedEntry",
    "RouteDocument",
    "UnknownRoute",
    "WarmingRoute",
    "__version__",
    "parse_size",
    "plan",
]
