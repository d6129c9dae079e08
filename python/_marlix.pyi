# Types of the native extension. The documents returned as JSON text are typed in
# marlix.documents (PlanDocument, RouteDocument).

from typing import SupportsIndex, final

__all__ = ["plan", "Fleet", "__version__"]

__version__: str

def plan(total_bytes: SupportsIndex, reserve_pct: SupportsIndex, declared_json: str) -> str:
    """Can this card hold this roster? Returns a JSON string."""

@final
class Fleet:
    """The state of every declared model on one card, driven by what the host observes."""

    def __new__(
        cls, total_bytes: SupportsIndex, reserve_pct: SupportsIndex, declared_json: str
    ) -> Fleet: ...
    def set_endpoint(self, model: str, endpoint: str) -> None: ...
    def observe(self, model: str, kind: str, detail_json: str, now: SupportsIndex) -> None:
        """Record something observed. `kind` is one of:
        load_started · probe_ok · probe_failed · process_exited · load_failed · stop
        """

    def route(self, model: str, now: SupportsIndex) -> str:
        """Where a request for `model` goes now, as a JSON route document."""

    def next_to_load(self) -> str | None: ...
    def committed_bytes(self) -> int: ...
    def free_bytes(self) -> int: ...
    def report(self, now: SupportsIndex) -> str: ...
