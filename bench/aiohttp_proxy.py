"""The least a reverse proxy written with aiohttp can do, for bench/serve.py: every POST is read
whole, sent on to one upstream over a pool of keep-alive connections, and its answer streamed
back chunk by chunk. No routing, no metrics, no header filtering, no waiting: it is the floor a
host built on aiohttp can reach, so the benchmark can tell the host's own work from aiohttp's.

    python bench/aiohttp_proxy.py --port PORT --upstream http://127.0.0.1:UPSTREAM

It listens on 127.0.0.1 only and ends on SIGTERM or SIGINT.
"""

from __future__ import annotations

import argparse
from collections.abc import AsyncIterator, Sequence

import aiohttp
from aiohttp import web

SESSION_KEY: web.AppKey[aiohttp.ClientSession] = web.AppKey("session", aiohttp.ClientSession)
UPSTREAM_KEY: web.AppKey[str] = web.AppKey("upstream", str)


async def forward(request: web.Request) -> web.StreamResponse:
    session = request.app[SESSION_KEY]
    body = await request.read()
    url = request.app[UPSTREAM_KEY] + request.rel_url.raw_path_qs
    return await relay(session, request, url, body, "application/octet-stream")


async def relay(
    session: aiohttp.ClientSession, request: web.Request, url: str, body: bytes, default_type: str
) -> web.StreamResponse:
    """Sends `body` on to `url` as `request`'s method and streams the answer back."""
    headers = {"Content-Type": request.headers.get("Content-Type", default_type)}
    async with session.request(request.method, url, data=body, headers=headers) as upstream:
        response = web.StreamResponse(status=upstream.status)
        # The content type is all a client needs to tell an event stream from a whole answer.
        if "Content-Type" in upstream.headers:
            response.headers["Content-Type"] = upstream.headers["Content-Type"]
        try:
            await response.prepare(request)
            async for chunk in upstream.content.iter_any():
                await response.write(chunk)
            await response.write_eof()
        except (ConnectionError, aiohttp.ClientError):
            pass  # the client went away: the rest of the answer is dropped
    return response


def make_app(upstream: str) -> web.Application:
    app = web.Application()
    app[UPSTREAM_KEY] = upstream.rstrip("/")

    async def session(app: web.Application) -> AsyncIterator[None]:
        # No limit on pooled connections, as the host's own client has none.
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as client:
            app[SESSION_KEY] = client
            yield

    app.cleanup_ctx.append(session)
    app.router.add_post("/{tail:.*}", forward)
    return app


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--upstream", required=True, help="e.g. http://127.0.0.1:8001")
    args = parser.parse_args(argv)
    # No access log: writing one line a request would be measured as the proxy's cost.
    web.run_app(
        make_app(args.upstream),
        host="127.0.0.1",
        port=args.port,
        access_log=None,
        print=None,
        shutdown_timeout=1.0,
    )


if __name__ == "__main__":
    main()
