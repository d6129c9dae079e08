"""The front door: every request for a model comes in here, is routed by the Fleet and is
forwarded to the model's process, waits for its load, or is answered with an error that tells
a router or a client what to do (404 go elsewhere, 429 and 5xx back off)."""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import json
import time
from dataclasses import dataclass
from typing import Any

import aiohttp
from aiohttp import web
from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

from marlix.serve.host import Host, ModelRecord, Route
from marlix.serve.metrics import Metrics
from marlix.serve.model_log import model_log
from marlix.serve.output import Outputs
from marlix.serve.page import page_html
from marlix.serve.supervisor import Supervisor

HOST_KEY: web.AppKey[Host] = web.AppKey("host", Host)
METRICS_KEY: web.AppKey[Metrics] = web.AppKey("metrics", Metrics)
SUPERVISOR_KEY: web.AppKey[Supervisor] = web.AppKey("supervisor", Supervisor)
SESSION_KEY: web.AppKey[aiohttp.ClientSession] = web.AppKey("session", aiohttp.ClientSession)

ROUTE_HEADER = "X-Marlix-Route"
WHOLE_ANSWER_BYTES = 1 << 20

# Headers that belong to one connection and are never passed on (RFC 9110, section 7.6.1),
# and those the two connections set for themselves.
HOP_BY_HOP = frozenset(
    {
        "connection",
        "keep-alive",
        "proxy-authenticate",
        "proxy-authorization",
        "proxy-connection",
        "te",
        "trailer",
        "trailers",
        "transfer-encoding",
        "upgrade",
        "host",
        "content-length",
        # Answered by the front door itself; the model process is sent the whole body at once.
        "expect",
    }
)
# A body in one of these encodings is decoded as the front door reads it (aiohttp does): it is
# sent to the model process as it was read, under no encoding.
DECODED = frozenset({"gzip", "deflate", "br", "zstd"})
# The model process's own software is its operator's business.
ANSWER_ONLY = frozenset({"server"})
# Headers aiohttp's client would add of its own: a model process gets the client's alone (an
# Accept-Encoding the client never sent could get it an answer it cannot read).
NOT_ADDED = ("Accept", "Accept-Encoding", "User-Agent", "Content-Type")

# What each route answers when the request cannot be forwarded: status, error type, code.
ROUTE_ERRORS: dict[str, tuple[int, str, str]] = {
    "lost": (503, "server_error", "model_lost"),
    "failed": (503, "server_error", "model_failed"),
    "not_admitted": (404, "invalid_request_error", "model_not_admitted"),
    "not_declared": (404, "invalid_request_error", "model_not_found"),
    "unknown": (503, "server_error", "model_unavailable"),
    "warming": (503, "server_error", "model_loading"),
    "swapped_out": (503, "server_error", "model_loading"),
    "draining": (503, "server_error", "model_loading"),
}

# Routes a request waits on: the model is loading, or will be (swapped in, too).
WAITING_ROUTES = frozenset({"warming", "unknown", "swapped_out", "draining"})


def error_response(
    status: int,
    message: str,
    kind: str,
    code: str,
    route: Route | None = None,
    retry_after: int | None = None,
    param: str | None = None,
) -> ErrorAnswer:
    body: dict[str, Any] = {
        "error": {"message": message, "type": kind, "param": param, "code": code}
    }
    headers: dict[str, str] = {}
    if route is not None:
        body["marlix"] = route.public
        headers[ROUTE_HEADER] = route.route
    if retry_after is not None:
        headers["Retry-After"] = str(retry_after)
    return ErrorAnswer(status, body, headers, code)


class ErrorAnswer(web.Response):
    """An error the host answers itself, carrying the code that its log line names."""

    def __init__(self, status: int, body: Any, headers: dict[str, str], code: str) -> None:
        text = json.dumps(body)
        super().__init__(text=text, status=status, headers=headers, content_type="application/json")
        self.code = code
        self.size = len(text.encode())


@dataclass
class Answered:
    """What one request through the front door came to: its metrics and its log line."""

    model: str = ""
    route: str = ""
    code: str | None = None  # an error's code, or the code a cut stream ended with
    status: int | None = None  # the status the client was sent, once sent
    waited_s: float = 0.0
    sent_bytes: int = 0


