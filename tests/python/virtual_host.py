"""The host driven by a clock the test moves, with stand-ins whose behaviour the test scripts.

`VirtualLoop` is an asyncio loop whose time stands still while anything is ready to run and,
when everything waits, jumps to the next timer instead of sleeping: a load that takes 30 s
takes no time at all, and every step happens at the millisecond its rule says. The host's
clock is the loop's, so the Fleet, the supervisor's timers and the front door's waits agree.

`Stage` puts together what `marlix serve` puts together (a Host, its Supervisor, Metrics and
Front) with scripted processes instead of real ones, and keeps what the Fleet was told (the
events file) to be read back with the time of each event.
"""

from __future__ import annotations

import asyncio
import io
import json
import selectors
import signal
import textwrap
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any
from unittest import mock

from aiohttp import streams, web
from aiohttp.test_utils import make_mocked_request
from marlix.serve.config import parse_config, tomllib
from marlix.serve.front import Front
from marlix.serve.host import Host
from marlix.serve.log import Log
from marlix.serve.metrics import Metrics
from marlix.serve.process import Line
from marlix.serve.supervisor import Supervisor
from marlix.serve.swap import Swapper


class Stalled(RuntimeError):
    """Nothing is ready and no timer is set: the scenario would wait for ever."""


class _VirtualSelector(selectors.BaseSelector):
    def __init__(self) -> None:
        self._real = selectors.DefaultSelector()
        self.now = 0.0

    def register(self, fileobj: Any, events: int, data: Any = None) -> selectors.SelectorKey:
        return self._real.register(fileobj, events, data)

    def unregister(self, fileobj: Any) -> selectors.SelectorKey:
        return self._real.unregister(fileobj)

    def modify(self, fileobj: Any, events: int, data: Any = None) -> selectors.SelectorKey:
        return self._real.modify(fileobj, events, data)

    def select(self, timeout: float | None = None) -> list[Any]:
        ready = self._real.select(0)
        if ready or timeout == 0:
            return ready
        if timeout is None:
            raise Stalled("nothing is ready and no timer is set")
        # Sums of tenths drift in binary (0.1 + 0.2 != 0.3): a time within a nanosecond of a
        # microsecond is that microsecond, so that the steps of a rule land where it says.
        target = self.now + timeout
        snapped = round(target, 6)
        self.now = snapped if abs(snapped - target) < 1e-9 else target
        return []

    def get_map(self) -> Mapping[Any, selectors.SelectorKey]:
        return self._real.get_map()

    def close(self) -> None:
        self._real.close()


class VirtualLoop(asyncio.SelectorEventLoop):
    def __init__(self) -> None:
        self._virtual = _VirtualSelector()
        super().__init__(self._virtual)

    def time(self) -> float:
        return self._virtual.now


@dataclass
class Script:
    """What one start of a stand-in does, in seconds from its start."""

    load_s: float = 1.0  # healthy from then on
    never_ready: bool = False
    exits_after_s: float | None = None  # exits by itself
    exit_code: int = 1
    last_words: str = ""
    # Its health probes fail from the first time of each pair until the second (None: for
    # good).
    sick: Sequence[tuple[float, float | None]] = ()
    cannot_start: bool = False  # the program cannot be executed
    answer_s: float = 0.0  # how long each answer takes, from the request's forwarding
    vram_bytes: int | None = None  # what NVML says it holds once healthy (None: its size)


class FakeProcess:
    """A stand-in's process, as the supervisor sees a Child."""

    def __init__(self, stage: Stage, name: str, pid: int, script: Script) -> None:
        self.stage = stage
        self.name = name
        self.pid = self.pgid = pid
        self.script = script
        self.started = stage.loop.time()
        self.returncode: int | None = None
        self.exited = asyncio.Event()
        self.tail: list[str] = []
        self.killed_after_grace = 0  # its stops never outlast their grace
        self.signals: list[tuple[float, str]] = []
        if script.exits_after_s is not None:
            stage.loop.call_later(script.exits_after_s, self._exit, script.exit_code, True)

    def _exit(self, code: int, by_itself: bool = False) -> None:
        if self.returncode is not None:
            return
        if by_itself and self.script.last_words:
            self.tail.append(self.script.last_words)
        self.returncode = code
        self.exited.set()

    def healthy(self) -> bool:
        if self.returncode is not None or self.script.never_ready:
            return False
        age = self.stage.loop.time() - self.started
        for start, end in self.script.sick:
            if age >= start and (end is None or age < end):
                return False
        return age >= self.script.load_s

    @property
    def last_line(self) -> str | None:
        return self.tail[-1] if self.tail else None

    def last_lines(self, count: int = 5) -> list[Line]:
        return [Line(0.0, "stderr", text) for text in self.tail[-count:]]

    def describe_exit(self) -> str:
        code = self.returncode
        if code is None:
            return "is still running"
        if code < 0:
            return f"was killed by {signal.Signals(-code).name}"
        return f"exited with status {code}"

    def ask_stop(self) -> None:
        self.signals.append((self.stage.loop.time(), "SIGTERM"))
        self._exit(-signal.SIGTERM)

    async def stop(self, grace_s: float) -> None:
        self.ask_stop()

    async def wait_exit(self, timeout_s: float) -> bool:
        try:
            await asyncio.wait_for(self.exited.wait(), timeout_s)
        except asyncio.TimeoutError:
            return False
        return True

    def signal_group(self, sig: int) -> None:
        self._exit(-sig)


