"""The first line a server the benchmarks start prints on stdout: where it says it listens."""

from __future__ import annotations

import os
import selectors
import subprocess
import time


def first_line(process: subprocess.Popen[bytes], timeout_s: float) -> bytes:
    """What `process` printed up to its first newline, or before it closed stdout or
    `timeout_s` ran out."""
    assert process.stdout is not None
    line = b""
    deadline = time.monotonic() + timeout_s
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while b"\n" not in line and time.monotonic() < deadline:
            if selector.select(max(deadline - time.monotonic(), 0)):
                data = os.read(process.stdout.fileno(), 4096)
                if not data:
                    break
                line += data
    return line
