"""Byte counts written the way people write them: 24GiB, 1.5 TiB, 512MB, 25769803776."""

from __future__ import annotations

import re
from fractions import Fraction

MAX_U64 = 2**64 - 1
MIB = 2**20
GIB = 2**30

UNITS = {
    "B": 1,
    "KiB": 2**10,
    "MiB": 2**20,
    "GiB": 2**30,
    "TiB": 2**40,
    "KB": 10**3,
    "MB": 10**6,
    "GB": 10**9,
    "TB": 10**12,
}

# A unit with the right letter in the wrong case or without its "i" or "B": whether 1024s or
# 1000s were meant is the writer's to say, so both are offered.
_LOOSE_UNITS = {prefix + rest for prefix in "kmgt" for rest in ("", "b", "i", "ib")}

_SIZE = re.compile(r"([0-9]+(?:\.[0-9]+)?) ?([A-Za-z]*)")
_EXPECTED = (
    "expected a byte count such as 25769803776, or a number and a unit such as 24GiB"
    " (units: " + ", ".join(UNITS) + ")"
)


class SizeHint(ValueError):
    """A size refused with what its writer most likely meant: `meant` holds the sizes to
    offer, so that a caller showing the size inside a longer text (2x24) can offer that text."""

    def __init__(self, refusal: str, meant: tuple[str, ...]) -> None:
        super().__init__(refusal, meant)
        self.refusal = refusal
        self.meant = meant

    def offering(self, prefix: str = "") -> str:
        """The refusal, then each size meant with `prefix` before it."""
        return f"{self.refusal}: did you mean {' or '.join(prefix + m for m in self.meant)}?"

    def __str__(self) -> str:
        return self.offering()


def parse_size(text: str, of: str | None = None) -> int:
    """Return the number of bytes that `text` names.

    A plain whole number is a byte count; a number followed by one of the units B, KiB, MiB,
    GiB, TiB (powers of 1024) or KB, MB, GB, TB (powers of 1000), with at most one space
    between, is scaled by it. Units are case-sensitive. A fraction is allowed when the result
    is a whole number of bytes ("1.5GiB"). Raises ValueError for anything else, SizeHint when
    the unit is right but for its case or a missing letter ("24G", "24gib").

    `of` names what the size is of ("card", "model"): then a plain number below 1 MiB, other
    than 0, is taken for a unit left out and refused with a SizeHint ("24" -> 24GiB), as no
    such thing is that small.
    """
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"invalid size {text!r}: {_EXPECTED}")
    number, unit = match.groups()
    if unit and unit not in UNITS:
        if unit.lower() in _LOOSE_UNITS:
            prefix = unit[0].upper()
            raise SizeHint(
                f"{text.strip()} is not a size", (f"{number}{prefix}iB", f"{number}{prefix}B")
            )
        raise ValueError(f"invalid size {text!r}: unknown unit {unit!r}; {_EXPECTED}")
    scaled = Fraction(number) * UNITS.get(unit, 1)
    if of is not None and not unit and 0 < scaled < MIB and (scaled * GIB).denominator == 1:
        noun = "byte" if scaled == 1 else "bytes"
        raise SizeHint(f"{number} {noun} is not a {of}", (f"{number}GiB",))
    if scaled.denominator != 1:
        raise ValueError(f"invalid size {text!r}: not a whole number of bytes")
    if scaled > MAX_U64:
        raise ValueError(f"invalid size {text!r}: more than {MAX_U64} bytes")
    return int(scaled)
