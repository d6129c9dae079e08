"""`marlix serve`: the host put together and run until SIGINT, SIGTERM, SIGHUP or SIGQUIT."""

from __future__ import annotations

import asyncio
import logging
import signal
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TextIO

import aiohttp
from aiohttp import web

from marlix.serve.config import Config
from marlix.serve.front import HOST_KEY, BrokenAnswer, Front
from marlix.serve.gpu import Gpu
from marlix.serve.host import Host
from marlix.serve.log import Log
from marlix.serve.metrics import Metrics
from marlix.serve.output import Outputs
from marlix.serve.supervisor import Supervisor
from marlix.serve.swap import Swapper


def monotonic_ms() -> int:
    return time.monotonic_ns() // 1_000_000


@dataclass(frozen=True)
class Options:
    events_path: str | None = None
    json_log: bool = False
    access_log: bool = False  # a log line for every request, not only those that did not end well


def run(config: Config, card_sizes: Sequence[int], options: Options) -> int:
    return asyncio.run(_serve(config, card_sizes, options))


async def _serve(config: Config, card_sizes: Sequence[int], options: Options) -> int:
    log = Log(json_lines=options.json_log)
    _route_library_logs(log)
    events: TextIO | None = None
    if options.events_path is not None:
        events = open(options.events_path, "a", encoding="utf-8")  # noqa: SIM115
    gpu = Gpu()
    try:
        host = Host(config, card_sizes, monotonic_ms, log, events)
        for card in host.cards:
            where = f"card {card.index}: " if len(host.cards) > 1 else ""
            explain = card.plan["explain"].replace("\n", " |")
            log.event("plan", f"plan: {where}{explain}", card=card.index, plan=card.plan)
        for unplaced in host.unplaced():
            log.event(
                "unplaced",
                f"{unplaced['model']}: no card can hold it "
                f"(short by {unplaced['short_bytes']} bytes on the last)"
                if len(host.cards) > 1
                else f"{unplaced['model']}: the card cannot hold it "
                f"(short by {unplaced['short_bytes']} bytes)",
                model=unplaced["model"],
            )
        for record in host.records.values():
            if record.out:
                log.event(
                    "swapped_out",
                    f"{record.name}: swapped out; loaded when a request asks for it",
                    model=record.name,
                )
        if not gpu.available:
            log.event("no_gpu", "NVML is not available: each model is taken to hold its size")
        return await _run_host(host, gpu, log, options.access_log)
    finally:
        gpu.close()
        if events is not None:
            events.close()


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)


async def _run_host(host: Host, gpu: Gpu, log: Log, access_log: bool) -> int:
    server = host.config.server
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    signals = 0

    def on_signal(number: int) -> None:
        nonlocal signals
        signals += 1
        if signals == 1:
            log.event("stopping", f"{signal.Signals(number).name}: stopping")
            stop.set()

    # A hangup or a quit is a stop like any other: the models end gracefully and marlix with 0.
    for number in STOP_SIGNALS:
        loop.add_signal_handler(number, on_signal, number)

    # One session with keep-alive to every model process; answers pass through as they are.
    connector = aiohttp.TCPConnector(limit=0, keepalive_timeout=60)
    async with aiohttp.ClientSession(
        connector=connector, auto_decompress=False, cookie_jar=aiohttp.DummyCookieJar()
    ) as session:
        metrics = Metrics(host)
        outputs = Outputs(host, server.log_dir, server.log_max_bytes, server.log_keep)
        supervisor = Supervisor(host, session, gpu, metrics, launch=outputs.launch)
        front = Front(host, supervisor, metrics, access_log=access_log)
        front.session = session
        front.outputs = outputs
        # One byte more than the limit: aiohttp releases before 3.10 refuse a body as large as
        # client_max_size, later ones only a larger one; the front door checks the limit itself.
        app = web.Application(client_max_size=server.max_body_bytes + 1)
        app[HOST_KEY] = host
        app.add_routes(front.routes())

        async def end_follows(app: web.Application) -> None:
            # Run once every model has ended, so a follow also carries how each one ended.
            outputs.close()

        app.on_shutdown.append(end_follows)
        runner = web.AppRunner(app, access_log=None, handle_signals=False, shutdown_timeout=1.0)
        await runner.setup()
        site = web.TCPSite(runner, server.host, server.port, reuse_address=True)
        try:
            await site.start()
        except OSError as error:
            await runner.cleanup()
            print(
                f"marlix: cannot listen on {server.host}:{server.port}: {error.strerror}",
                file=sys.stderr,
            )
            return 2
        supervisor.start()
        swapper = Swapper(host, supervisor, metrics)
        if host.swap:
            swapper.start()
        print(f"marlix: serving on {_url(runner)}", flush=True)
        log.event("listening", f"serving on {_url(runner)}")
        await stop.wait()
        # New requests are refused from here on; those in flight end as their models stop.
        await site.stop()
        await swapper.stop()
        await supervisor.stop_all()
        await runner.cleanup()
    for number in STOP_SIGNALS:
        loop.remove_signal_handler(number)
    log.event("stopped", "every model process has ended; bye")
    return 0


def _url(runner: web.AppRunner) -> str:
    host, port = runner.addresses[0][:2]
    if ":" in host:
        host = f"[{host}]"
    return f"http://{host}:{port}"


class _LibraryLog(logging.Handler):
    def __init__(self, log: Log) -> None:
        super().__init__(logging.WARNING)
        self.log = log

    def emit(self, record: logging.LogRecord) -> None:
        text = record.getMessage()
        if record.exc_info and record.exc_info[1] is not None:
            error = record.exc_info[1]
            # A forwarded answer cut short by its model process is expected and reported.
            if isinstance(error, BrokenAnswer):
                return
            text += f": {error.__class__.__name__}: {error}"
        self.log.event("library", f"{record.name}: {text}")


def _route_library_logs(log: Log) -> None:
    # aiohttp reports through logging; keep it to one line an event like the rest.
    handler = _LibraryLog(log)
    for name in ("aiohttp", "asyncio"):
        logger = logging.getLogger(name)
        logger.handlers[:] = [handler]
        logger.propagate = False
