"""Starting, probing and ending the model processes. It reports what it sees to the host and
leaves every decision the Fleet makes (which model to load, what a failure means) to it.

One loader loads models one at a time, in the order the Fleet gives; each model then has a task
of its own that probes it while it is resident and reports when it is lost.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
from collections.abc import Awaitable, Mapping, Sequence
from typing import Callable

import aiohttp

from marlix.serve.gpu import Gpu
from marlix.serve.host import Host, ModelRecord
from marlix.serve.metrics import Metrics
from marlix.serve.process import Child, free_port

# During a load the model is asked often, so that a request waiting for it is forwarded within
# a tenth of a second of its first healthy answer (a probe on loopback costs microseconds); each
# probe may take longer than that to be answered.
LOAD_PROBE_INTERVAL_S = 0.1
LOAD_PROBE_TIMEOUT_S = 5.0

# How a model's process is started (model, argv, environment, stop grace) and how its health
# path is asked (url, timeout): processes and HTTP for the host, scripted stand-ins for tests.
Launch = Callable[[str, Sequence[str], Mapping[str, str], float], Awaitable[Child]]
Probe = Callable[[str, float], Awaitable[bool]]


class Supervisor:
    def __init__(
        self,
        host: Host,
        session: aiohttp.ClientSession | None,
        gpu: Gpu,
        metrics: Metrics,
        launch: Launch | None = None,
        probe: Probe | None = None,
    ) -> None:
        self.host = host
        self.metrics = metrics
        self.session = session
        self.gpu = gpu
        self.log = host.log
        self.launch = launch or _start_child
        self.probe = self._healthy if probe is None else probe
        self._loader: asyncio.Task[None] | None = None

    def start(self) -> None:
        self._loader = asyncio.ensure_future(self._load_loop())

    # The loader.

    async def _load_loop(self) -> None:
        host = self.host
        while True:
            host.loader_wake.clear()
            now = host.clock()
            record = host.next_to_load(now)
            if record is None:
                sleep_ms = host.ms_to_next_due(now)
                timeout = None if sleep_ms is None else sleep_ms / 1000
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(host.loader_wake.wait(), timeout)
                continue
            loaded = asyncio.Event()
            task = record.task = asyncio.ensure_future(self._run_model(record, loaded))
            # A task cancelled before it ran never sets `loaded`; its end counts the same.
            waiting = asyncio.ensure_future(loaded.wait())
            try:
                await asyncio.wait({waiting, task}, return_when=asyncio.FIRST_COMPLETED)
            finally:
                waiting.cancel()

    async def _run_model(self, record: ModelRecord, loaded: asyncio.Event) -> None:
        try:
            child = await self._load(record)
        finally:
            loaded.set()
        if child is not None:
            await self._watch(record, child)

    async def _load(self, record: ModelRecord) -> Child | None:
        host, config = self.host, record.config
        queued, record.queued = record.queued, False
        port = free_port()
        argv = config.argv(port)
        env = {**os.environ, **config.env}
        if len(host.cards) > 1:
            # Each process sees its own card alone, numbered as NVML numbers the cards.
            env["CUDA_VISIBLE_DEVICES"] = str(record.card.index)
            env["CUDA_DEVICE_ORDER"] = "PCI_BUS_ID"
        grace_s = host.config.server.stop_grace_s
        starting = asyncio.ensure_future(self.launch(record.name, argv, env, grace_s))
        try:
            child = await asyncio.shield(starting)
        except asyncio.CancelledError:
            # Stopped while the process was being started: it must not be left running.
            starting.add_done_callback(_end_started)
            raise
        except OSError as error:
            self._load_failed(record, f"cannot start {argv[0]!r}: {error.strerror or error}")
            return None
        record.child, record.port = child, port
        if record.lost_since_ready:
            record.restarts += 1
            record.lost_since_ready = False
        now = host.clock()
        record.load_started_ms = now
        record.resident_since_ms = None
        if not queued:  # a load by hand reported its start when it was asked for
            host.observe(record.name, "load_started")
        self.log.event(
            "load_started",
            f"{record.name}: starting (pid {child.pid}, port {port}): {' '.join(argv)}",
            model=record.name,
            pid=child.pid,
            port=port,
        )
        deadline = now + int(config.load_timeout_s * 1000)
        url = f"http://127.0.0.1:{port}{config.health}"
        while True:
            if await self.probe(url, LOAD_PROBE_TIMEOUT_S):
                break
            if child.exited.is_set():
                last = child.last_line
                detail = f"the process {child.describe_exit()} during its load"
                if last:
                    detail += f": {last}"
                await self._end(record, child)
                self._load_failed(record, detail)
                # The status keeps the last line; the log gets what led up to it.
                lines = child.last_lines()
                if lines:
                    self.log.event(
                        "last_lines",
                        f"{record.name}: its last lines: "
                        + " | ".join(f"{line.stream}: {line.text}" for line in lines),
                        model=record.name,
                        lines=[{"stream": line.stream, "text": line.text} for line in lines],
                    )
                return None
            if host.clock() >= deadline:
                await self._end(record, child)
                self._load_failed(
                    record, f"no healthy answer within {_seconds(config.load_timeout_s)} s"
                )
                return None
            await child.wait_exit(LOAD_PROBE_INTERVAL_S)
        vram = self.gpu.group_bytes(record.card.index, child.pgid)
        if vram is None:
            vram = config.need_bytes
        host.observe(record.name, "probe_ok", {"vramBytes": vram})
        record.vram_bytes = vram
        host.set_endpoint(record.name, f"http://127.0.0.1:{port}")
        now = host.clock()
        record.resident_since_ms = now
        record.last_load_ms = now - record.load_started_ms
        record.load_started_ms = None
        self.metrics.loads.labels(record.name, "ready").inc()
        self.metrics.load_seconds.labels(record.name).observe(record.last_load_ms / 1000)
        self.log.event(
            "ready",
            f"{record.name}: ready at http://127.0.0.1:{port} after "
            f"{record.last_load_ms / 1000:.1f} s, holding {vram} bytes",
            model=record.name,
            load_ms=record.last_load_ms,
            vram_bytes=vram,
        )
        return child

    def _load_failed(self, record: ModelRecord, detail: str) -> None:
        record.load_started_ms = None
        record.failed_loads += 1
        record.last_failure = detail
        self.metrics.loads.labels(record.name, "failed").inc()
        self.host.observe(record.name, "load_failed", {"detail": detail})
        self.host.schedule_reload(record, detail)
        self.log.event(
            "load_failed",
            f"{record.name}: load failed: {detail}; next try in "
            f"{(record.next_load_ms - self.host.clock()) / 1000:.0f} s",
            model=record.name,
            detail=detail,
        )

    async def _watch(self, record: ModelRecord, child: Child) -> None:
        """Probes a resident model until it is lost, and reports the loss."""
        host, config = self.host, record.config
        url = f"http://127.0.0.1:{record.port}{config.health}"
        failures = 0
        while True:
            if await child.wait_exit(config.probe_interval_s):
                code = child.returncode
                detail: dict[str, object] = {"code": code} if code is not None else {}
                failure = f"the process {child.describe_exit()}"
                if child.last_line:
                    failure += f": {child.last_line}"
                record.last_failure = failure
                host.observe(record.name, "process_exited", detail)
                host.schedule_reload(record, failure)
                await self._end(record, child)
                self.log.event(
                    "process_exited",
                    f"{record.name}: lost: {failure}; next try in "
                    f"{(record.next_load_ms - host.clock()) / 1000:.0f} s",
                    model=record.name,
                    code=code,
                )
                return
            if await self.probe(url, min(config.probe_interval_s, 5.0)):
                failures = 0
                continue
            if child.exited.is_set():
                continue  # reported as an exit on the next turn
            failures += 1
            if failures < config.probe_failures:
                continue
            failure = f"{failures} health probes in a row failed"
            record.last_failure = failure
            host.observe(
                record.name,
                "probe_failed",
                {"gpuPresent": self.gpu.present(record.card.index), "detail": failure},
            )
            self.log.event(
                "probe_failed",
                f"{record.name}: lost: {failure}; restarting it",
                model=record.name,
            )
            host.schedule_reload(record, failure)
            await self._end(record, child)
            return

    async def _healthy(self, url: str, timeout_s: float) -> bool:
        assert self.session is not None
        try:
            timeout = aiohttp.ClientTimeout(total=timeout_s)
            async with self.session.get(url, timeout=timeout) as answer:
                await answer.read()
                return answer.status == 200
        except (aiohttp.ClientError, asyncio.TimeoutError, OSError):
            return False

    async def _end(self, record: ModelRecord, child: Child) -> None:
        # While a process ends it may still hold memory the Fleet counts as free: the loader
        # starts nothing until it is gone.
        host = self.host
        host.ending += 1
        grace_s = host.config.server.stop_grace_s
        try:
            await child.stop(grace_s)
            if child.killed_after_grace:
                self.log.event(
                    "killed",
                    f"{record.name}: did not end within {_seconds(grace_s)} s of SIGTERM; killed",
                    model=record.name,
                    processes=child.killed_after_grace,
                )
        finally:
            host.ending -= 1
            if record.child is child:
                record.child = None
                record.port = None
            host.wake_loader()

    # By hand.

    async def unload(self, record: ModelRecord) -> None:
        record.held = True
        await self._stop_model(record, report=True)
        self.log.event("stopped", f"{record.name}: stopped by hand", model=record.name)

    async def stop_leaving(self, record: ModelRecord) -> None:
        """Stops a model that left its card's working set (its requests have ended)."""
        if await self._stop_model(record, report=False):
            self.log.event("swapped_out", f"{record.name}: stopped", model=record.name)

    async def _stop_model(self, record: ModelRecord, report: bool) -> bool:
        """Ends the model's load or watch and its process; tells the Fleet of the stop when
        `report`. True when there was a process to end."""
        record.queued = False
        task, record.task = record.task, None
        if task is not None and task is not asyncio.current_task():
            task.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await task
        if report:
            self.host.observe(record.name, "stop")
        record.load_started_ms = None
        record.resident_since_ms = None
        child = record.child
        if child is not None:
            await self._end(record, child)
        self.host.wake_loader()
        return child is not None

    def load(self, record: ModelRecord) -> None:
        host = self.host
        if record.out or record.draining:
            # Swapped out: it is given room as a request for it would be.
            record.held = False
            host.ask_for(record)
            return
        if record.held:
            record.held = False
            record.queued = True
            record.delay_s = 1.0
            record.next_load_ms = 0
            host.observe(record.name, "load_started")
            record.load_started_ms = host.clock()
            self.log.event("load_asked", f"{record.name}: load asked by hand", model=record.name)
        elif record.child is None and record.next_load_ms > host.clock():
            record.next_load_ms = 0  # no need to wait out the delay: someone asked
        host.wake_loader()

    # Shutting down.

    async def stop_all(self) -> None:
        host = self.host
        host.stopping = True
        if self._loader is not None:
            self._loader.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._loader
        tasks = [r.task for r in host.records.values() if r.task is not None]
        for task in tasks:
            task.cancel()
        for task in tasks:
            with contextlib.suppress(asyncio.CancelledError):
                await task
        for record in host.admitted_records():
            host.observe(record.name, "stop")
        children = [(r, r.child) for r in host.records.values() if r.child is not None]
        await asyncio.gather(*(self._end(r, c) for r, c in children if c is not None))


def _start_child(
    name: str, argv: Sequence[str], env: Mapping[str, str], grace_s: float
) -> Awaitable[Child]:
    return Child.start(argv, env, grace_s)


def _end_started(starting: asyncio.Future[Child]) -> None:
    # The keeper ends the whole tree, even what may have left the group already.
    if not starting.cancelled() and starting.exception() is None:
        starting.result().ask_stop()


def _seconds(value: float) -> str:
    return str(int(value)) if value == int(value) else str(value)
