"""The one owner of the host's state: the card's `Fleet`, and per model what the Fleet does not
keep (its process, port, reload delay, restarts, last failure and the requests waiting on it).

Every observation goes through `Host.observe`, which tells the Fleet, appends the event to the
log file and wakes whoever waits on the model, so that the three can never disagree.
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, Callable, TextIO, cast

from _marlix import Fleet, plan

from marlix.documents import PlanDocument, RouteDocument
from marlix.serve.config import Config, ModelConfig
from marlix.serve.log import Log
from marlix.serve.process import Child

Clock = Callable[[], int]

FIRST_DELAY_S = 1.0
LONGEST_DELAY_S = 300.0
# A model that stayed resident this long has recovered: its next failure starts the delays anew.
RECOVERED_AFTER_MS = 10 * 60 * 1000


class ModelRecord:
    """What the host knows of one model beyond its Fleet entry."""

    def __init__(self, config: ModelConfig, admitted: bool) -> None:
        self.config = config
        self.name = config.name
        self.admitted = admitted
        self.child: Child | None = None
        self.port: int | None = None
        self.task: asyncio.Task[None] | None = None
        self.restarts = 0
        self.starts = 0
        self.last_failure: str | None = None
        self.delay_s = FIRST_DELAY_S
        self.next_load_ms = 0  # the earliest time the loader may load it again
        self.load_started_ms: int | None = None
        self.resident_since_ms: int | None = None
        self.last_load_ms: int | None = None  # how long the last good load took
        self.held = False  # stopped by hand: stays stopped until loaded by hand
        self.queued = False  # loaded by hand, waiting for the loader's turn
        self.changed_ms = 0
        self._changed = asyncio.Event()
        self.route_json = ""
        self.route_doc: RouteDocument | None = None

    def notify(self, now: int) -> None:
        self.changed_ms = now
        changed, self._changed = self._changed, asyncio.Event()
        changed.set()

    async def changed(self, timeout_s: float) -> None:
        """Returns when the model's state next changes, or after `timeout_s`."""
        try:
            await asyncio.wait_for(self._changed.wait(), timeout_s)
        except asyncio.TimeoutError:
            pass


@dataclass(frozen=True)
class Route:
    text: str  # the route document as the Fleet wrote it
    doc: RouteDocument

    @property
    def route(self) -> str:
        return self.doc["route"]


