"""Two small reference schedulers written for bench/swap.py: model-swapping proxies that hold
one model process at a time, against which marlix's own swapping is measured. They are not
part of marlix and do only what the benchmark needs.

Each is an aiohttp proxy in front of one model process (any OpenAI-compatible server started
from a command with "{port}" in it). A request names its model in its body; a request for the
model loaded is forwarded and its answer streamed back; a request for another model waits.
When the loaded model is to change, the proxy stops forwarding, waits for the requests in
flight to end, stops the process (SIGTERM to its group, SIGKILL after a grace), starts the
other model's, asks its health path every tenth of a second until it answers 200, and goes on.

  fifo     one model at a time, swapped in request order: requests are forwarded strictly in
           the order they arrived, so a request for the loaded model waits behind an older one
           for another model, and every change of model in the arrival order is a swap. This
           is what a model-swapping proxy did before it collated requests.
  collate  one model at a time, requests grouped per model: every waiting request for the
           loaded model goes first, wherever it stands in the queue; then the proxy swaps to
           the model of the oldest waiting request. Requests A B C A B C are served as
           A A B B C C. Once a swap is decided, new requests for the model leaving wait for
           its next turn, so that no model is starved.

    python bench/reference_swappers.py --policy fifo|collate --models FILE [--log FILE]

FILE is a JSON object from each model's name to its command (a list, with "{port}"). The
proxy listens on 127.0.0.1, on a port the system picks, and prints one line to stdout once it
does: `listening on http://127.0.0.1:PORT`. It ends its model process when it ends (SIGTERM or
SIGINT), and the process is started with a parent-death signal, so that it cannot outlive a
proxy that was killed.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ctypes
import json
import os
import signal
import socket
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import IO

import aiohttp
from aiohttp import web
from aiohttp_proxy import relay

POLICIES = ("fifo", "collate")
HEALTH_PATH = "/health"
HEALTH_INTERVAL_S = 0.1  # as often as marlix probes a load, so that only the policies differ
LOAD_TIMEOUT_S = 60.0
STOP_GRACE_S = 10.0
WAIT_S = 120.0  # how long a request may wait for its model
PR_SET_PDEATHSIG = 1


@dataclass(eq=False)
class Ticket:
    """One request waiting for its model: released with the model's port."""

    model: str
    go: asyncio.Future[int] = field(
        default_factory=lambda: asyncio.get_running_loop().create_future()
    )


