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