class Front:
    def __init__(
        self, host: Host, supervisor: Supervisor, metrics: Metrics, access_log: bool = False
    ) -> None:
        self.host = host
        self.access_log = access_log
        self.supervisor = supervisor
        self.metrics = metrics
        self.server = host.config.server
        self.log = host.log
        self.session: aiohttp.ClientSession | None = None
        self.outputs: Outputs | None = None  # what the model processes wrote; set by the app
        self._key = ("Bearer " + self.server.api_key).encode() if self.server.api_key else None
        self.created = int(time.time())  # the models' "created": when this host started
        # No limit on a whole answer, which may be a long generation; only on silence.
        self._timeout = aiohttp.ClientTimeout(
            total=None, sock_connect=10, sock_read=self.server.request_timeout_s
        )

    def routes(self) -> list[web.RouteDef]:
        return [
            web.get("/", self.page),
            web.get("/status", self.status),
            web.get("/metrics", self.metrics_text),
            web.get("/health", self.live),
            web.get("/v2/health/live", self.live),
            web.get("/v2/health/ready", self.ready),
            # Names may hold a "/" (org/model-8B): each takes the rest of the path it can.
            web.get("/v2/models/{name:.+}/ready", self.model_ready),
            web.get("/models/{name:.+}/log", self.model_log),
            web.post("/models/{name:.+}/unload", self.unload),
            web.post("/models/{name:.+}/load", self.load),
            web.get("/v1/models", self.models),
            web.get("/v1/models/{name:.+}", self.model_object),
            web.post("/v1/{path:.*}", self.forward),
            web.route("*", "/v1/{path:.*}", self.not_here),
        ]

    def refused(self, request: web.Request) -> web.Response | None:
        """None when the request may go on; else the 401 that says what was wrong with it."""
        if self._key is None:
            return None
        given = request.headers.get("Authorization")
        if given is not None and hmac.compare_digest(given.encode("utf-8", "replace"), self._key):
            return None
        scheme, _, token = (given or "").partition(" ")
        if scheme.lower() == "bearer" and token.strip():
            message = "the api key sent is not this host's"
            challenge = 'Bearer error="invalid_token"'
        else:
            message = 'this host needs an api key: send "Authorization: Bearer <key>"'
            challenge = "Bearer"
        response = error_response(401, message, "invalid_request_error", "invalid_api_key")
        response.headers["WWW-Authenticate"] = challenge
        return response

    # Pages and documents for people and probes.

    async def page(self, request: web.Request) -> web.Response:
        # Without an api key the page carries the status as it is now, so that its first paint
        # is the cards; with one it carries nothing of the host and asks for the key.
        status = None if self._key is not None else self.host.status()
        return web.Response(
            text=page_html(status),
            content_type="text/html",
            charset="utf-8",
            headers={"Cache-Control": "no-store"},
        )

    async def status(self, request: web.Request) -> web.Response:
        refused = self.refused(request)
        if refused is not None:
            return refused
        return web.json_response(self.host.status())

    async def metrics_text(self, request: web.Request) -> web.Response:
        response = web.Response(body=generate_latest(self.metrics.registry))
        response.headers["Content-Type"] = CONTENT_TYPE_LATEST
        return response

    async def live(self, request: web.Request) -> web.Response:
        return web.json_response({"live": True})

    async def ready(self, request: web.Request) -> web.Response:
        host = self.host
        now = host.clock()
        admitted = [r.name for r in host.admitted_records()]
        waiting_for = [name for name in admitted if host.route(name, now).route != "ready"]
        if self.server.ready == "all":
            ready = not waiting_for
        else:  # one ready model is worth a place behind the load balancer
            ready = len(waiting_for) < len(admitted)
        ready = ready and not host.stopping
        body = {"ready": ready, "rule": self.server.ready, "not_ready": waiting_for}
        if ready:
            return web.json_response(body)
        return web.json_response(body, status=503, headers={"Retry-After": "1"})

    async def model_ready(self, request: web.Request) -> web.Response:
        name = request.match_info["name"]
        host = self.host
        route = host.route(name)
        record = host.records.get(name)
        headers = {ROUTE_HEADER: route.route}
        body = {"name": name, "ready": route.route == "ready", "marlix": route.public}
        if route.route == "ready":
            return web.json_response(body, headers=headers)
        if record is None or not record.admitted:
            # As an inference server answers for a model it does not have.
            return web.json_response(body, status=404, headers=headers)
        if not record.held:  # a model stopped by hand comes back only when asked
            headers["Retry-After"] = str(host.retry_after_s(record, host.clock()))
        return web.json_response(body, status=503, headers=headers)

    def model_document(self, name: str, now: int) -> dict[str, Any]:
        """A model as the OpenAI API describes one, with its route under "marlix"."""
        return {
            "id": name,
            "object": "model",
            "created": self.created,
            "owned_by": "marlix",
            "marlix": self.host.route(name, now).public,
        }

    async def models(self, request: web.Request) -> web.Response:
        refused = self.refused(request)
        if refused is not None:
            return refused
        now = self.host.clock()
        data = [self.model_document(name, now) for name in self.host.records]
        return web.json_response({"object": "list", "data": data})

    async def model_object(self, request: web.Request) -> web.Response:
        refused = self.refused(request)
        if refused is not None:
            return refused
        name = request.match_info["name"]
        if name not in self.host.records:
            message = f"no model named {name!r} is declared on this host"
            route = self.host.route(name)
            return error_response(404, message, "invalid_request_error", "model_not_found", route)
        document = self.model_document(name, self.host.clock())
        return web.json_response(document, headers={ROUTE_HEADER: document["marlix"]["route"]})

    async def model_log(self, request: web.Request) -> web.StreamResponse:
        refused = self.refused(request)
        if refused is not None:
            return refused
        name = request.match_info["name"]
        output = None if self.outputs is None else self.outputs.of(name)
        if output is None or self.outputs is None:
            message = f"no model named {name!r} is declared on this host"
            route = self.host.route(name)
            return error_response(404, message, "invalid_request_error", "model_not_found", route)
        return await model_log(request, output, self.outputs)

    # Loading and unloading by hand.

    async def unload(self, request: web.Request) -> web.Response:
        return await self._by_hand(request, unload=True)

    async def load(self, request: web.Request) -> web.Response:
        return await self._by_hand(request, unload=False)

    async def _by_hand(self, request: web.Request, unload: bool) -> web.Response:
        refused = self.refused(request)
        if refused is not None:
            return refused
        name = request.match_info["name"]
        record = self.host.records.get(name)
        route = self.host.route(name)
        if record is None:
            message = f"no model named {name!r} is declared on this host"
            return error_response(404, message, "invalid_request_error", "model_not_found", route)
        if not record.admitted:
            message = f"{name!r} is not admitted on this card as configured"
            return error_response(
                409, message, "invalid_request_error", "model_not_admitted", route
            )
        if self.host.stopping:
            message = "the host is stopping"
            return error_response(503, message, "server_error", "stopping", route, retry_after=60)
        if unload:
            if not record.held:
                await self.supervisor.unload(record)
        else:
            self.supervisor.load(record)
        route = self.host.route(name)
        return web.json_response(
            {"model": name, "marlix": route.public}, headers={ROUTE_HEADER: route.route}
        )

    # Requests for a model.

    async def not_here(self, request: web.Request) -> web.Response:
        refused = self.refused(request)
        if refused is not None:
            return refused
        message = f"{request.method} {request.path} is not served here: /v1 takes POST requests"
        return error_response(404, message, "invalid_request_error", "unknown_path")

    async def forward(self, request: web.Request) -> web.StreamResponse:
        started = time.perf_counter()
        answered = Answered()
        status = 500
        try:
            response = await self._forward(request, answered)
            status = response.status
            if isinstance(response, ErrorAnswer):
                answered.code = response.code
                answered.sent_bytes = response.size
            return response
        finally:
            seconds = time.perf_counter() - started
            self.metrics.request(answered.model, answered.route, status, seconds)
            self._log_request(request, answered.status or status, answered, seconds)

    def _log_request(
        self, request: web.Request, status: int, answered: Answered, seconds: float
    ) -> None:
        """One line for every request that did not end well, or waited; with --access-log,
        for every request."""
        if not (self.access_log or status >= 300 or answered.code or answered.waited_s):
            return
        text = f"{request.method} {request.path}"
        if answered.model:
            text += f" {answered.model}"
        text += f": {status}"
        if answered.code:
            text += f" {answered.code}"
        if answered.route:
            text += f", route {answered.route}"
        text += f", {seconds:.3f} s, {answered.sent_bytes} bytes"
        if answered.waited_s:
            text += f", after waiting {answered.waited_s:.1f} s"
        self.log.event(
            "request",
            text,
            method=request.method,
            path=request.path,
            model=answered.model or None,
            status=status,
            code=answered.code,
            route=answered.route or None,
            duration_ms=round(seconds * 1000, 1),
            bytes=answered.sent_bytes,
            waited_ms=round(answered.waited_s * 1000, 1),
        )

    async def _forward(self, request: web.Request, answered: Answered) -> web.StreamResponse:
        refused = self.refused(request)
        if refused is not None:
            return refused
        limit = self.server.max_body_bytes
        length = request.content_length
        if length is not None and length > limit:
            return self._too_large(limit)
        try:
            body = await request.read()  # stops past the application's client_max_size
        except web.HTTPRequestEntityTooLarge:
            return self._too_large(limit)
        if len(body) > limit:
            return self._too_large(limit)
        model = _model_of(body)
        if model is None:
            message = 'the body must be a JSON object naming its "model" as a text'
            return error_response(400, message, "invalid_request_error", "invalid_body")
        answered.model = model
        host = self.host
        record = host.records.get(model)
        if record is not None:
            record.last_used_ms = host.clock()
        route = host.route(model)
        if route.route != "ready":
            wait_s = self.server.wait_s
            preferred = preferred_wait_s(request.headers.getall("Prefer", []))
            if preferred is not None:
                wait_s = min(wait_s, preferred)
            waited = await self._wait(record, route, wait_s, answered)
            if isinstance(waited, web.Response):
                answered.route = waited.headers.get(ROUTE_HEADER, route.route)
                return waited
            route = waited
        answered.route = route.route
        endpoint: str = route.doc["endpoint"]  # type: ignore[typeddict-item]
        assert record is not None  # only a declared model is ready
        record.in_flight += 1
        try:
            return await self._proxy(request, endpoint, body, route, answered)
        finally:
            record.in_flight -= 1
            if record.draining and not record.in_flight:
                host.wake_swapper()  # it may stop now

    def _too_large(self, limit: int) -> web.Response:
        message = f"the request body is larger than this host takes ({limit} bytes)"
        return error_response(413, message, "invalid_request_error", "body_too_large")

    async def _wait(
        self, record: ModelRecord | None, route: Route, wait_s: float, answered: Answered
    ) -> Route | web.Response:
        """Waits up to `wait_s` for the model to become ready, or answers why it will not be
        soon."""
        host = self.host
        may_wait = record is not None and host.wants_load(record)
        if route.route not in WAITING_ROUTES or not may_wait or record is None:
            return self._refusal(record, route)
        if wait_s <= 0:
            message = f"{record.name!r} is not ready and the request asked not to wait for it"
            retry = host.retry_after_s(record, host.clock())
            return error_response(503, message, "server_error", "model_loading", route, retry)
        if host.waiting >= self.server.max_waiting:
            message = f"{self.server.max_waiting} requests already wait for their models"
            retry = host.retry_after_s(record, host.clock())
            return error_response(
                429, message, "rate_limit_error", "too_many_waiting", route, retry
            )
        # The host's clock, which the loop's timers follow too.
        since = host.clock()
        deadline = since + int(wait_s * 1000)
        host.waiting += 1
        record.waiting += 1
        record.waiting_since.append(since)
        host.wake_swapper()  # a model outside every working set is asked for
        try:
            while True:
                left_ms = deadline - host.clock()
                if left_ms <= 0:
                    break
                await record.changed(left_ms / 1000)
                route = host.route(record.name)
                if route.route == "ready":
                    return route
                if route.route not in WAITING_ROUTES or not host.wants_load(record):
                    return self._refusal(record, route)
        finally:
            host.waiting -= 1
            record.waiting -= 1
            record.waiting_since.remove(since)
            host.wake_swapper()
            answered.waited_s = (host.clock() - since) / 1000
        message = f"{record.name!r} did not become ready within {_seconds(wait_s)} s"
        retry = host.retry_after_s(record, host.clock())
        return error_response(503, message, "server_error", "model_loading", route, retry)

    def _refusal(self, record: ModelRecord | None, route: Route) -> web.Response:
        host = self.host
        status, kind, code = ROUTE_ERRORS[route.route]
        name = route.doc["model"]
        doc: Any = route.doc
        retry: int | None = None
        if status == 503:
            retry = host.retry_after_s(record, host.clock())
        # The messages say what a client can act on; what the process said is the operator's.
        if route.route == "not_declared":
            message = f"no model named {name!r} is declared on this host"
        elif route.route == "not_admitted":
            message = (
                f"{name!r} does not fit this card as configured "
                f"(short by {doc['short_bytes']} bytes); it is never served here"
            )
        elif route.route == "lost":
            message = f"{name!r} was lost ({doc['reason']}) and will be loaded again"
        elif route.route == "failed":
            message = f"{name!r} failed to load and will be loaded again"
        elif record is not None and record.held:
            # Nothing brings it back by itself: no time to come back after.
            message = f"{name!r} was stopped on this host and stays stopped until it is loaded"
            code, retry = "model_stopped", None
        else:
            message = f"{name!r} is not being served now"
        return error_response(status, message, kind, code, route, retry)

    async def _proxy(
        self, request: web.Request, endpoint: str, body: bytes, route: Route, answered: Answered
    ) -> web.StreamResponse:
        assert self.session is not None
        encoding = request.headers.get("Content-Encoding", "")
        decoded = encoding.isascii() and encoding.lower() in DECODED
        headers = _passed_on(
            request.headers.items(),
            drop_auth=self._key is not None,
            dropped=frozenset({"content-encoding"}) if decoded else frozenset(),
        )
        try:
            upstream = await self.session.request(
                request.method,
                endpoint + request.rel_url.raw_path_qs,
                headers=headers,
                data=body,
                timeout=self._timeout,
                allow_redirects=False,
                skip_auto_headers=NOT_ADDED,
            )
        except asyncio.TimeoutError:
            self._log_silence(route, "before answering")
            return self._upstream_error(504, "did not answer in time", route, "upstream_timeout")
        except (aiohttp.ClientError, OSError) as error:
            detail = f"could not be reached ({error.__class__.__name__})"
            return self._upstream_error(502, detail, route, "upstream_unreachable")
        async with upstream:
            passed = _passed_on(upstream.headers.items(), drop_auth=False, dropped=ANSWER_ONLY)
            passed.append((ROUTE_HEADER, route.route))
            streaming = upstream.headers.get("Content-Type", "").startswith("text/event-stream")
            length = upstream.content_length
            if not streaming and length is not None and length <= WHOLE_ANSWER_BYTES:
                # An answer of known, modest size is of no use to its client before its end:
                # sent whole, its headers and body leave in one write.
                try:
                    answer = await upstream.read()
                except asyncio.TimeoutError:
                    self._log_silence(route, "in the middle of its answer")
                    return self._upstream_error(504, "stopped answering", route, "upstream_timeout")
                except (aiohttp.ClientError, OSError):
                    return self._upstream_error(
                        502, "broke off its answer", route, "upstream_broken"
                    )
                answered.sent_bytes = len(answer)
                return web.Response(
                    status=upstream.status, reason=upstream.reason, headers=passed, body=answer
                )
            response = web.StreamResponse(status=upstream.status, reason=upstream.reason)
            for key, value in passed:
                response.headers.add(key, value)
            if length is not None:
                response.content_length = length
            try:
                await response.prepare(request)
            except (ConnectionError, aiohttp.ClientError):
                return response  # the client went away before the answer began
            answered.status = response.status
            # An event stream is whole only once it has said so: its last event is [DONE].
            events = EventStreamEnd() if streaming and upstream.status < 300 else None
            chunks = upstream.content.iter_any().__aiter__()
            while True:
                try:
                    chunk = await chunks.__anext__()
                except StopAsyncIteration:
                    break
                except asyncio.TimeoutError as error:
                    self._log_silence(route, "in the middle of its answer")
                    answered.code = "upstream_timeout"
                    if events is None:
                        raise BrokenAnswer() from error
                    await self._end_stream(response, route, "went silent mid-stream", answered)
                    return response
                except (aiohttp.ClientError, OSError) as error:
                    answered.code = "upstream_broken"
                    if events is None:
                        # Nothing sound can be said in the middle of a body: end the connection
                        # so the client sees an incomplete answer rather than a short one.
                        raise BrokenAnswer() from error
                    await self._end_stream(response, route, "broke off its stream", answered)
                    return response
                if events is not None:
                    events.feed(chunk)
                try:
                    await response.write(chunk)
                except (ConnectionError, aiohttp.ClientError):
                    return response  # the client went away; the upstream answer is dropped
                answered.sent_bytes += len(chunk)
            if events is not None and not events.done():
                # A server that frames its body by closing the connection ends it the same way
                # whether it finished or died: only the [DONE] event tells the two apart.
                answered.code = "upstream_broken"
                await self._end_stream(
                    response, route, "ended its stream before its final event", answered
                )
                return response
            with contextlib.suppress(ConnectionError, aiohttp.ClientError):
                await response.write_eof()
            return response

    async def _end_stream(
        self, response: web.StreamResponse, route: Route, what: str, answered: Answered
    ) -> None:
        """Ends a server-sent event stream whose model process stopped short, with an error
        event the client can tell from a finished answer."""
        model, code = route.doc["model"], answered.code
        self.log.event(
            "stream_cut",
            f"{model}: the model process {what}; the client's stream was ended with "
            f"an {code} error event",
            model=model,
            code=code,
        )
        event = {
            "error": {
                "message": f"the process serving {model!r} {what}",
                "type": "server_error",
                "param": None,
                "code": code,
            }
        }
        data = b"event: error\ndata: " + json.dumps(event).encode() + b"\n\n"
        with contextlib.suppress(ConnectionError, aiohttp.ClientError):
            await response.write(data)
            answered.sent_bytes += len(data)
            await response.write_eof()

    def _log_silence(self, route: Route, when: str) -> None:
        model = route.doc["model"]
        seconds = _seconds(self.server.request_timeout_s)
        self.log.event(
            "upstream_timeout",
            f"{model}: the model process was silent for {seconds} s {when} (request_timeout_s)",
            model=model,
        )

    def _upstream_error(self, status: int, what: str, route: Route, code: str) -> web.Response:
        message = f"the process serving {route.doc['model']!r} {what}"
        return error_response(status, message, "server_error", code, route)


