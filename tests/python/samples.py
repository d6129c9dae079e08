"""Inputs shared by several test files."""

import json

GIB = 2**30
CARD = 24 * GIB  # 23192823406 bytes usable with a 10 % reserve

# The worked example: b does not fit, a and c do. Both key spellings appear.
WORKED_ROSTER = json.dumps(
    [
        {"model": "a", "weightsBytes": 8 * GIB, "kvBytes": 2 * GIB},
        {"model": "b", "weightsBytes": 16 * GIB},
        {"model": "c", "weights_bytes": 4 * GIB, "kv_bytes": GIB},
    ]
)


class Index:
    """An integer-like object: accepted wherever an int is."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
