"""One model server process: started in a process group of its own (so a signal reaches every
process it starts) that cannot outlive marlix, with the last lines of its stderr kept for the
failure report."""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import os
import signal
import socket
import sys
from collections import deque
from collections.abc import Mapping, Sequence

TAIL_LINES = 20

_PR_SET_PDEATHSIG = 1


def _die_with_parent(parent: int) -> None:
    # Runs in the child between fork and exec: ask the kernel to kill it when marlix goes,
    # and go at once when marlix went already.
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        port: int = sock.getsockname()[1]
        return port


class Child:
    def __init__(self, process: asyncio.subprocess.Process) -> None:
        self.process = process
        self.pid = process.pid
        self.pgid = process.pid  # the leader of its own session and group
        self.tail: deque[str] = deque(maxlen=TAIL_LINES)
        self.returncode: int | None = None
        self.exited = asyncio.Event()
        self._drained = asyncio.Event()
        self._tasks = [
            asyncio.ensure_future(self._drain()),
            asyncio.ensure_future(self._wait()),
        ]

    @classmethod
    async def start(cls, argv: Sequence[str], env: Mapping[str, str]) -> Child:
        parent = os.getpid()
        process = await asyncio.create_subprocess_exec(
            *argv,
            stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.DEVNULL,
            stderr=asyncio.subprocess.PIPE,
            env=dict(env),
            start_new_session=True,
            preexec_fn=lambda: _die_with_parent(parent),
        )
        return cls(process)

    async def _drain(self) -> None:
        stream = self.process.stderr
        try:
            while stream is not None:
                line = await stream.readline()
                if not line:
                    break
                text = line.decode("utf-8", "replace").rstrip()
                if text:
                    self.tail.append(text)
        finally:
            self._drained.set()

    async def _wait(self) -> None:
        self.returncode = await self.process.wait()
        # Whatever the leader left behind in its group goes with it.
        self.signal_group(signal.SIGKILL)
        # The last words on stderr may still be in the pipe.
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._drained.wait(), 0.5)
        self.exited.set()

    @property
    def last_line(self) -> str | None:
        return self.tail[-1] if self.tail else None

    def describe_exit(self) -> str:
        code = self.returncode
        if code is None:
            return "is still running"
        if code < 0:
            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = f"signal {-code}"
            return f"was killed by {name}"
        return f"exited with status {code}"

    def signal_group(self, sig: int) -> None:
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(self.pgid, sig)

    async def stop(self, grace_s: float) -> None:
        """SIGTERM to the group, SIGKILL after `grace_s`; returns once the leader is gone."""
        if not self.exited.is_set():
            self.signal_group(signal.SIGTERM)
            try:
                await asyncio.wait_for(self.exited.wait(), grace_s)
            except asyncio.TimeoutError:
                self.signal_group(signal.SIGKILL)
                await self.exited.wait()
        self.signal_group(signal.SIGKILL)

    async def wait_exit(self, timeout_s: float) -> bool:
        try:
            await asyncio.wait_for(self.exited.wait(), timeout_s)
        except asyncio.TimeoutError:
            return False
        return True