class Proxy:
    def __init__(self, policy: str, models: dict[str, list[str]], log: IO[bytes] | None) -> None:
        self.policy = policy
        self.models = models
        self.log = log
        self.queue: list[Ticket] = []  # waiting, in arrival order
        self.in_flight = 0
        self.loaded: str | None = None
        self.port: int | None = None
        self.process: asyncio.subprocess.Process | None = None
        self.leaving = False  # collate: a swap is decided; the loaded model takes no more
        self.wake = asyncio.Event()
        self.session: aiohttp.ClientSession | None = None
        self.loads = 0

    # The scheduler.

    async def run(self) -> None:
        while True:
            self.wake.clear()
            self.dispatch()
            if self.queue and not self.in_flight and self.swap_due():
                await self.swap(self.queue[0].model)
                continue
            await self.wake.wait()

    def swap_due(self) -> bool:
        """Whether the oldest waiting request is for another model than the one loaded."""
        return self.queue[0].model != self.loaded

    def dispatch(self) -> None:
        """Releases what the policy lets through to the loaded model now."""
        if self.loaded is None or self.port is None:
            return
        if self.policy == "fifo":
            while self.queue and self.queue[0].model == self.loaded:
                self._release(self.queue.pop(0))
            return
        if not self.leaving:
            mine = [t for t in self.queue if t.model == self.loaded]
            self.queue = [t for t in self.queue if t.model != self.loaded]
            for ticket in mine:
                self._release(ticket)
            # What is left waits for other models: the loaded one is done once its requests
            # in flight end.
            self.leaving = bool(self.queue)

    def _release(self, ticket: Ticket) -> None:
        assert self.port is not None
        if not ticket.go.done():
            self.in_flight += 1
            ticket.go.set_result(self.port)

    async def swap(self, model: str) -> None:
        await self.stop_model()
        self.loaded, self.port = None, None
        port = free_port()
        argv = [part.replace("{port}", str(port)) for part in self.models[model]]
        self.process = await asyncio.create_subprocess_exec(
            *argv,
            stdin=asyncio.subprocess.DEVNULL,
            stdout=self.log or asyncio.subprocess.DEVNULL,
            stderr=self.log or asyncio.subprocess.DEVNULL,
            start_new_session=True,
            preexec_fn=_die_with_parent,
        )
        self.loads += 1
        if await self.healthy(port, self.process):
            self.loaded, self.port = model, port
        else:
            await self.stop_model()
            for ticket in [t for t in self.queue if t.model == model]:
                self.queue.remove(ticket)
                ticket.go.set_exception(RuntimeError(f"{model} did not load"))
        self.leaving = False

    async def healthy(self, port: int, process: asyncio.subprocess.Process) -> bool:
        assert self.session is not None
        url = f"http://127.0.0.1:{port}{HEALTH_PATH}"
        deadline = time.monotonic() + LOAD_TIMEOUT_S
        while time.monotonic() < deadline and process.returncode is None:
            with contextlib.suppress(aiohttp.ClientError, asyncio.TimeoutError, OSError):
                timeout = aiohttp.ClientTimeout(total=5)
                async with self.session.get(url, timeout=timeout) as answer:
                    await answer.read()
                    if answer.status == 200:
                        return True
            await asyncio.sleep(HEALTH_INTERVAL_S)
        return False

    async def stop_model(self) -> None:
        process, self.process = self.process, None
        if process is None or process.returncode is not None:
            return
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGTERM)
        try:
            await asyncio.wait_for(process.wait(), STOP_GRACE_S)
        except asyncio.TimeoutError:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            await process.wait()

    # The front door.

    async def forward(self, request: web.Request) -> web.StreamResponse:
        body = await request.read()
        try:
            model = json.loads(body).get("model")
        except (ValueError, AttributeError):
            model = None
        if model not in self.models:
            return web.json_response({"error": {"message": "unknown model"}}, status=404)
        ticket = Ticket(model)
        self.queue.append(ticket)
        self.wake.set()
        try:
            port = await asyncio.wait_for(asyncio.shield(ticket.go), WAIT_S)
        except asyncio.TimeoutError:
            if ticket in self.queue:
                self.queue.remove(ticket)
            if not ticket.go.done():
                ticket.go.cancel()
                return web.json_response({"error": {"message": "not loaded in time"}}, status=503)
            port = ticket.go.result()  # released as the wait ended: it counts as in flight
        except RuntimeError as error:
            return web.json_response({"error": {"message": str(error)}}, status=502)
        try:
            return await self._proxy(request, port, body)
        finally:
            self.in_flight -= 1
            self.wake.set()

    async def _proxy(self, request: web.Request, port: int, body: bytes) -> web.StreamResponse:
        assert self.session is not None
        url = f"http://127.0.0.1:{port}{request.rel_url.raw_path_qs}"
        return await relay(self.session, request, url, body, "application/json")

    async def status(self, request: web.Request) -> web.Response:
        return web.json_response(
            {"loaded": self.loaded, "loads": self.loads, "waiting": len(self.queue)}
        )


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def _die_with_parent() -> None:
    # In the child, before exec: the kernel sends it SIGKILL when the proxy dies.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


async def serve(proxy: Proxy) -> None:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=None)) as session:
        proxy.session = session
        app = web.Application()
        app.add_routes([web.post("/v1/{path:.*}", proxy.forward), web.get("/status", proxy.status)])
        runner = web.AppRunner(app, access_log=None, handle_signals=False, shutdown_timeout=1.0)
        await runner.setup()
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        await web.SockSite(runner, sock).start()
        print(f"listening on http://127.0.0.1:{port}", flush=True)
        scheduler = asyncio.ensure_future(proxy.run())
        try:
            await stop.wait()
        finally:
            scheduler.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await scheduler
            await proxy.stop_model()
            await runner.cleanup()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--policy", choices=POLICIES, required=True)
    parser.add_argument("--models", required=True, help="JSON: each model's command")
    parser.add_argument("--log", help="where the model processes' output goes")
    args = parser.parse_args(argv)
    with open(args.models, encoding="utf-8") as file:
        models = json.load(file)
    if not isinstance(models, dict) or not all(
        isinstance(v, list) and "{port}" in v for v in models.values()
    ):
        parser.error('--models: a JSON object from names to commands with "{port}"')
    log = open(args.log, "ab") if args.log else None  # noqa: SIM115 - the children write in it
    try:
        asyncio.run(serve(Proxy(args.policy, models, log)))
    finally:
        if log is not None:
            log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