class Host:
    def __init__(
        self,
        config: Config,
        total_bytes: int,
        clock: Clock,
        log: Log,
        events: TextIO | None = None,
    ) -> None:
        self.config = config
        self.total_bytes = total_bytes
        self.clock = clock
        self.log = log
        self.events = events
        roster = config.roster_json()
        reserve = config.card.reserve_pct
        self.plan_json = plan(total_bytes, reserve, roster)
        self.plan: PlanDocument = json.loads(self.plan_json)
        self.fleet = Fleet(total_bytes, reserve, roster)
        admitted = set(self.plan["admitted"])
        self.records = {m.name: ModelRecord(m, m.name in admitted) for m in config.models}
        started = clock()
        for record in self.records.values():
            record.changed_ms = started
        self.short_bytes = {r["model"]: r["short_bytes"] for r in self.plan["rejected"]}
        self.waiting = 0
        self.ending = 0  # model processes being ended
        self.stopping = False
        self.loader_wake = asyncio.Event()

    # What the host reports to the Fleet.

    def observe(self, name: str, kind: str, detail: dict[str, Any] | None = None) -> None:
        now = self.clock()
        detail = detail or {}
        self.fleet.observe(name, kind, json.dumps(detail), now)
        self._write_event({"model": name, "kind": kind, "detail": detail, "now": now})
        self.records[name].notify(now)

    def set_endpoint(self, name: str, endpoint: str) -> None:
        now = self.clock()
        self.fleet.set_endpoint(name, endpoint)
        self._write_event({"model": name, "endpoint": endpoint, "now": now})
        self.records[name].notify(now)

    def _write_event(self, event: dict[str, Any]) -> None:
        if self.events is None:
            return
        try:
            self.events.write(json.dumps(event, ensure_ascii=False) + "\n")
            self.events.flush()
        except (OSError, ValueError) as error:
            self.log.event("events_failed", f"cannot write the events file: {error}")
            self.events = None

    # What the host asks of it.

    def route(self, name: str, now: int | None = None) -> Route:
        text = self.fleet.route(name, self.clock() if now is None else now)
        record = self.records.get(name)
        if record is None:
            return Route(text, cast(RouteDocument, json.loads(text)))
        # The Fleet hands out the same str while the model's state stands; so is its reading.
        if record.route_json is not text or record.route_doc is None:
            record.route_json = text
            record.route_doc = cast(RouteDocument, json.loads(text))
        return Route(text, record.route_doc)

    def next_to_load(self, now: int) -> ModelRecord | None:
        """The model the loader should start now, or None."""
        if self.ending:
            return None
        for record in self.records.values():
            if record.queued:
                return record
        name = self.fleet.next_to_load()
        if name is None:
            return None
        record = self.records[name]
        if record.next_load_ms <= now and record.child is None:
            return record
        # The Fleet's choice is waiting out its reload delay, and it must not hold back the
        # others: take the first later one in roster order that the Fleet would offer (its
        # route says it wants loading) and that fits the free bytes.
        free = self.fleet.free_bytes()
        for other in self.records.values():
            if (
                other.admitted
                and not other.held
                and other.child is None
                and other.next_load_ms <= now
                and other.config.need_bytes <= free
                and self.route(other.name, now).route in ("unknown", "lost", "failed")
            ):
                return other
        return None

    def ms_to_next_due(self, now: int) -> int | None:
        """Time until the next reload delay ends, for the loader to sleep on."""
        due = [
            r.next_load_ms
            for r in self.records.values()
            if r.admitted and not r.held and r.child is None and r.next_load_ms > now
        ]
        return min(due) - now if due else None

    def wake_loader(self) -> None:
        self.loader_wake.set()

    # Failures and their delays.

    def schedule_reload(self, record: ModelRecord, failure: str) -> None:
        now = self.clock()
        if record.resident_since_ms is not None:
            if now - record.resident_since_ms >= RECOVERED_AFTER_MS:
                record.delay_s = FIRST_DELAY_S
        record.resident_since_ms = None
        record.last_failure = failure
        record.next_load_ms = now + int(record.delay_s * 1000)
        record.delay_s = min(record.delay_s * 2, LONGEST_DELAY_S)
        self.wake_loader()

    def retry_after_s(self, record: ModelRecord | None, now: int) -> int:
        """Whole seconds, 1 to 60, until the model may be ready: the rest of its reload delay,
        or of the load in progress as long as its last good load took (its timeout before)."""
        if record is None:
            return 1
        expected_ms = record.last_load_ms
        if expected_ms is None:
            expected_ms = int(record.config.load_timeout_s * 1000)
        if record.load_started_ms is not None and record.resident_since_ms is None:
            wait_ms = record.load_started_ms + expected_ms - now
        elif record.next_load_ms > now:
            wait_ms = record.next_load_ms - now
        else:
            wait_ms = expected_ms
        return max(1, min(60, -(-wait_ms // 1000)))

    def wants_load(self, record: ModelRecord) -> bool:
        """A request for this model may wait: it is loading or will be loaded."""
        return record.admitted and not record.held and not self.stopping

    def status(self) -> dict[str, Any]:
        now = self.clock()
        return {
            "now_ms": now,
            "total_bytes": self.total_bytes,
            "plan": self.plan,
            "committed_bytes": self.fleet.committed_bytes(),
            "free_bytes": self.fleet.free_bytes(),
            "models": [self.model_status(r, now) for r in self.records.values()],
            "report": self.fleet.report(now),
        }

    def model_status(self, record: ModelRecord, now: int) -> dict[str, Any]:
        child = record.child
        return {
            "name": record.name,
            "route": self.route(record.name, now).doc,
            "for_ms": max(0, now - record.changed_ms),
            "pid": child.pid if child is not None and child.returncode is None else None,
            "port": record.port if child is not None else None,
            "restarts": record.restarts,
            "last_failure": record.last_failure,
        }

    def admitted_records(self) -> Iterator[ModelRecord]:
        return (r for r in self.records.values() if r.admitted)
