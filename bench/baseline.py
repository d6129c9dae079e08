"""What a user would write instead of the module: the same plan, route and report in Python."""

from __future__ import annotations

import json

GIB = 1 << 30
U64_MAX = (1 << 64) - 1


def _reserve(total: int, pct: int) -> int:
    r = min(pct, 100) * (total // 100)
    if r <= GIB:
        r = GIB
    return min(r, total)


def _gib(n: int) -> str:
    return f"{n / GIB:.1f}"


def _field(entry: dict, camel: str, snake: str):
    return entry[camel] if camel in entry else entry.get(snake)


def py_plan(total: int, pct: int, text: str) -> str:
    """The plan document, computed with json.loads and json.dumps."""
    roster = json.loads(text)
    usable = max(total - _reserve(total, pct), 0)
    committed = 0
    admitted: list[str] = []
    rejected: list[dict] = []
    for entry in roster:
        name = entry["model"]
        need = min(
            _field(entry, "weightsBytes", "weights_bytes")
            + (_field(entry, "kvBytes", "kv_bytes") or 0),
            U64_MAX,
        )
        free = max(usable - committed, 0)
        if need <= free:
            admitted.append(name)
            committed += need
        else:
            rejected.append(
                {
                    "free_bytes": free,
                    "model": name,
                    "needed_bytes": need,
                    "short_bytes": need - free,
                }
            )
    lines = [
        f"{len(admitted)} of {len(admitted) + len(rejected)} admitted, "
        f"{_gib(committed)} GiB committed of {_gib(usable)} GiB usable"
    ]
    for r in rejected:
        lines.append(
            f"  REJECTED {r['model']} \u2014 needs {_gib(r['needed_bytes'])} GiB, "
            f"{_gib(r['free_bytes'])} GiB free, short by {_gib(r['short_bytes'])} GiB"
        )
    doc = {
        "admitted": admitted,
        "committed_bytes": committed,
        "declared": len(admitted) + len(rejected),
        "explain": "\n".join(lines),
        "fits": not rejected,
        "headroom_bytes": max(usable - committed, 0),
        "rejected": rejected,
        "usable_bytes": usable,
    }
    return json.dumps(doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


class PyFleet:
    """Records in a dict keyed by name, as a Python host would keep them."""

    def __init__(self, total: int, pct: int, text: str):
        self.total = total
        self.reserve = _reserve(total, pct)
        usable = max(total - self.reserve, 0)
        self.records: dict[str, dict] = {}
        committed = 0
        for entry in json.loads(text):
            need = _field(entry, "weightsBytes", "weights_bytes") + (
                _field(entry, "kvBytes", "kv_bytes") or 0
            )
            free = max(usable - committed, 0)
            admitted = need <= free
            if admitted:
                committed += need
            self.records.setdefault(
                entry["model"],
                {
                    "state": "unprobed",
                    "since": 0,
                    "vram": 0,
                    "endpoint": None,
                    "admitted": admitted,
                    "short": 0 if admitted else need - free,
                },
            )

    def observe_probe_ok(self, model: str, vram: int, now: int) -> None:
        rec = self.records.get(model)
        if rec is not None:
            if rec["state"] != "resident":
                rec["since"] = now
            rec["state"] = "resident"
            rec["vram"] = vram

    def set_endpoint(self, model: str, endpoint: str) -> None:
        rec = self.records.get(model)
        if rec is not None:
            rec["endpoint"] = endpoint

    def route(self, model: str, now: int) -> str:
        rec = self.records.get(model)
        doc: dict = {"model": model, "operator_fault": False, "ready": False}
        if rec is None:
            doc["route"] = "not_declared"
        elif not rec["admitted"]:
            doc["route"] = "not_admitted"
            doc["short_bytes"] = rec["short"]
        elif rec["state"] == "resident" and rec["endpoint"] is not None:
            doc["route"] = "ready"
            doc["ready"] = True
            doc["endpoint"] = rec["endpoint"]
        elif rec["state"] == "loading":
            doc["route"] = "warming"
            doc["for_ms"] = max(now - rec["since"], 0)
        else:
            doc["route"] = "unknown"
        doc["try_elsewhere"] = doc["route"] not in ("ready", "warming")
        return json.dumps(doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False)

    def report(self, now: int) -> str:
        usable = max(self.total - self.reserve, 0)
        committed = sum(r["vram"] for r in self.records.values() if r["state"] == "resident")
        admitted = sum(1 for r in self.records.values() if r["admitted"])
        out = [
            f"{_gib(committed)} / {_gib(usable)} GiB held  "
            f"({len(self.records)} declared, {admitted} admitted)\n"
        ]
        for name, r in self.records.items():
            if not r["admitted"]:
                phrase = f"not admitted \u2014 short by {_gib(r['short'])} GiB"
            elif r["state"] == "resident":
                phrase = f"resident for {max(now - r['since'], 0) // 1000}s"
            elif r["state"] == "loading":
                phrase = f"loading for {max(now - r['since'], 0) // 1000}s"
            else:
                phrase = "never probed"
            out.append(f"  {name.ljust(28)} {phrase}\n")
        return "".join(out)