class EventStreamEnd:
    """Follows the end of a server-sent event stream, to tell whether its last event is the
    final `data: [DONE]`."""

    KEEP = 64

    def __init__(self) -> None:
        self.tail = b""

    def feed(self, chunk: bytes) -> None:
        self.tail = (self.tail + chunk)[-self.KEEP :]

    def done(self) -> bool:
        text = self.tail.replace(b"\r\n", b"\n").replace(b"\r", b"\n").rstrip(b"\n")
        line = text.rpartition(b"\n")[2]
        if line not in (b"data: [DONE]", b"data:[DONE]"):
            return False
        # The line must be a whole line: one that began in the tail, or the stream's first.
        return len(text) > len(line) or len(self.tail) < self.KEEP


def preferred_wait_s(values: list[str]) -> float | None:
    """The `wait` preference of the request's Prefer headers (RFC 7240), in seconds, or None.
    The first one given counts, as the RFC says of a preference given twice."""
    for value in values:
        for preference in value.split(","):
            token, _, rest = preference.split(";", 1)[0].partition("=")
            if token.strip().lower() != "wait":
                continue
            number = rest.strip().strip('"')
            if not (number.isascii() and number.isdigit()):
                return None  # a wait that is not a count of seconds is ignored
            # Past a billion seconds any wait is longer than wait_s allows anyway.
            return float(int(number)) if len(number) <= 9 else None
    return None


class BrokenAnswer(ConnectionResetError):
    pass


def _model_of(body: bytes) -> str | None:
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):
        return None
    if not isinstance(document, dict):
        return None
    model = document.get("model")
    return model if isinstance(model, str) else None


def _passed_on(
    items: Any, drop_auth: bool, dropped: frozenset[str] = frozenset()
) -> list[tuple[str, str]]:
    pairs: list[tuple[str, str]] = list(items)
    named: set[str] = set()
    for key, value in pairs:
        if key.lower() == "connection":
            named.update(token.strip().lower() for token in value.split(","))
    return [
        (key, value)
        for key, value in pairs
        if key.lower() not in HOP_BY_HOP
        and key.lower() not in dropped
        and key.lower() not in named
        and not (drop_auth and key.lower() == "authorization")
    ]


def _seconds(value: float) -> str:
    return str(int(value)) if value == int(value) else str(value)
