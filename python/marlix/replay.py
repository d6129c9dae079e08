"""Feeding a host's event log to a Fleet, one JSON object a line.

An observation line is {"model": str, "kind": str, "detail": {...}, "now": int}; "detail" is
optional and passed to `Fleet.observe` as JSON text ("{}" when absent). An endpoint line is
{"model": str, "endpoint": str} with an optional "now", passed to `Fleet.set_endpoint`.
A roster line, {"roster": [...], "now": int}, is written by a host that swaps models when it
plans a card again: the card gets a new Fleet of that roster, and the lines after it tell it what
the host told its new Fleet. Any of them may name its "card", the index of the card's Fleet it
goes to (default 0), as a host of several cards writes it. Blank lines are skipped; any other
line that is not such an object stops the replay.
"""

from __future__ import annotations

import json
from collections.abc import MutableSequence, Sequence
from typing import Any, Callable

from _marlix import Fleet

from marlix.errors import InputError
from marlix.sizes import MAX_U64


class EventError(Exception):
    """A line that is not a well-formed event."""


# Makes the Fleet of card `index` from a roster text, for a roster line.
Rebuild = Callable[[int, str], Fleet]


def replay(
    fleets: Fleet | MutableSequence[Fleet],
    text: str,
    source: str,
    rebuild: Rebuild | None = None,
) -> int | None:
    """Apply every event of `text` in order to its card's Fleet (one Fleet is card 0 alone;
    a roster line replaces a card's Fleet in `fleets`, made by `rebuild`) and return the
    latest "now" of the events. A bad line raises InputError naming `source` and the line
    number."""
    cards: MutableSequence[Fleet] = [fleets] if isinstance(fleets, Fleet) else fleets
    last_now = None
    for number, line in enumerate(text.split("\n"), start=1):
        if not line.strip():
            continue
        try:
            now = apply_event(cards, line, rebuild)
        except (EventError, ValueError, TypeError, OverflowError) as error:
            raise InputError(f"{source}:{number}: {error}") from None
        if now is not None:
            # What a new Fleet is told of the models that stay carries its first times.
            last_now = now if last_now is None else max(last_now, now)
    return last_now


def apply_event(
    fleets: Fleet | MutableSequence[Fleet], line: str, rebuild: Rebuild | None = None
) -> int | None:
    cards: Sequence[Fleet] = (fleets,) if isinstance(fleets, Fleet) else fleets
    event = _parse(line)
    if "roster" in event:
        index = _card(event, len(cards))
        if rebuild is None or isinstance(fleets, Fleet):
            raise EventError("a roster line needs the cards' sizes to make the card's Fleet")
        if not isinstance(event["roster"], list):
            raise EventError('"roster" must be a JSON array')
        fleets[index] = rebuild(index, json.dumps(event["roster"]))
        return _now(event)
    model = _text(event, "model")
    fleet = cards[_card(event, len(cards))]
    if "endpoint" in event:
        if "kind" in event:
            raise EventError('a line has either "kind" or "endpoint", not both')
        endpoint = _text(event, "endpoint")
        now = _now(event) if "now" in event else None
        fleet.set_endpoint(model, endpoint)
        return now
    if "kind" not in event:
        raise EventError('missing "kind" (or "endpoint" on an endpoint line)')
    kind = _text(event, "kind")
    now = _now(event)
    detail = event.get("detail", {})
    if not isinstance(detail, dict):
        raise EventError('"detail" must be a JSON object')
    fleet.observe(model, kind, json.dumps(detail), now)
    return now


def _parse(line: str) -> dict[str, Any]:
    try:
        event = json.loads(line, parse_constant=_refuse_constant)
    except (ValueError, RecursionError) as error:
        raise EventError(f"not JSON: {error}") from None
    if not isinstance(event, dict):
        raise EventError("expected a JSON object")
    return event


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON value")


def _text(event: dict[str, Any], key: str) -> str:
    if key not in event:
        raise EventError(f'missing "{key}"')
    value = event[key]
    if not isinstance(value, str):
        raise EventError(f'"{key}" must be a string')
    return value


def _card(event: dict[str, Any], count: int) -> int:
    value = event.get("card", 0)
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < count:
        if count == 1:
            raise EventError('"card" must be 0: there is one card')
        raise EventError(f'"card" must be a card index from 0 to {count - 1}')
    return value


def _now(event: dict[str, Any]) -> int:
    if "now" not in event:
        raise EventError('missing "now"')
    value = event["now"]
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_U64:
        raise EventError(f'"now" must be a whole number of milliseconds from 0 to {MAX_U64}')
    return value