@dataclass
class Request:
    """What the front door answered, and when, in seconds of the stage's clock."""

    status: int
    headers: Mapping[str, str]
    body: Any
    at_s: float


@dataclass
class Stage:
    """A host of scripted stand-ins. `scripts` gives, per model, one Script per start (the last
    one repeats)."""

    toml: str
    scripts: Mapping[str, Sequence[Script]] = field(default_factory=dict)
    card_sizes: Sequence[int] = (24 * 2**30,)

    def __post_init__(self) -> None:
        self.loop = asyncio.get_running_loop()
        assert isinstance(self.loop, VirtualLoop), "run the scenario with run_virtual"
        data = tomllib.loads(textwrap.dedent(self.toml))
        self.config = parse_config(data, "stage.toml")
        self.events = io.StringIO()
        self.log_text = io.StringIO()
        self.host = Host(
            self.config,
            self.card_sizes,
            lambda: int(round(self.loop.time() * 1000)),
            Log(out=self.log_text),
            self.events,
        )
        self.metrics = Metrics(self.host)
        gpu = mock.Mock(available=False)
        gpu.group_bytes.side_effect = self._vram
        gpu.present.return_value = True
        self.supervisor = Supervisor(
            self.host, None, gpu, self.metrics, launch=self._launch, probe=self._probe
        )
        self.swapper = Swapper(self.host, self.supervisor, self.metrics)
        self.front = Front(self.host, self.supervisor, self.metrics)
        self.front._proxy = self._answer  # type: ignore[method-assign]
        self.answered: list[tuple[float, str]] = []  # (when, model) of each answer forwarded
        self.processes: dict[str, list[FakeProcess]] = {}
        self._by_port: dict[int, FakeProcess] = {}
        self._pids = 1000

    def start(self) -> None:
        self.supervisor.start()
        if self.host.swap:
            self.swapper.start()

    async def stop(self) -> None:
        await self.swapper.stop()
        await self.supervisor.stop_all()

    # The clock.

    def now_s(self) -> float:
        return self.loop.time()

    async def until(self, at_s: float) -> None:
        """Lets the host run until its clock reads `at_s`."""
        await asyncio.sleep(max(0.0, at_s - self.loop.time()))

    # What the supervisor starts and asks.

    async def _launch(
        self, name: str, argv: Sequence[str], env: Mapping[str, str], grace_s: float
    ) -> Any:
        port = int(argv[argv.index("--port") + 1])
        started = self.processes.setdefault(name, [])
        scripts = self.scripts.get(name) or [Script()]
        script = scripts[min(len(started), len(scripts) - 1)]
        if script.cannot_start:
            raise OSError(2, "No such file or directory")
        self._pids += 1
        process = FakeProcess(self, name, self._pids, script)
        started.append(process)
        self._by_port[port] = process
        return process

    def _vram(self, card: int, pgid: int) -> int | None:
        held = [p for ps in self.processes.values() for p in ps if p.pgid == pgid]
        return held[0].script.vram_bytes if held else None

    async def _probe(self, url: str, timeout_s: float) -> bool:
        port = int(url.split(":")[2].split("/")[0])
        process = self._by_port.get(port)
        return process is not None and process.healthy()

    async def _answer(
        self, request: Any, endpoint: str, body: bytes, route: Any, answered: Any
    ) -> Any:
        """What a stand-in's answer is, to the front door: it takes its script's answer_s."""
        name = route.doc["model"]
        process = self._by_port[int(endpoint.rsplit(":", 1)[1])]
        assert process.returncode is None, f"{name} was asked after its process ended"
        await asyncio.sleep(process.script.answer_s)
        assert process.returncode is None, f"{name} was stopped in the middle of an answer"
        self.answered.append((self.loop.time(), name))
        return web.json_response({"model": name, "pid": process.pid})

    # What the Fleet was told.

    def told(self, name: str | None = None) -> list[tuple[float, str, str]]:
        """(seconds, model, kind) of every observation reported, in order."""
        found = []
        for line in self.events.getvalue().splitlines():
            event = json.loads(line)
            if "kind" in event and (name is None or event["model"] == name):
                found.append((event["now"] / 1000, event["model"], event["kind"]))
        return found

    def times(self, name: str, kind: str) -> list[float]:
        return [at for at, _, told in self.told(name) if told == kind]

    def route(self, name: str) -> str:
        return self.host.route(name).route

    def log(self) -> str:
        return self.log_text.getvalue()

    # The front door, asked as a client asks it.

    async def post(self, body: Any, headers: Mapping[str, str] | None = None) -> Request:
        data = json.dumps(body).encode()
        payload = streams.StreamReader(mock.Mock(), 2**16, loop=self.loop)
        payload.feed_data(data)
        payload.feed_eof()
        request = make_mocked_request(
            "POST",
            "/v1/chat/completions",
            headers={"Content-Length": str(len(data)), **(headers or {})},
            payload=payload,
            loop=self.loop,
        )
        response: Any = await self.front.forward(request)
        return Request(
            response.status, dict(response.headers), json.loads(response.text), self.loop.time()
        )


def run_virtual(scenario: Any) -> None:
    """Runs the coroutine function `scenario` on a VirtualLoop, then ends whatever it left."""
    loop = VirtualLoop()
    try:
        loop.run_until_complete(scenario())
    finally:
        pending = [task for task in asyncio.all_tasks(loop) if not task.done()]
        for task in pending:
            task.cancel()
        if pending:
            loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
        loop.close()
