"""`GET /models/{name}/log`: the last lines a model's processes wrote, as text, one line each
with its time and stream. With `?follow=1` the answer stays open and carries each new line as
it is read, until the client goes or marlix stops."""

from __future__ import annotations

import aiohttp
from aiohttp import web

from marlix.serve.output import ModelOutput, Outputs, line_text

# How often a follow with nothing to send looks whether its client is still there: without a
# write, a closed connection is noticed only this way.
CLIENT_CHECK_S = 1.0
HEADERS = {"Cache-Control": "no-store", "X-Content-Type-Options": "nosniff"}


def wants_follow(request: web.Request) -> bool:
    value = request.query.get("follow")
    return value is not None and value.lower() not in ("0", "false", "no")


async def model_log(
    request: web.Request, output: ModelOutput, outputs: Outputs
) -> web.StreamResponse:
    lines, seen = output.since(0)
    text = "".join(line_text(line) + "\n" for line in lines)
    if not wants_follow(request):
        return web.Response(text=text, content_type="text/plain", charset="utf-8", headers=HEADERS)
    response = web.StreamResponse(headers={**HEADERS, "X-Accel-Buffering": "no"})
    response.content_type = "text/plain"
    response.charset = "utf-8"
    try:
        await response.prepare(request)
        await response.write(text.encode())
        while not outputs.closing:
            lines, seen = output.since(seen)
            if lines:
                await response.write("".join(line_text(line) + "\n" for line in lines).encode())
                continue
            transport = request.transport
            if transport is None or transport.is_closing():
                return response  # the client went
            await output.changed(CLIENT_CHECK_S)
        await response.write_eof()
    except (ConnectionError, aiohttp.ClientError):
        pass  # the client went in the middle of a write
    return response
