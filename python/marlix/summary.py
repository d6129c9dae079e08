"""The plan summary as the command line shows it, with hints for models that almost fit."""

from __future__ import annotations

import json
import math
from typing import Any

from marlix.documents import PlanDocument
from marlix.sizes import MAX_U64


def format_gib(count: int) -> str:
    """A byte count in GiB with one digit after the point, as the module writes them."""
    return f"{count * 2.0**-30:.1f}"


def render_plan(document: PlanDocument, roster_json: str) -> str:
    """The plan's own summary, then one hint line per rejected model that a smaller KV cache
    would let in."""
    return "\n".join([document["explain"], *kv_hints(document, roster_json)])


def kv_hints(document: PlanDocument, roster_json: str) -> list[str]:
    """For each rejected model whose KV cache is at least its shortfall, the KV budget that
    makes it need exactly the bytes that were free at its turn.

    A name declared more than once gets no hint: the plan does not say which of its entries
    was rejected."""
    entries = _entries_by_name(roster_json)
    hints = []
    for rejected in document["rejected"]:
        named = entries.get(rejected["model"], [])
        if len(named) != 1:
            continue
        kv_bytes = _kv_bytes(named[0])
        short_bytes = rejected["short_bytes"]
        if kv_bytes is not None and kv_bytes >= short_bytes:
            budget = kv_bytes - short_bytes
            hints.append(
                f"  hint: {rejected['model']} fits with a KV cache of {format_gib(budget)} GiB"
                f" ({budget} bytes) instead of {format_gib(kv_bytes)} GiB"
            )
    return hints


def _entries_by_name(roster_json: str) -> dict[str, list[dict[str, Any]]]:
    # The module has already accepted this roster; should Python's reader disagree, there are
    # simply no hints.
    try:
        roster = json.loads(roster_json)
    except (ValueError, RecursionError):
        return {}
    entries: dict[str, list[dict[str, Any]]] = {}
    for entry in roster if isinstance(roster, list) else []:
        if isinstance(entry, dict) and isinstance(entry.get("model"), str):
            entries.setdefault(entry["model"], []).append(entry)
    return entries


def _kv_bytes(entry: dict[str, Any]) -> int | None:
    # The camelCase key decides whenever it is present; absent or null means no KV cache.
    value = entry["kvBytes"] if "kvBytes" in entry else entry.get("kv_bytes")
    if value is None:
        return 0
    if isinstance(value, bool):
        return None
    if isinstance(value, float):
        if not math.isfinite(value) or value < 0 or not value.is_integer():
            return None
        value = int(value)
    if not isinstance(value, int) or value < 0:
        return None
    return min(value, MAX_U64)


def card_heading(index: int, total_bytes: int) -> str:
    """The line above each card's summary or report when there are several cards."""
    return f"card {index} ({format_gib(total_bytes)} GiB):"


def indented(text: str) -> str:
    # Split at "\n" alone: a model name may hold any other line break.
    return "\n".join(f"  {line}" if line else line for line in text.split("\n"))


def card_report(index: int, total_bytes: int, report: str) -> str:
    """One card's report under its heading, as the report of several cards shows it."""
    return card_heading(index, total_bytes) + "\n" + indented(report)
