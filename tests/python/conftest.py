import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (for what may happen only once per process)."""

    def run(code: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=120,
        )

    return run


class ResidentMemory:
    """The process's resident memory, and how much a test may see it grow by chance."""

    def __init__(self) -> None:
        self.slack = 2 * 2**20
        # Under AddressSanitizer freed blocks wait in a quarantine before they are reused, so
        # the footprint can rise by up to its size before it levels off.
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            options = dict(
                item.split("=", 1)
                for item in os.environ.get("ASAN_OPTIONS", "").split(":")
                if "=" in item
            )
            self.slack += int(options.get("quarantine_size_mb", "256")) * 2**20

    def now(self) -> int:
        try:
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except OSError:
            pytest.skip("no /proc/self/statm")


@pytest.fixture
def resident_memory():
    return ResidentMemory()
