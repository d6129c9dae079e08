"""Byte counts written the way people write them: 24GiB, 1.5 TiB, 512MB, 25769803776."""

from __future__ import annotations

import re
from fractions import Fraction

MAX_U64 = 2**64 - 1

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

_SIZE = re.compile(r"([0-9]+(?:\.[0-9]+)?) ?([A-Za-z]*)")
_EXPECTED = (
    "expected a byte count such as 25769803776, or a number and a unit such as 24GiB"
    " (units: " + ", ".join(UNITS) + ")"
)


def parse_size(text: str) -> int:
    """Return the number of bytes that `text` names.

    A plain whole number is a byte count; a number followed by one of the units B, KiB, MiB,
    GiB, TiB (powers of 1024) or KB, MB, GB, TB (powers of 1000), with at most one space
    between, is scaled by it. Units are case-sensitive. A fraction is allowed when the result
    is a whole number of bytes ("1.5GiB"). Raises ValueError for anything else.
    """
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"invalid size {text!r}: {_EXPECTED}")
    number, unit = match.groups()
    if unit and unit not in UNITS:
        raise ValueError(f"invalid size {text!r}: unknown unit {unit!r}; {_EXPECTED}")
    scaled = Fraction(number) * UNITS.get(unit, 1)
    if scaled.denominator != 1:
        raise ValueError(f"invalid size {text!r}: not a whole number of bytes")
    if scaled > MAX_U64:
        raise ValueError(f"invalid size {text!r}: more than {MAX_U64} bytes")
    return int(scaled)
