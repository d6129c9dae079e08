"""Placing a roster across several GPU cards with the module's own admission.

Cards are taken in the order given. The first card's `plan` admits what fits of the whole
roster, in roster order; the models it rejects are planned, still in roster order, on the
second card; and so on. A model that no card admits is unplaced, with the shortfall it had on
the last card. The reserve applies per card, so a placement on one card is exactly `plan`.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from _marlix import plan

from marlix.documents import PlanDocument, UnplacedEntry

__all__ = ["CardPlacement", "Placement", "place"]


@dataclass(frozen=True)
class CardPlacement:
    """One card of a placement: its plan and the roster entries it admitted."""

    index: int  # the card's place in the order given
    total_bytes: int
    plan_json: str  # the plan document, as `plan` wrote it
    plan: PlanDocument
    roster_json: str  # the roster this card was planned on: every entry left to it
    entries: tuple[dict[str, Any], ...]  # the entries it admitted, as given, in roster order


@dataclass(frozen=True)
class Placement:
    """Where each roster entry went: one `CardPlacement` per card, in card order, and the
    entries that no card admitted, in roster order."""

    cards: tuple[CardPlacement, ...]
    unplaced: tuple[UnplacedEntry, ...]
    _card_by_model: dict[str, int] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        # `card_of` is asked once per model; one pass here keeps it from scanning every card.
        by_model: dict[str, int] = {}
        for card in self.cards:
            for entry in card.entries:
                by_model.setdefault(entry["model"], card.index)
        object.__setattr__(self, "_card_by_model", by_model)

    def card_of(self, model: str) -> int | None:
        """The index of the first card, in card order, that admitted an entry named `model`;
        None when no card did (the model is unplaced, or not in the roster)."""
        return self._card_by_model.get(model)


def place(cards: Sequence[int], reserve_pct: int, roster_json: str) -> Placement:
    """Place the roster of `roster_json` on `cards` (their sizes in bytes, in order).

    Raises ValueError as `plan` does for a bad roster or argument, and "at least one card is
    needed" for no cards."""
    if not cards:
        raise ValueError("at least one card is needed")
    # The first card is planned on the text as given, so a bad roster is reported once, in the
    # module's words, before Python reads it.
    first_json = plan(cards[0], reserve_pct, roster_json)
    left: list[dict[str, Any]] = json.loads(roster_json)
    placed: list[CardPlacement] = []
    for index, size in enumerate(cards):
        if index == 0:
            card_roster, plan_json = roster_json, first_json
        else:
            card_roster = _roster_text(left)
            plan_json = plan(size, reserve_pct, card_roster)
        document: PlanDocument = json.loads(plan_json)
        admitted, left = _split(left, document, size, reserve_pct)
        placed.append(
            CardPlacement(index, int(size), plan_json, document, card_roster, tuple(admitted))
        )
    unplaced = tuple(
        UnplacedEntry(
            model=rejected["model"],
            needed_bytes=rejected["needed_bytes"],
            short_bytes=rejected["short_bytes"],
        )
        for rejected in placed[-1].plan["rejected"]
    )
    return Placement(tuple(placed), unplaced)


def _split(
    entries: list[dict[str, Any]], document: PlanDocument, size: int, reserve_pct: int
) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """The entries a card admitted and those it rejected, each in roster order."""
    names = [entry["model"] for entry in entries]
    if len(set(names)) == len(names):
        rejected_names = {rejected["model"] for rejected in document["rejected"]}
        rejected = [name in rejected_names for name in names]
    else:
        # The plan names its rejected models but not their places, which a name given twice
        # leaves open. Admission never looks at names, so planning the same entries named by
        # their positions rejects the same ones and tells which they are.
        numbered = [{**entry, "model": str(i)} for i, entry in enumerate(entries)]
        numbered_plan: PlanDocument = json.loads(plan(size, reserve_pct, _roster_text(numbered)))
        positions = {int(entry["model"]) for entry in numbered_plan["rejected"]}
        rejected = [i in positions for i in range(len(entries))]
    admitted = [entry for entry, out in zip(entries, rejected) if not out]
    return admitted, [entry for entry, out in zip(entries, rejected) if out]


def _roster_text(entries: list[dict[str, Any]]) -> str:
    # The module accepted these entries as read from the user's text, and json.dumps writes
    # back the same values (floats as the doubles both readers made of them), so each card
    # judges them exactly as the first did. ASCII escapes keep any string writable as UTF-8.
    return json.dumps(entries, separators=(",", ":"))
