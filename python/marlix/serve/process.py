"""One model server process, started under a keeper of its own (see keeper.py) that ends
everything the command starts when marlix stops it or goes, in a process group of its own (so
NVML's figures can be summed by group), with the last lines of its stderr kept for the failure
report."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
from collections import deque
from collections.abc import Mapping, Sequence
from pathlib import Path

from marlix.serve.keeper import COMMAND_VARIABLE

TAIL_LINES = 20
LINE_LIMIT = 4096
KEEPER = str(Path(__file__).with_name("keeper.py"))
# The keeper reports the command's pid as soon as it has started it: a few milliseconds.
REPORT_TIMEOUT_S = 10.0
# What a stop waits beyond the grace for the keeper to have reaped the tree it SIGKILLed.
STOP_MARGIN_S = 2.0


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        port: int = sock.getsockname()[1]
        return port


class _Watch(asyncio.SubprocessProtocol):
    """What the loop tells of a keeper: its stderr line by line, and its exit as soon as it
    happens (a process of the tree may hold stderr open long after)."""

    def __init__(self, tail: deque[str]) -> None:
        self.tail = tail
        self.partial = b""
        self.exited = asyncio.Event()
        self.drained = asyncio.Event()

    def pipe_data_received(self, fd: int, data: bytes) -> None:
        *lines, partial = (self.partial + data).split(b"\n")
        for line in lines:
            self._keep(line)
        self.partial = partial[-LINE_LIMIT:]  # a line without end is kept by its end

    def pipe_connection_lost(self, fd: int, exc: Exception | None) -> None:
        self._keep(self.partial)
        self.partial = b""
        self.drained.set()

    def process_exited(self) -> None:
        self.exited.set()

    def _keep(self, line: bytes) -> None:
        text = line.decode("utf-8", "replace").rstrip()
        if text:
            self.tail.append(text)


class Child:
    def __init__(self, transport: asyncio.SubprocessTransport, watch: _Watch, life_fd: int) -> None:
        self._transport = transport
        self._watch = watch
        self.keeper = transport.get_pid()
        self.pid = self.keeper  # the command's own, once the keeper has reported it
        self.pgid = self.keeper  # the keeper leads a session and group the command shares
        self.tail = watch.tail
        self.returncode: int | None = None
        self.exited = asyncio.Event()
        # The write end of the keeper's life pipe: held, never written, closed by marlix's end.
        self._life_fd: int | None = life_fd
        self._task = asyncio.ensure_future(self._wait())

    @classmethod
    async def start(cls, argv: Sequence[str], env: Mapping[str, str], grace_s: float) -> Child:
        """Starts `argv` under a keeper that gives it `grace_s` between SIGTERM and SIGKILL.
        Raises OSError, as an exec would, when the command cannot be executed."""
        # Forked from the loop's thread, which lasts as long as marlix: a parent-death signal
        # follows the thread that forked, not the process.
        loop = asyncio.get_running_loop()
        tail: deque[str] = deque(maxlen=TAIL_LINES)
        report_r, report_w = os.pipe()
        life_r, life_w = os.pipe()
        try:
            transport, watch = await loop.subprocess_exec(
                lambda: _Watch(tail),
                sys.executable,
                "-I",
                "-S",
                KEEPER,
                repr(float(grace_s)),
                str(report_w),
                str(life_r),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
                env={**env, COMMAND_VARIABLE: json.dumps(list(argv))},
                start_new_session=True,
                pass_fds=(report_w, life_r),
            )
        except BaseException:
            os.close(report_r)
            os.close(life_w)
            raise
        finally:
            os.close(report_w)
            os.close(life_r)
        child = cls(transport, watch, life_w)
        try:
            report = await _read_line(report_r, REPORT_TIMEOUT_S)
            kind, _, value = report.partition(" ")
            if kind == "pid" and value.isdigit():
                child.pid = int(value)
                return child
            # The keeper exits at once after an error; anything else is killed.
            if not await child.wait_exit(REPORT_TIMEOUT_S):
                child.signal_group(signal.SIGKILL)
                await child.exited.wait()
            if kind == "error" and value.isdigit():
                raise OSError(int(value), os.strerror(int(value)))
            detail = f"its keeper {child.describe_exit()}"
            if child.last_line:
                detail += f": {child.last_line}"
            raise OSError(0, detail)
        except BaseException:
            child.signal_group(signal.SIGKILL)
            raise

    async def _wait(self) -> None:
        # The keeper ends as the command did, once the command's tree is gone.
        await self._watch.exited.wait()
        self.returncode = self._transport.get_returncode()
        # Were the keeper itself killed, the group it leads would still hold the command.
        self.signal_group(signal.SIGKILL)
        if self._life_fd is not None:
            os.close(self._life_fd)
            self._life_fd = None
        # The last words on stderr may still be in the pipe.
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._watch.drained.wait(), 0.5)
        self._transport.close()
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

    def ask_stop(self) -> None:
        """Asks the keeper to end the tree (SIGTERM, SIGKILL after its grace) and returns."""
        if self._transport.get_returncode() is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.keeper, signal.SIGTERM)

    async def stop(self, grace_s: float) -> None:
        """Asks the keeper to end the tree (SIGTERM, SIGKILL after `grace_s`); returns once it
        is gone. Should the keeper not be gone soon after the grace, its group is killed."""
        if not self.exited.is_set():
            self.ask_stop()
            if not await self.wait_exit(grace_s + STOP_MARGIN_S):
                self.signal_group(signal.SIGKILL)
                await self.exited.wait()
        self.signal_group(signal.SIGKILL)

    async def wait_exit(self, timeout_s: float) -> bool:
        try:
            await asyncio.wait_for(self.exited.wait(), timeout_s)
        except asyncio.TimeoutError:
            return False
        return True


async def _read_line(fd: int, timeout_s: float) -> str:
    """The first line written on the pipe `fd` (empty if none comes within `timeout_s`), which
    it closes."""
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    pipe = os.fdopen(fd, "rb", buffering=0)
    try:
        transport, _ = await loop.connect_read_pipe(
            lambda: asyncio.StreamReaderProtocol(reader), pipe
        )
    except BaseException:
        pipe.close()
        raise
    try:
        line = await asyncio.wait_for(reader.readline(), timeout_s)
    except asyncio.TimeoutError:
        line = b""
    finally:
        transport.close()
    return line.decode("utf-8", "replace").strip()
