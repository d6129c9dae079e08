"""Rosters and fleets of a given size, the same for the module and its baselines."""

from __future__ import annotations

import json
import random

GIB = 1 << 30


def roster_text(count: int, seed: int = 7) -> tuple[int, str]:
    """A card size and a roster of `count` models of which about a fifth do not fit."""
    rng = random.Random(seed)
    entries = []
    total_need = 0
    for i in range(count):
        weights = rng.randrange(64 << 20, 512 << 20)
        kv = rng.randrange(0, 128 << 20)
        total_need += weights + kv
        entries.append({"model": f"model-{i:06d}", "weightsBytes": weights, "kvBytes": kv})
    card = max(int(total_need * 0.8 / 0.9), 2 * GIB)
    return card, json.dumps(entries, separators=(",", ":"))


def fitting_roster(count: int) -> tuple[int, str]:
    """A roster of `count` small models that all fit on the card."""
    entries = [
        {"model": f"model-{i:06d}", "weightsBytes": 1 << 20, "kvBytes": 1 << 18}
        for i in range(count)
    ]
    return 1 << 44, json.dumps(entries, separators=(",", ":"))
