"""One model server process, started under a keeper of its own (see keeper.py) that ends
everything the command starts when marlix stops it or goes, in a process group of its own (so
NVML's figures can be summed by group). Its stdout and stderr are read line by line and handed
on in the order they come, each line with its stream; the last ones are kept for the failure
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
import time
from collections import deque
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from marlix.serve.keeper import COMMAND_VARIABLE

TAIL_LINES = 20
FAILURE_LINES = 5  # the lines a failed load's log names
# Longer lines are cut into lines of this many bytes, so that memory stays bounded whatever a
# process writes.
LINE_LIMIT = 4096
KEEPER = str(Path(__file__).with_name("keeper.py"))
# The keeper reports the command's pid as soon as it has started it: a few milliseconds.
REPORT_TIMEOUT_S = 10.0
# What a stop waits beyond the grace for the keeper to have reaped the tree it SIGKILLed.
STOP_MARGIN_S = 2.0
# How long an ended keeper's pipes may take to give their last bytes: a process of the tree may
# hold them open a little longer.
DRAIN_S = 0.5
STREAMS = {1: "stdout", 2: "stderr"}
PENDING_LINES = 1000


@dataclass(frozen=True)
class Line:
    """One line a model process wrote, or one marlix wrote about it (stream "marlix")."""

    when: float  # time.time() when it was read
    stream: str  # "stdout", "stderr" or "marlix"
    text: str


# Where a child's lines go as they are read: the model's output, once someone claims them.
OnLine = Callable[["Child", Line], None]


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        port: int = sock.getsockname()[1]
        return port


class _Watch(asyncio.SubprocessProtocol):
    """What the loop tells of a keeper: its stdout and stderr line by line (the command's, which
    inherits both), and its exit as soon as it happens (a process of the tree may hold the pipes
    open long after). Lines wait in `pending` until someone takes them."""

    def __init__(self) -> None:
        self.partial = {fd: b"" for fd in STREAMS}
        # Bounded: lines wait here only until the keeper has reported the command's pid.
        self.pending: deque[Line] = deque(maxlen=PENDING_LINES)
        self.sink: Callable[[Line], None] | None = None
        self.open_pipes = len(STREAMS)
        self.exited = asyncio.Event()
        self.drained = asyncio.Event()

    def pipe_data_received(self, fd: int, data: bytes) -> None:
        if fd not in STREAMS:
            return
        *lines, partial = (self.partial[fd] + data).split(b"\n")
        while len(partial) > LINE_LIMIT:
            cut = LINE_LIMIT
            while cut > 1 and partial[cut] & 0xC0 == 0x80:  # not inside a UTF-8 character
                cut -= 1
            lines.append(partial[:cut])
            partial = partial[cut:]
        for line in lines:
            self._keep(fd, line)
        self.partial[fd] = partial

    def pipe_connection_lost(self, fd: int, exc: Exception | None) -> None:
        if fd not in STREAMS:
            return
        if self.partial[fd]:
            self._keep(fd, self.partial[fd])
        self.partial[fd] = b""
        self.open_pipes -= 1
        if self.open_pipes <= 0:
            self.drained.set()

    def process_exited(self) -> None:
        self.exited.set()

    def _keep(self, fd: int, raw: bytes) -> None:
        # A line rewritten with carriage returns (a progress bar) shows what a terminal would.
        text = raw.rstrip(b"\r").rpartition(b"\r")[2].decode("utf-8", "replace").rstrip()
        self.give(Line(time.time(), STREAMS[fd], text))

    def give(self, line: Line) -> None:
        if self.sink is None:
            self.pending.append(line)
        else:
            self.sink(line)

    def attach(self, sink: Callable[[Line], None]) -> None:
        self.sink = sink
        pending, self.pending = self.pending, deque()
        for line in pending:
            sink(line)


class Child:
    def __init__(
        self,
        transport: asyncio.SubprocessTransport,
        watch: _Watch,
        life_fd: int,
        report: _Report,
        argv: Sequence[str],
        on_line: OnLine | None = None,
    ) -> None:
        self._transport = transport
        self._watch = watch
        self._report = report
        self.argv = list(argv)
        self._on_line = on_line
        self.keeper = transport.get_pid()
        self.pid = self.keeper  # the command's own, once the keeper has reported it
        self.pgid = self.keeper  # the keeper leads a session and group the command shares
        self.tail: deque[str] = deque(maxlen=TAIL_LINES)  # stderr, for the failure texts
        self.recent: deque[Line] = deque(maxlen=TAIL_LINES)  # both streams, in order
        self.returncode: int | None = None
        # Processes of the tree the keeper had to SIGKILL after the grace of a stop.
        self.killed_after_grace = 0
        self.exited = asyncio.Event()
        # The write end of the keeper's life pipe: held, never written, closed by marlix's end.
        self._life_fd: int | None = life_fd
        self._task = asyncio.ensure_future(self._wait())

    @classmethod
    async def start(
        cls,
        argv: Sequence[str],
        env: Mapping[str, str],
        grace_s: float,
        on_line: OnLine | None = None,
    ) -> Child:
        """Starts `argv` under a keeper that gives it `grace_s` between SIGTERM and SIGKILL,
        handing each line it writes to `on_line`. Raises OSError, as an exec would, when the
        command cannot be executed."""
        # Forked from the loop's thread, which lasts as long as marlix: a parent-death signal
        # follows the thread that forked, not the process.
        loop = asyncio.get_running_loop()
        report_r, report_w = os.pipe()
        life_r, life_w = os.pipe()
        try:
            report = await _Report.open(report_r)
        except BaseException:
            for fd in (report_w, life_r, life_w):
                os.close(fd)
            raise
        try:
            transport, watch = await loop.subprocess_exec(
                _Watch,
                sys.executable,
                "-I",
                "-S",
                KEEPER,
                repr(float(grace_s)),
                str(report_w),
                str(life_r),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env={**env, COMMAND_VARIABLE: json.dumps(list(argv))},
                start_new_session=True,
                pass_fds=(report_w, life_r),
            )
        except BaseException:
            report.close()
            os.close(life_w)
            raise
        finally:
            os.close(report_w)
            os.close(life_r)
        child = cls(transport, watch, life_w, report, argv, on_line)
        try:
            kind, _, value = (await report.first_line(REPORT_TIMEOUT_S)).partition(" ")
            if kind == "pid" and value.isdigit():
                child.pid = int(value)
                child._say(f"started pid {child.pid}: {' '.join(child.argv)}")
                watch.attach(child._keep)
                return child
            watch.attach(child._keep)
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

    def _keep(self, line: Line) -> None:
        if line.text:
            if line.stream == "stderr":
                self.tail.append(line.text)
            self.recent.append(line)
        if self._on_line is not None:
            self._on_line(self, line)

    def _say(self, text: str) -> None:
        """A line of marlix's own in the model's output, where the process's lines are."""
        self._keep(Line(time.time(), "marlix", text))

    async def _wait(self) -> None:
        # The keeper ends as the command did, once the command's tree is gone.
        await self._watch.exited.wait()
        self.returncode = self._transport.get_returncode()
        # Were the keeper itself killed, the group it leads would still hold the command.
        self.signal_group(signal.SIGKILL)
        if self._life_fd is not None:
            os.close(self._life_fd)
            self._life_fd = None
        # The last words on stdout and stderr, and the keeper's report, may still be in pipes.
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._watch.drained.wait(), DRAIN_S)
        for line in await self._report.rest(DRAIN_S):
            kind, _, value = line.partition(" ")
            if kind == "killed" and value.isdigit():
                self.killed_after_grace = max(self.killed_after_grace, int(value))
        self._report.close()
        self._transport.close()
        if self._watch.sink is not None:  # a child that never started says nothing of its end
            ended = f"pid {self.pid} {self.describe_exit()}"
            if self.killed_after_grace:
                ended += " (SIGKILLed after the stop's grace)"
            self._say(ended)
        self.exited.set()

    @property
    def last_line(self) -> str | None:
        """The last line the process wrote to stderr."""
        return self.tail[-1] if self.tail else None

    def last_lines(self, count: int = FAILURE_LINES) -> list[Line]:
        """The last `count` lines the process wrote, both streams in order."""
        return [line for line in self.recent if line.stream != "marlix"][-count:]

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
                self.killed_after_grace = max(self.killed_after_grace, 1)
                self.signal_group(signal.SIGKILL)
                await self.exited.wait()
        self.signal_group(signal.SIGKILL)

    async def wait_exit(self, timeout_s: float) -> bool:
        try:
            await asyncio.wait_for(self.exited.wait(), timeout_s)
        except asyncio.TimeoutError:
            return False
        return True


