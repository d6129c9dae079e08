"""A stand-in model server for trying the host without a GPU or model files.

It answers its health path with 503 while it "loads" for a set time and 200 after, and serves
the OpenAI chat and text completion paths, streamed or not, with a short generated answer sent
token by token. It can be told to fail: to exit during its load or after a while, or never to
become healthy. Run it as `python -m marlix.standin --port PORT [options]`.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import sys
import time
import uuid
from collections.abc import Sequence
from typing import Any

from aiohttp import web

WORDS = (
    "This is a stand-in answer from {model}: no model ran, but every token came through the "
    "host one at a time, as a real one would."
).split()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m marlix.standin", description="A stand-in OpenAI-compatible model server."
    )
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--model", default="standin", help="the name it answers as")
    parser.add_argument("--load-s", type=float, default=2.0, help="seconds of 503 before 200")
    parser.add_argument("--never-ready", action="store_true", help="answer 503 for ever")
    parser.add_argument(
        "--exit-after", type=float, metavar="S", help="exit S seconds after starting"
    )
    parser.add_argument("--exit-code", type=int, default=1)
    parser.add_argument(
        "--exit-message",
        default="error: the stand-in was told to stop",
        help="the last line written to stderr before exiting",
    )
    parser.add_argument(
        "--sick-after", type=float, metavar="S", help="answer health probes with 500 after S s"
    )
    parser.add_argument("--tokens", type=int, default=0, help="answer length (0: the whole text)")
    parser.add_argument("--token-ms", type=float, default=30.0, help="pause between tokens")
    parser.add_argument("--ignore-sigterm", action="store_true", help="leave only SIGKILL")
    parser.add_argument(
        "--frame",
        choices=("chunked", "close"),
        default="chunked",
        help="how a stream's body is framed: chunks, or ended by closing the connection",
    )
    parser.add_argument(
        "--die-after-tokens", type=int, metavar="N", help="exit in the middle of a stream"
    )
    parser.add_argument(
        "--stall-after-tokens", type=int, metavar="N", help="go silent in the middle of a stream"
    )
    parser.add_argument(
        "--trace",
        metavar="FILE",
        help="append one JSON line per event to FILE, with its wall-clock time: listening, "
        "the first healthy answer, each completion request received",
    )
    return parser


class StandIn:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.started = time.monotonic()
        words = [w.format(model=args.model) for w in WORDS]
        if args.tokens > 0:
            words = [words[i % len(words)] for i in range(args.tokens)]
        self.tokens = [w if i == 0 else " " + w for i, w in enumerate(words)]
        self.told_healthy = False

    def trace(self, event: str) -> None:
        """One line of --trace: wall-clock time, so that lines of several processes (and of
        whoever reads them) can be put on one time line."""
        path: str | None = self.args.trace
        if path is None:
            return
        line = {"time": time.time(), "event": event, "model": self.args.model, "pid": os.getpid()}
        # One write of a whole line with O_APPEND: lines of processes sharing a file never mix.
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        try:
            os.write(fd, (json.dumps(line) + "\n").encode())
        finally:
            os.close(fd)

    def ready(self) -> bool:
        if self.args.never_ready:
            return False
        load_s: float = self.args.load_s
        return time.monotonic() - self.started >= load_s

    async def health(self, request: web.Request) -> web.Response:
        sick_after: float | None = self.args.sick_after
        if sick_after is not None and time.monotonic() - self.started >= sick_after:
            return web.json_response({"status": "sick"}, status=500)
        if self.ready():
            if not self.told_healthy:
                self.told_healthy = True
                self.trace("healthy")
            return web.json_response({"status": "ok"})
        return web.json_response({"status": "loading"}, status=503)

    async def models(self, request: web.Request) -> web.Response:
        model = {"id": self.args.model, "object": "model", "owned_by": "standin"}
        return web.json_response({"object": "list", "data": [model]})

    async def complete(self, request: web.Request) -> web.StreamResponse:
        self.trace("request")
        if not self.ready():
            return web.json_response(
                {"error": {"message": "loading", "type": "server_error", "code": "loading"}},
                status=503,
            )
        try:
            body = await request.json()
        except ValueError:
            body = None
        if not isinstance(body, dict):
            message = {"message": "not a JSON object", "type": "invalid_request_error"}
            return web.json_response({"error": message}, status=400)
        chat = request.path.endswith("/chat/completions")
        ident = ("chatcmpl-" if chat else "cmpl-") + uuid.uuid4().hex[:12]
        if body.get("stream"):
            return await self._stream(request, chat, ident)
        text = "".join(self.tokens)
        choice: dict[str, Any] = {"index": 0, "finish_reason": "stop"}
        if chat:
            choice["message"] = {"role": "assistant", "content": text}
        else:
            choice["text"] = text
        answer = {
            "id": ident,
            "object": "chat.completion" if chat else "text_completion",
            "created": int(time.time()),
            "model": self.args.model,
            "choices": [choice],
            "usage": {
                "prompt_tokens": 1,
                "completion_tokens": len(self.tokens),
                "total_tokens": 1 + len(self.tokens),
            },
        }
        return web.json_response(answer)

    async def _stream(self, request: web.Request, chat: bool, ident: str) -> web.StreamResponse:
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        response.headers["Cache-Control"] = "no-cache"
        if self.args.frame == "close":
            # No length and no chunks, which HTTP/1.1 allows: the body ends where the
            # connection does, so an end and a death look alike on the wire. aiohttp chunks
            # every such answer unless told that it does not check lengths.
            response._length_check = False
            response.force_close()
        await response.prepare(request)
        created = int(time.time())
        last = len(self.tokens) - 1
        for index, token in enumerate(self.tokens):
            choice: dict[str, Any] = {
                "index": 0,
                "finish_reason": "stop" if index == last else None,
            }
            if chat:
                choice["delta"] = (
                    {"content": token} if index else {"role": "assistant", "content": token}
                )
            else:
                choice["text"] = token
            chunk = {
                "id": ident,
                "object": "chat.completion.chunk" if chat else "text_completion",
                "created": created,
                "model": self.args.model,
                "choices": [choice],
            }
            await response.write(b"data: " + json.dumps(chunk).encode() + b"\n\n")
            if index + 1 == self.args.die_after_tokens:
                print("error: the stand-in died mid-stream", file=sys.stderr, flush=True)
                os._exit(1)
            if index + 1 == self.args.stall_after_tokens:
                await asyncio.sleep(3600)
            if self.args.token_ms > 0 and index != last:
                await asyncio.sleep(self.args.token_ms / 1000)
        await response.write(b"data: [DONE]\n\n")
        await response.write_eof()
        return response


async def _exit_later(args: argparse.Namespace) -> None:
    await asyncio.sleep(args.exit_after)
    print(args.exit_message, file=sys.stderr, flush=True)
    os._exit(args.exit_code)


async def _serve(args: argparse.Namespace) -> None:
    standin = StandIn(args)
    app = web.Application()
    app.add_routes(
        [
            web.get("/health", standin.health),
            web.get("/v1/models", standin.models),
            web.post("/v1/chat/completions", standin.complete),
            web.post("/v1/completions", standin.complete),
        ]
    )
    runner = web.AppRunner(app, access_log=None, handle_signals=False)
    await runner.setup()
    await web.TCPSite(runner, args.host, args.port).start()
    print(f"standin {args.model}: listening on {args.host}:{args.port}", file=sys.stderr)
    standin.trace("listening")
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    if not args.ignore_sigterm:
        loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    if args.exit_after is not None:
        asyncio.ensure_future(_exit_later(args))
    await stop.wait()
    await runner.cleanup()


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.ignore_sigterm:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    asyncio.run(_serve(args))
    return 0
