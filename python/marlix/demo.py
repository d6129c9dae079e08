"""A tour of the whole module on a built-in sample: a 24 GiB card and four models, one of
which does not fit. It runs the calls a host makes, in the order it makes them."""

from __future__ import annotations

import json
from typing import TextIO

from _marlix import Fleet, plan

from marlix.summary import format_gib, render_plan

GIB = 2**30
CARD_BYTES = 24 * GIB
RESERVE_PCT = 10
ROSTER = [
    {"model": "chat-8b", "weightsBytes": 8 * GIB, "kvBytes": 2 * GIB},
    {"model": "vision-13b", "weightsBytes": 10 * GIB, "kvBytes": 6 * GIB},
    {"model": "coder-7b", "weightsBytes": 4 * GIB, "kvBytes": 1 * GIB},
    {"model": "embed-small", "weightsBytes": GIB // 2},
]
# What the health probe reports once each model is up, and where it serves.
VRAM_BYTES = {"chat-8b": 19 * GIB // 2, "coder-7b": 9 * GIB // 2}
ENDPOINTS = {"chat-8b": "http://127.0.0.1:8001", "coder-7b": "http://127.0.0.1:8002"}


def run(out: TextIO) -> None:
    roster_json = json.dumps(ROSTER)
    out.write(
        f"A {CARD_BYTES // GIB} GiB card with a {RESERVE_PCT}% reserve"
        f" and {len(ROSTER)} declared models.\n\n"
    )
    out.write(f"plan({CARD_BYTES}, {RESERVE_PCT}, roster):\n")
    out.write(render_plan(json.loads(plan(CARD_BYTES, RESERVE_PCT, roster_json)), roster_json))
    out.write("\n")

    fleet = Fleet(CARD_BYTES, RESERVE_PCT, roster_json)

    def step(now: int, what: str) -> None:
        out.write(f"\n[{now / 1000:.1f}s] {what}\n{fleet.report(now)}")

    def route(name: str, now: int) -> None:
        out.write(f"route({name!r}, {now}) -> {fleet.route(name, now)}\n")

    step(0, "Fleet built from the same roster: nothing observed yet")

    now = 0
    for _ in range(2):
        now += 1_000
        name = fleet.next_to_load()
        assert name is not None
        fleet.observe(name, "load_started", "{}", now)
        step(now, f"next_to_load() is {name}; the host starts it: load_started")
        route(name, now + 500)

        now += 20_000
        vram = VRAM_BYTES[name]
        fleet.observe(name, "probe_ok", json.dumps({"vramBytes": vram}), now)
        fleet.set_endpoint(name, ENDPOINTS[name])
        step(now, f"probe_ok using {format_gib(vram)} GiB, set_endpoint {ENDPOINTS[name]}")
        route(name, now)

    now += 1_000
    name = fleet.next_to_load()
    assert name is not None
    fleet.observe(name, "load_started", "{}", now)
    now += 4_000
    fleet.observe(name, "load_failed", json.dumps({"detail": "weights file not found"}), now)
    step(now, f"next_to_load() is {name}; load_started, then load_failed")

    now += 60_000
    fleet.observe("coder-7b", "process_exited", json.dumps({"code": 137}), now)
    step(now, "coder-7b's serving process exits")
    for name in ("chat-8b", "coder-7b", "vision-13b", "embed-small"):
        route(name, now)
    out.write(f"next_to_load() -> {fleet.next_to_load()!r}\n")