class _Report(asyncio.Protocol):
    """The read end of the keeper's report pipe: every line it writes, until it exits."""

    def __init__(self) -> None:
        self.lines: list[str] = []
        self.partial = b""
        self.ended = False
        self.changed = asyncio.Event()
        self.transport: asyncio.ReadTransport | None = None

    @classmethod
    async def open(cls, fd: int) -> _Report:
        loop = asyncio.get_running_loop()
        pipe = os.fdopen(fd, "rb", buffering=0)
        try:
            transport, report = await loop.connect_read_pipe(cls, pipe)
        except BaseException:
            pipe.close()
            raise
        report.transport = transport
        return report

    def data_received(self, data: bytes) -> None:
        *lines, self.partial = (self.partial + data).split(b"\n")
        self.lines += [line.decode("utf-8", "replace").strip() for line in lines]
        self.changed.set()

    def eof_received(self) -> bool | None:
        self.ended = True
        self.changed.set()
        return None

    def connection_lost(self, exc: Exception | None) -> None:
        self.ended = True
        self.changed.set()

    async def _until(self, done: Callable[[], bool], timeout_s: float) -> None:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout_s
        while not done() and not self.ended:
            self.changed.clear()
            left = deadline - loop.time()
            if left <= 0:
                return
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(self.changed.wait(), left)

    async def first_line(self, timeout_s: float) -> str:
        """The first line (empty if none comes within `timeout_s`)."""
        await self._until(lambda: bool(self.lines), timeout_s)
        return self.lines[0] if self.lines else ""

    async def rest(self, timeout_s: float) -> list[str]:
        """The lines after the first, once the keeper has closed the pipe (or after
        `timeout_s`)."""
        await self._until(lambda: False, timeout_s)
        return self.lines[1:]

    def close(self) -> None:
        if self.transport is not None:
            self.transport.close()
