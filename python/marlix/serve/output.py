"""What each model's processes wrote: the last lines in memory, for `GET /models/{name}/log`
and the page, and, with `[server] log_dir`, every line in a file per model, rotated by size.

A process's lines come from its `Child` as they are read, straight to its model's output: the
supervisor names the model when it starts the process.
"""

from __future__ import annotations

import asyncio
import hashlib
import os
import time
from collections import deque
from collections.abc import Awaitable, Mapping, Sequence
from pathlib import Path

from marlix.serve.host import Host
from marlix.serve.log import Log
from marlix.serve.process import Child, Line

KEPT_LINES = 500
# A file name is at most 255 bytes on the file systems that matter, and ".log.NN" follows it.
NAME_LIMIT = 200


def file_name(model: str) -> str:
    """The log file name of `model`: its name with every byte but letters, digits, "-", "_"
    and an inner "." written as %XX, so that "/" and ".." lead nowhere and two names never
    share a file."""
    safe = "".join(
        c if c.isascii() and (c.isalnum() or c in "-_" or (c == "." and i > 0)) else _escaped(c)
        for i, c in enumerate(model)
    )
    if len(safe) > NAME_LIMIT:
        digest = hashlib.sha256(model.encode()).hexdigest()[:16]
        safe = safe[: NAME_LIMIT - 17] + "-" + digest
    return safe + ".log"


def _escaped(char: str) -> str:
    return "".join(f"%{byte:02X}" for byte in char.encode("utf-8", "surrogatepass"))


def line_text(line: Line) -> str:
    """One line as the log shows it: when (UTC, to the millisecond), the stream, the text."""
    seconds = int(line.when)
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds))
    millis = int((line.when - seconds) * 1000)
    return f"{stamp}.{millis:03d}Z {line.stream} {line.text}"


class ModelOutput:
    """One model's output, over every process it has had."""

    def __init__(self, name: str, path: Path | None, max_bytes: int, keep: int, log: Log) -> None:
        self.name = name
        self.lines: deque[Line] = deque(maxlen=KEPT_LINES)
        self.count = 0  # lines ever added: a follower asks for those past the count it has seen
        self._changed = asyncio.Event()
        self.path = path
        self.max_bytes = max_bytes
        self.keep = keep
        self.log = log
        self._file: int | None = None
        self._size = 0

    def add(self, line: Line) -> None:
        self.lines.append(line)
        self.count += 1
        changed, self._changed = self._changed, asyncio.Event()
        changed.set()
        if self.path is not None:
            self._write((line_text(line) + "\n").encode("utf-8", "replace"))

    def since(self, count: int) -> tuple[list[Line], int]:
        """The lines added after the first `count` (as many of them as are still kept), and the
        count now."""
        new = min(self.count - count, len(self.lines))
        return (list(self.lines)[len(self.lines) - new :] if new > 0 else []), self.count

    async def changed(self, timeout_s: float) -> None:
        """Returns when a line is added, or after `timeout_s`."""
        try:
            await asyncio.wait_for(self._changed.wait(), timeout_s)
        except asyncio.TimeoutError:
            pass

    def wake(self) -> None:
        changed, self._changed = self._changed, asyncio.Event()
        changed.set()

    # The file.

    def _write(self, data: bytes) -> None:
        assert self.path is not None
        try:
            if self._file is None:
                self._open()
            elif self._size > 0 and self._size + len(data) > self.max_bytes:
                self._rotate()
            assert self._file is not None
            # Unbuffered: a line is in the file as soon as it is read, whatever ends marlix.
            os.write(self._file, data)
            self._size += len(data)
        except OSError as error:
            self.log.event(
                "model_log_failed",
                f"{self.name}: cannot write its log {self.path}: {error.strerror or error}; "
                "its lines are kept in memory only",
                model=self.name,
            )
            self.close()
            self.path = None

    def _open(self) -> None:
        assert self.path is not None
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self._file = os.open(
            self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644
        )
        # Appends to what an earlier run left, so rotates by the file's whole size.
        self._size = os.fstat(self._file).st_size

    def _rotate(self) -> None:
        """<name>.log becomes <name>.log.1, .1 becomes .2, and so on; the oldest past `keep`
        goes."""
        assert self.path is not None
        self.close()
        old = [self.path.with_name(f"{self.path.name}.{n}") for n in range(1, self.keep + 1)]
        if old:
            old[-1].unlink(missing_ok=True)
            for older, newer in zip(reversed(old[1:]), reversed(old[:-1])):
                if newer.exists():
                    newer.rename(older)
            self.path.rename(old[0])
        else:
            self.path.unlink(missing_ok=True)
        self._open()

    def close(self) -> None:
        if self._file is not None:
            os.close(self._file)
            self._file = None


class Outputs:
    """Every declared model's output."""

    def __init__(self, host: Host, log_dir: str, max_bytes: int, keep: int) -> None:
        self.host = host
        folder = Path(log_dir) if log_dir else None
        self.models = {
            name: ModelOutput(
                name,
                None if folder is None else folder / file_name(name),
                max_bytes,
                keep,
                host.log,
            )
            for name in host.records
        }
        self.closing = False

    def launch(
        self, name: str, argv: Sequence[str], env: Mapping[str, str], grace_s: float
    ) -> Awaitable[Child]:
        """Starts model `name`'s process as `Child.start` does, its lines coming here."""
        output = self.models[name]
        return Child.start(argv, env, grace_s, lambda child, line: output.add(line))

    def of(self, name: str) -> ModelOutput | None:
        return self.models.get(name)

    def close(self) -> None:
        """Ends every follower's stream and closes the files: marlix is stopping."""
        self.closing = True
        for output in self.models.values():
            output.wake()
            output.close()
