"""What each card holds, when it holds more models than fit: the one place that decides it.

The front door tells the host that a request waits for a model outside every working set, or
that a request has ended; the supervisor reports loads. This loop, woken by either, decides in
three steps, each by the card's own rule (the module's `plan`), never by a rule of its own:

1. A model that left a working set is stopped once its requests in flight have ended, and no
   other step runs while one is still draining, so that a load never meets memory still held.
2. A model idle for its `idle_unload_s` leaves its working set and is stopped.
3. The model whose oldest waiting request is oldest is given room, while no other one is being
   swapped in: on a card where it fits beside the working set as it is, if there is one; else
   the card is planned again with its pinned models first, then the model asked for, then the
   rest of its working set from the most recently used to the least, and what that plan does
   not admit leaves. Among cards, the one whose leaving models were used least recently.
"""

from __future__ import annotations

import asyncio
import contextlib
import json

from _marlix import plan

from marlix.serve.host import Card, Host, ModelRecord, roster_of
from marlix.serve.metrics import Metrics
from marlix.serve.supervisor import Supervisor


class Swapper:
    def __init__(self, host: Host, supervisor: Supervisor, metrics: Metrics) -> None:
        self.host = host
        self.supervisor = supervisor
        self.metrics = metrics
        self.log = host.log
        self._task: asyncio.Task[None] | None = None

    def start(self) -> None:
        self._task = asyncio.ensure_future(self._run())

    async def stop(self) -> None:
        if self._task is not None:
            self._task.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._task

    async def _run(self) -> None:
        host = self.host
        while True:
            host.swap_wake.clear()
            await self.step()
            if host.swap_wake.is_set():
                continue
            due_ms = self._ms_to_next_idle()
            timeout = None if due_ms is None else due_ms / 1000
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(host.swap_wake.wait(), timeout)

    async def step(self) -> None:
        host = self.host
        if host.stopping:
            return
        records = list(host.records.values())
        draining = [r for r in records if r.draining]
        for record in draining:
            if record.in_flight == 0:
                await self.supervisor.stop_leaving(record)
                host.drained(record)
        if any(r.draining for r in records):
            return
        now = host.clock()
        for record in records:
            if self._idle_for(record, now) == 0:
                self._leave(record, "idle")
        if any(r.draining for r in records):
            host.swap_wake.set()  # stopped on the next turn
            return
        for record in records:
            if record.swapping_in and host.route(record.name).route not in ("unknown", "warming"):
                record.swapping_in = False
        pending = [r for r in records if r.swapping_in]
        if pending:
            for record in pending:
                self._room_for_what_is_held(record)
            return
        # A ready model's waiting requests go through before anything is planned again, so
        # that the room just made is used before it can be taken back.
        if any(r.waiting and host.route(r.name).route == "ready" for r in records):
            return
        asked = {r: _oldest_demand(r) for r in records if r.out and not r.held}
        wanted = [r for r, since in asked.items() if since is not None]
        if not wanted:
            return
        demanded = min(wanted, key=lambda r: asked[r] or 0)
        self._make_room(demanded)

    # Idleness.

    def _idle_for(self, record: ModelRecord, now: int) -> int | None:
        """Milliseconds until the model is idle long enough to leave, or None when it never
        will as things stand."""
        idle_s = self.host.config.idle_unload_s(record.config)
        if idle_s <= 0 or record.out or record.draining or record.held:
            return None
        if record.in_flight or record.waiting or record.swapping_in:
            return None
        if record.load_started_ms is not None:
            return None  # a load is not idleness: counted from its end
        since = max(record.last_used_ms or 0, record.resident_since_ms or record.joined_ms)
        return max(0, since + int(idle_s * 1000) - now)

    def _ms_to_next_idle(self) -> int | None:
        now = self.host.clock()
        due = [self._idle_for(r, now) for r in self.host.records.values()]
        known = [d for d in due if d is not None]
        return min(known) if known else None

    def _leave(self, record: ModelRecord, reason: str) -> None:
        card = record.card
        self.host.replan(card, [n for n in card.working if n != record.name])
        self.metrics.evictions.labels(record.name, reason).inc()
        idle_s = self.host.config.idle_unload_s(record.config)
        self.log.event(
            "evicted",
            f"{record.name}: unloaded after {idle_s:g} s without a request",
            model=record.name,
            reason=reason,
        )

    # Making room.

    def _make_room(self, demanded: ModelRecord) -> None:
        host = self.host
        chosen = self._choose_card(demanded)
        if chosen is None:
            return  # cannot happen for a model the host may serve; it waits
        card, working = chosen
        leaving = host.replan(card, working)
        demanded.swapping_in = True
        for record in leaving:
            self.metrics.evictions.labels(record.name, "demand").inc()
            self.log.event(
                "evicted",
                f"{record.name}: swapped out of card {card.index} to make room for {demanded.name}",
                model=record.name,
                reason="demand",
                card=card.index,
            )
        self.log.event(
            "swap_in",
            f"{demanded.name}: given room on card {card.index}; working set " + ", ".join(working),
            model=demanded.name,
            card=card.index,
            working_set=working,
        )
        host.swap_wake.set()

    def _room_for_what_is_held(self, record: ModelRecord) -> None:
        """The plan is made of the declared sizes, while the card's Fleet counts what its models
        hold (NVML's figures): models that hold more than they declared can leave too little
        room for the one given it. Then the least recently used of the others leaves too, and
        with none left to go, the wait is given up rather than kept for ever."""
        host, card = self.host, record.card
        if host.route(record.name).route != "unknown" or record.child is not None:
            return  # its load is under way
        if host.ending or card.fleet.next_to_load() is not None:
            return  # the loader has work on this card, or a process is still ending
        others = [
            host.records[n]
            for n in card.working
            if n != record.name and not host.records[n].config.pinned
        ]
        if not others:
            record.swapping_in = False
            self.log.event(
                "swap_in",
                f"{record.name}: does not fit beside what the pinned models of card "
                f"{card.index} hold",
                model=record.name,
            )
            return
        leaving = min(others, key=_last_used)
        host.replan(card, [n for n in card.working if n != leaving.name])
        self.metrics.evictions.labels(leaving.name, "demand").inc()
        self.log.event(
            "evicted",
            f"{leaving.name}: swapped out of card {card.index} to make room for "
            f"{record.name}, as the models there hold more than they declared",
            model=leaving.name,
            reason="demand",
            card=card.index,
        )
        host.swap_wake.set()

    def _choose_card(self, demanded: ModelRecord) -> tuple[Card, list[str]] | None:
        host = self.host
        for card in host.cards:
            working = [*card.working, demanded.name]
            if len(self._admitted(card, working)) == len(working):
                return card, working
        best: tuple[int, Card, list[str]] | None = None
        for card in host.cards:
            records = [host.records[n] for n in card.working]
            pinned = [r.name for r in records if r.config.pinned]
            others = sorted(
                (r for r in records if not r.config.pinned), key=_last_used, reverse=True
            )
            order = [*pinned, demanded.name, *(r.name for r in others)]
            admitted = self._admitted(card, order)
            if demanded.name not in admitted:
                continue
            leaving = [r for r in records if r.name not in admitted]
            latest = max((_last_used(r) for r in leaving), default=-1)
            if best is None or latest < best[0]:
                best = (latest, card, admitted)
        return None if best is None else (best[1], best[2])

    def _admitted(self, card: Card, names: list[str]) -> list[str]:
        """What the card's plan admits of `names`, in their order."""
        models = [self.host.records[n].config for n in names]
        document = plan(card.total_bytes, self.host.config.card.reserve_pct, roster_of(models))
        admitted: list[str] = json.loads(document)["admitted"]
        return admitted


def _oldest_demand(record: ModelRecord) -> int | None:
    """When the oldest request waiting for the model arrived (or its load was asked by hand)."""
    times = [*record.waiting_since, *([] if record.asked_ms is None else [record.asked_ms])]
    return min(times) if times else None


def _last_used(record: ModelRecord) -> int:
    return -1 if record.last_used_ms is None else record.last_used_ms
