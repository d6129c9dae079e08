"""The one owner of the host's state: the card's `Fleet`, and per model what the Fleet does not
keep (its process, port, reload delay, restarts, last failure and the requests waiting on it).

Every observation goes through `Host.observe`, which tells the Fleet, appends the event to the
log file and wakes whoever waits on the model, so that the three can never disagree.
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Callable, TextIO, cast

from _marlix import Fleet, __version__, plan

from marlix.documents import PlanDocument, RouteDocument
from marlix.placement import place
from marlix.serve.config import Config, ModelConfig
from marlix.serve.log import Log
from marlix.serve.process import Child
from marlix.summary import card_report

Clock = Callable[[], int]

FIRST_DELAY_S = 1.0
LONGEST_DELAY_S = 300.0
# A model that stayed resident this long has recovered: its next failure starts the delays anew.
RECOVERED_AFTER_MS = 10 * 60 * 1000


# Observations after which the Fleet's state of a model no longer depends on what came before
# (as the host sends them: a load is started only on a model with none in progress).
FRESH_STATES = frozenset({"load_started", "load_failed", "stop"})

STATE_WORDS = {
    "ready": "ready",
    "warming": "loading",
    "lost": "lost",
    "failed": "failed",
    "not_admitted": "not admitted",
    "swapped_out": "swapped out",
    "draining": "draining",
}


class ModelRecord:
    """What the host knows of one model beyond its Fleet entry."""

    def __init__(self, config: ModelConfig, admitted: bool) -> None:
        self.config = config
        self.name = config.name
        self.admitted = admitted
        self.child: Child | None = None
        self.port: int | None = None
        self.task: asyncio.Task[None] | None = None
        self.restarts = 0  # loads of a model that had been ready and was lost
        self.failed_loads = 0
        self.lost_since_ready = False  # its next load is a restart
        self.vram_bytes: int | None = None  # what its last healthy load held
        self.last_failure: str | None = None
        self.delay_s = FIRST_DELAY_S
        self.next_load_ms = 0  # the earliest time the loader may load it again
        self.load_started_ms: int | None = None
        self.resident_since_ms: int | None = None
        self.last_load_ms: int | None = None  # how long the last good load took
        self.held = False  # stopped by hand: stays stopped until loaded by hand
        self.queued = False  # loaded by hand, waiting for the loader's turn
        self.in_flight = 0  # requests forwarded to it and not yet ended
        self.waiting = 0  # requests waiting for it to become ready
        self.waiting_since: list[int] = []  # when each of them arrived
        # Swapping: a model the host may serve but holds in no card's working set is out; one
        # chosen to make room is draining until its requests in flight have ended.
        self.out = False
        self.draining = False
        self.swapping_in = False  # made room for, and not yet ready or failed
        self.asked_ms: int | None = None  # loaded by hand while swapped out: a demand too
        self.joined_ms = 0  # when it last entered a working set
        # What its card's Fleet has been told since its state last started afresh, and where
        # it is served: what a new Fleet of the card is told of it when the card is planned
        # again.
        self.told: list[tuple[str, dict[str, Any], int]] = []
        self.endpoint: str | None = None
        self.last_used_ms: int | None = None  # when a request for it last arrived
        self.changed_ms = 0
        self._changed = asyncio.Event()
        self.route_json = ""
        self.route_doc: RouteDocument | None = None
        self.card: Card  # set by the host: the card that holds it, or answers for it

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

    @property
    def public(self) -> dict[str, Any]:
        """The document as a client may see it: what it can act on, without the endpoint (an
        operator's port) or a failure's text (which holds a model process's own words)."""
        route = self.doc["route"]
        return {
            key: value
            for key, value in self.doc.items()
            if key != "endpoint" and not (key == "reason" and route == "failed")
        }


@dataclass(eq=False)
class Card:
    """One GPU card: its Fleet, and the plan it was placed by. With swapping, both are replaced
    whenever the card is planned again, and `working` is the set of models it means to hold
    now, in its Fleet's order."""

    index: int
    total_bytes: int
    fleet: Fleet
    plan_json: str  # the card's plan document, as `plan` wrote it
    plan: PlanDocument
    working: list[str] = field(default_factory=list)


def roster_of(models: Sequence[ModelConfig]) -> str:
    """The roster text of `models`, in the order given."""
    return json.dumps(
        [{"model": m.name, "weightsBytes": m.weights_bytes, "kvBytes": m.kv_bytes} for m in models]
    )


def _route_text(document: dict[str, Any]) -> str:
    # Written as the Fleet writes its documents: compact, keys in order.
    return json.dumps(document, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


class Host:
    def __init__(
        self,
        config: Config,
        card_sizes: Sequence[int],
        clock: Clock,
        log: Log,
        events: TextIO | None = None,
    ) -> None:
        self.config = config
        self.clock = clock
        self.log = log
        self.events = events
        self.swap = config.server.swap
        self.swap_wake = asyncio.Event()
        if self.swap:
            self._start_swapping(card_sizes)
        else:
            self._place(card_sizes)
        self.total_bytes = sum(card_sizes)
        self.started_ms = clock()
        for record in self.records.values():
            record.changed_ms = record.joined_ms = self.started_ms
        self.waiting = 0
        self.ending = 0  # model processes being ended
        self.stopping = False
        self.loader_wake = asyncio.Event()

    def _place(self, card_sizes: Sequence[int]) -> None:
        config, reserve = self.config, self.config.card.reserve_pct
        self.placement = place(card_sizes, reserve, config.roster_json())
        last = len(self.placement.cards) - 1
        self.cards: list[Card] = []
        for placed in self.placement.cards:
            # Each card's Fleet holds the models placed on it; the last one's also holds those
            # no card took, so that they are answered as not admitted, with their shortfall.
            roster = placed.roster_json if placed.index == last else json.dumps(placed.entries)
            fleet = Fleet(placed.total_bytes, reserve, roster)
            self.cards.append(
                Card(placed.index, placed.total_bytes, fleet, placed.plan_json, placed.plan)
            )
        self.records: dict[str, ModelRecord] = {}
        for model in config.models:
            card = self.placement.card_of(model.name)
            record = ModelRecord(model, admitted=card is not None)
            record.card = self.cards[last if card is None else card]
            self.records[model.name] = record

    def _start_swapping(self, card_sizes: Sequence[int]) -> None:
        """Each card starts with its working set: the pinned models, then those loaded at
        start, in roster order, placed as `plan` places them. Every other model is out, and
        loaded when asked for, unless no card could hold it even with every unpinned model
        swapped out: then it is not admitted, with its shortfall on the last card."""
        config, reserve = self.config, self.config.card.reserve_pct
        models = config.models
        start = [m for m in models if m.pinned] + [
            m for m in models if not m.pinned and m.load == "start"
        ]
        self.placement = place(card_sizes, reserve, roster_of(start))
        self.records = {m.name: ModelRecord(m, admitted=True) for m in models}
        placed = {m.name: self.placement.card_of(m.name) for m in start}
        pinned = [
            [m for m in start if m.pinned and placed[m.name] == index]
            for index in range(len(card_sizes))
        ]
        self.never: list[ModelConfig] = []  # answered as not admitted, by the last card
        for model in models:
            if placed.get(model.name) is not None:
                continue
            fits = any(
                model.name
                in json.loads(plan(size, reserve, roster_of([*pinned[i], model])))["admitted"]
                for i, size in enumerate(card_sizes)
            )
            record = self.records[model.name]
            record.out = fits
            record.admitted = fits
            if not fits:
                self.never.append(model)
        self.cards = []
        rosters = []
        for index, size in enumerate(card_sizes):
            working = [m.name for m in start if placed[m.name] == index]
            last = index == len(card_sizes) - 1
            fleet, roster, plan_json = self._card_fleet(size, working, last)
            self.cards.append(Card(index, size, fleet, plan_json, json.loads(plan_json), working))
            rosters.append(roster)
        # A replay starts from these Fleets, not from the whole roster placed.
        for card, roster in zip(self.cards, rosters):
            self._write_event({"roster": json.loads(roster), "now": self.clock()}, card)
        for record in self.records.values():
            where = placed.get(record.name)
            record.card = self.cards[-1 if where is None else where]

    # What the host reports to the Fleet.

    def observe(self, name: str, kind: str, detail: dict[str, Any] | None = None) -> None:
        now = self.clock()
        detail = detail or {}
        record = self.records[name]
        if record.out or record.draining:
            return  # in no Fleet now: what it does concerns no card's plan
        record.card.fleet.observe(name, kind, json.dumps(detail), now)
        if kind in FRESH_STATES:
            record.told.clear()
        record.told.append((kind, detail, now))
        event = {"model": name, "kind": kind, "detail": detail, "now": now}
        self._write_event(event, record.card)
        record.notify(now)
        if self.swap:
            self.swap_wake.set()

    def set_endpoint(self, name: str, endpoint: str) -> None:
        now = self.clock()
        record = self.records[name]
        if record.out or record.draining:
            return
        record.card.fleet.set_endpoint(name, endpoint)
        record.endpoint = endpoint
        self._write_event({"model": name, "endpoint": endpoint, "now": now}, record.card)
        record.notify(now)

    # Planning a card again (swapping).

    def _card_fleet(
        self, total_bytes: int, working: list[str], last: bool
    ) -> tuple[Fleet, str, str]:
        """A card's Fleet of `working` (and, on the last card, the models never admitted, so
        that they are answered as not admitted with their shortfall there), its roster and its
        plan document."""
        reserve = self.config.card.reserve_pct
        models = [self.records[name].config for name in working]
        roster = roster_of(models + (self.never if last else []))
        return Fleet(total_bytes, reserve, roster), roster, plan(total_bytes, reserve, roster)

    def _plan_card(self, card: Card, working: list[str], now: int) -> None:
        """Makes `working` the card's working set: a new Fleet, told what the old one knew of
        the models that stay, so that both answer alike for them; the events file gets the
        new roster and what the new Fleet is told, so that a replay meets the same Fleet."""
        last = card is self.cards[-1]
        fleet, roster, card.plan_json = self._card_fleet(card.total_bytes, working, last)
        card.plan = cast(PlanDocument, json.loads(card.plan_json))
        self._write_event({"roster": json.loads(roster), "now": now}, card)
        for name in working:
            record = self.records[name]
            if record.card is not card or record.out or record.draining:
                continue  # joins the card now: nothing is known of it yet
            for kind, detail, at in record.told:
                fleet.observe(name, kind, json.dumps(detail), at)
                self._write_event({"model": name, "kind": kind, "detail": detail, "now": at}, card)
            if record.endpoint is not None:
                fleet.set_endpoint(name, record.endpoint)
                self._write_event({"model": name, "endpoint": record.endpoint, "now": now}, card)
        card.fleet = fleet
        card.working = list(working)

    def replan(self, card: Card, working: list[str]) -> list[ModelRecord]:
        """Makes `working` the card's working set, in that order, and returns the models that
        leave it. Those with a process are draining until it is stopped; the others are out."""
        now = self.clock()
        leaving = [self.records[n] for n in card.working if n not in working]
        joining = [self.records[n] for n in working if n not in card.working]
        self._plan_card(card, working, now)
        for record in leaving:
            record.told.clear()
            record.endpoint = None
            if record.child is not None:
                record.draining = True
            else:
                record.out = True
            record.notify(now)
        for record in joining:
            record.card = card
            record.out = False
            record.asked_ms = None
            record.told.clear()
            record.endpoint = None
            record.next_load_ms = 0
            record.delay_s = FIRST_DELAY_S
            record.joined_ms = now
            record.notify(now)
        self.wake_loader()
        return leaving

    def drained(self, record: ModelRecord) -> None:
        """A model that left its card's working set has stopped: it is out."""
        record.draining = False
        record.out = True
        record.notify(self.clock())
        self.wake_loader()

    def ask_for(self, record: ModelRecord) -> None:
        """A load asked by hand of a model outside every working set: a demand like a
        request's, from now."""
        if record.asked_ms is None:
            record.asked_ms = self.clock()
        self.wake_swapper()

    def wake_swapper(self) -> None:
        if self.swap:
            self.swap_wake.set()

    def _write_event(self, event: dict[str, Any], card: Card) -> None:
        if self.events is None:
            return
        if len(self.cards) > 1:
            event["card"] = card.index
        try:
            self.events.write(json.dumps(event, ensure_ascii=False) + "\n")
            self.events.flush()
        except (OSError, ValueError) as error:
            self.log.event("events_failed", f"cannot write the events file: {error}")
            self.events = None

    # What the host asks of it.

    def route(self, name: str, now: int | None = None) -> Route:
        record = self.records.get(name)
        if record is not None and (record.out or record.draining):
            return self._outside_route(record)
        fleet = self.cards[0].fleet if record is None else record.card.fleet
        text = fleet.route(name, self.clock() if now is None else now)
        if record is None:
            return Route(text, cast(RouteDocument, json.loads(text)))
        # The Fleet hands out the same str while the model's state stands; so is its reading.
        if record.route_json is not text or record.route_doc is None:
            record.route_json = text
            record.route_doc = cast(RouteDocument, json.loads(text))
        return Route(text, record.route_doc)

    def _outside_route(self, record: ModelRecord) -> Route:
        """The route of a model in no Fleet: swapped out, or draining to make room. It waits
        here to be swapped in, so it is not a reason to go elsewhere."""
        route = "draining" if record.draining else "swapped_out"
        if record.route_doc is None or record.route_doc["route"] != route:
            document: Any = {
                "model": record.name,
                "operator_fault": False,
                "ready": False,
                "route": route,
                "try_elsewhere": False,
            }
            record.route_doc = cast(RouteDocument, document)
            record.route_json = _route_text(document)
        return Route(record.route_json, record.route_doc)

    def next_to_load(self, now: int) -> ModelRecord | None:
        """The model the loader should start now, or None."""
        if self.ending:
            return None
        for record in self.records.values():
            if record.queued and not (record.out or record.draining):
                return record
        for card in self.cards:
            if any(r.draining and r.card is card for r in self.records.values()):
                continue  # its memory is not free until the models leaving it have stopped
            chosen = self._next_on(card, now)
            if chosen is not None:
                return chosen
        return None

    def _next_on(self, card: Card, now: int) -> ModelRecord | None:
        name = card.fleet.next_to_load()
        if name is None:
            return None
        record = self.records[name]
        if record.next_load_ms <= now and record.child is None:
            return record
        # The Fleet's choice is waiting out its reload delay, and it must not hold back the
        # others: take the first later one in roster order that the Fleet would offer (its
        # route says it wants loading) and that fits the free bytes.
        free = card.fleet.free_bytes()
        for other in self.records.values():
            if (
                other.card is card
                and other.admitted
                and not (other.out or other.draining)
                and not other.held
                and other.child is None
                and other.next_load_ms <= now
                and other.config.need_bytes <= free
                and self.route(other.name, now).route in ("unknown", "lost", "failed")
            ):
                return other
        return None

    def committed_bytes(self) -> int:
        return sum(card.fleet.committed_bytes() for card in self.cards)

    def free_bytes(self) -> int:
        return sum(card.fleet.free_bytes() for card in self.cards)

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
            record.lost_since_ready = True  # so its next load is a restart
            if now - record.resident_since_ms >= RECOVERED_AFTER_MS:
                record.delay_s = FIRST_DELAY_S
        record.resident_since_ms = None
        record.last_failure = failure
        record.next_load_ms = now + int(record.delay_s * 1000)
        record.delay_s = min(record.delay_s * 2, LONGEST_DELAY_S)
        self.wake_loader()

    def retry_after_s(self, record: ModelRecord | None, now: int) -> int:
        """Whole seconds, at least 1, until the model is expected to serve: the rest of the load
        in progress, or the rest of its reload delay and then a whole load. A load is expected
        to take as long as its last good one did, or its timeout before any succeeded. Not cut
        short: clients back off on their own from values they will not sleep through."""
        if record is None:
            return 1
        expected_ms = record.last_load_ms
        if expected_ms is None:
            expected_ms = int(record.config.load_timeout_s * 1000)
        if record.load_started_ms is not None and record.resident_since_ms is None:
            wait_ms = record.load_started_ms + expected_ms - now
        else:
            wait_ms = max(0, record.next_load_ms - now) + expected_ms
        return max(1, -(-wait_ms // 1000))

    def wants_load(self, record: ModelRecord) -> bool:
        """A request for this model may wait: it is loading or will be loaded."""
        return record.admitted and not record.held and not self.stopping

    def status(self) -> dict[str, Any]:
        now = self.clock()
        cards: list[dict[str, Any]] = [
            {
                "index": card.index,
                "total_bytes": card.total_bytes,
                "plan": card.plan,
                "committed_bytes": card.fleet.committed_bytes(),
                "free_bytes": card.fleet.free_bytes(),
                "working_set": list(card.working) if self.swap else None,
                "report": card.fleet.report(now),
            }
            for card in self.cards
        ]
        return {
            "version": __version__,
            "now_ms": now,
            "uptime_ms": now - self.started_ms,
            "waiting": self.waiting,
            "total_bytes": self.total_bytes,
            "plan": self.plan_document(),
            "committed_bytes": self.committed_bytes(),
            "free_bytes": self.free_bytes(),
            "cards": cards,
            "models": [self.model_status(r, now) for r in self.records.values()],
            "report": self.report(cards),
        }

    def report(self, cards: list[dict[str, Any]]) -> str:
        """The report of the card, or of every card under its heading."""
        if len(cards) == 1:
            text: str = cards[0]["report"]
            return text
        return "".join(card_report(c["index"], c["total_bytes"], c["report"]) for c in cards)

    def plan_document(self) -> Any:
        """What `marlix plan --json` prints for this card or these cards."""
        if len(self.cards) == 1:
            return self.cards[0].plan
        return {"cards": [card.plan for card in self.cards], "unplaced": self.unplaced()}

    def unplaced(self) -> list[Any]:
        """The models no card admits, with their shortfall on the last card. With swapping,
        those no card could hold even with every unpinned model swapped out."""
        if not self.swap:
            return list(self.placement.unplaced)
        never = {m.name for m in self.never}
        return [
            {k: r[k] for k in ("model", "needed_bytes", "short_bytes")}
            for r in self.cards[-1].plan["rejected"]
            if r["model"] in never
        ]

    def model_status(self, record: ModelRecord, now: int) -> dict[str, Any]:
        child = record.child
        route = self.route(record.name, now)
        due = record.child is None and route.route in ("lost", "failed") and not self.stopping
        return {
            "name": record.name,
            "card": record.card.index if record.admitted and not record.out else None,
            "state": self.state_words(record, route),
            "route": route.doc,
            "for_ms": max(0, now - record.changed_ms),
            "pid": child.pid if child is not None and child.returncode is None else None,
            "port": record.port if child is not None else None,
            "vram_bytes": record.vram_bytes if route.route == "ready" else None,
            "next_try_ms": max(0, record.next_load_ms - now) if due else None,
            "restarts": record.restarts,
            "failed_loads": record.failed_loads,
            "last_failure": record.last_failure,
            "in_flight": record.in_flight,
            "waiting": record.waiting,
            "last_used_ms": None if record.last_used_ms is None else now - record.last_used_ms,
        }

    def state_words(self, record: ModelRecord, route: Route) -> str:
        """The model's state as a person says it."""
        if route.route == "unknown":
            return "stopped" if record.held else "waiting to load"
        return STATE_WORDS.get(route.route, route.route)

    def admitted_records(self) -> Iterator[ModelRecord]:
        """The models of every card's Fleet that it admits: with swapping, its working set."""
        return (r for r in self.records.values() if r.admitted and not (r.out or r.draining))
