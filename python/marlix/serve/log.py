"""The host's log: one line per event on stderr, as text or as one JSON object a line."""

from __future__ import annotations

import json
import sys
import time
from typing import TextIO


class Log:
    def __init__(self, json_lines: bool = False, out: TextIO | None = None) -> None:
        self.json_lines = json_lines
        self.out = out if out is not None else sys.stderr

    def event(self, event: str, message: str, **fields: object) -> None:
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime())
        if self.json_lines:
            line = json.dumps(
                {"time": stamp + "Z", "event": event, "message": message, **fields},
                ensure_ascii=False,
            )
        else:
            line = f"{stamp}Z marlix: {message}"
        try:
            self.out.write(line + "\n")
            self.out.flush()
        except (OSError, ValueError):
            pass  # a log that cannot be written must not stop the host
