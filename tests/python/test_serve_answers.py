"""What `marlix serve` tells clients, routers and probes, read as they read it: status codes,
error codes, `Retry-After`, `X-Marlix-Route`, and how a stream ends. One host, with an api key,
serves every test here that does not change what it holds."""

from __future__ import annotations

import asyncio
import json
import re
import time

import pytest

aiohttp = pytest.importorskip("aiohttp")

from serve_host import config, model, serving  # noqa: E402

pytestmark = pytest.mark.host

KEY = "s3cret"
AUTH = {"Authorization": f"Bearer {KEY}"}
SECRET = "error: cannot open /models/secret-weights.gguf"

SHARED = config(
    model("chat", "--load-s", "0", "--tokens", "4", "--token-ms", "10"),
    model("org/model-8B", "--load-s", "0"),
    model("closed", "--load-s", "0", "--tokens", "4", "--frame", "close"),
    model("dies", "--load-s", "0", "--tokens", "9", "--frame", "close", "--die-after-tokens", "3"),
    model("stalls", "--load-s", "0", "--tokens", "9", "--stall-after-tokens", "2"),
    model("org/stopped-8B", "--load-s", "0"),
    # Exits during every load: failed, and never loaded in these tests again, as the loader is
    # held by "never" below, whose load never ends.
    model("failing", "--exit-after", "0.2", "--exit-message", SECRET, load_timeout_s=100),
    model("huge", size="30GiB"),
    model("never", "--never-ready", load_timeout_s=600),
    api_key=KEY,
    wait_s=3,
    request_timeout_s=2,
    stop_grace_s=1,  # "stalls" is still in its stalled answer when the host stops
)


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    with serving(tmp_path_factory.mktemp("shared"), SHARED, key=KEY) as served:
        for name in ("chat", "org/model-8B", "closed", "dies", "stalls", "org/stopped-8B"):
            served.wait_for(name, "ready")
        code, _, body = served.post("/models/org/stopped-8B/unload")
        assert code == 200 and json.loads(body)["marlix"]["route"] == "unknown"
        served.wait_for("failing", "failed")
        served.wait_for("never", "warming")
        yield served


def chat(name: str, **extra: object) -> dict:
    return {"model": name, "messages": [{"role": "user", "content": "hi"}], **extra}


def error_of(body: bytes) -> dict:
    return json.loads(body)["error"]


# Routes and the answers a client acts on.


@pytest.mark.parametrize(
    "name, status, code, route, retry_after",
    [
        ("huge", 404, "model_not_admitted", "not_admitted", None),
        ("nobody", 404, "model_not_found", "not_declared", None),
        # Stopped by hand: nothing brings it back by itself, so no time to come back after.
        ("org/stopped-8B", 503, "model_stopped", "unknown", None),
        # The rest of its reload delay, and then a load as long as its timeout: over a minute,
        # and said so, for a client that will not sleep that long to fail fast.
        ("failing", 503, "model_failed", "failed", (100, 101)),
    ],
)
def test_a_model_that_is_not_served_is_answered_at_once(
    host, name, status, code, route, retry_after
):
    answer, headers, body = host.post("/v1/chat/completions", chat(name))
    assert (answer, error_of(body)["code"]) == (status, code)
    assert headers["X-Marlix-Route"] == route == json.loads(body)["marlix"]["route"]
    if retry_after is None:
        assert "Retry-After" not in headers
    else:
        assert retry_after[0] <= int(headers["Retry-After"]) <= retry_after[1]


@pytest.mark.parametrize(
    "prefer, least_s, most_s",
    [
        ("wait=0", 0, 1.5),
        ("respond-async, wait=1", 1, 2.5),
        ('wait="1"; x=y', 1, 2.5),
        ("wait=100", 3, 5),  # never longer than wait_s
        ("wait=soon", 3, 5),  # not a count of seconds: as if not given
        (None, 3, 5),
    ],
)
def test_a_request_can_ask_not_to_be_held(host, prefer, least_s, most_s):
    headers = dict(AUTH) if prefer is None else {**AUTH, "Prefer": prefer}
    started = time.monotonic()
    code, answer_headers, body = host.post("/v1/chat/completions", chat("never"), headers)
    waited = time.monotonic() - started
    assert (code, error_of(body)["code"]) == (503, "model_loading")
    assert answer_headers["X-Marlix-Route"] == "warming"
    # Its load has its whole timeout of 600 s to run.
    assert 550 <= int(answer_headers["Retry-After"]) <= 600
    assert least_s <= waited < most_s


@pytest.mark.parametrize(
    "path, status, route",
    [
        ("/v2/models/chat/ready", 200, "ready"),
        ("/v2/models/org/model-8B/ready", 200, "ready"),
        ("/v2/models/org%2Fmodel-8B/ready", 200, "ready"),
        ("/v2/models/never/ready", 503, "warming"),
        ("/v2/models/org/stopped-8B/ready", 503, "unknown"),
        ("/v2/models/huge/ready", 404, "not_admitted"),
        ("/v2/models/nobody/ready", 404, "not_declared"),
        ("/v2/models/org/nobody/ready", 404, "not_declared"),
    ],
)
def test_a_models_readiness_is_answered_as_an_inference_server_answers(host, path, status, route):
    code, headers, body = host.get(path, headers={})  # a probe sends no key
    assert code == status and headers["X-Marlix-Route"] == route
    assert json.loads(body)["marlix"]["route"] == route
    if route in ("warming",):
        assert 550 <= int(headers["Retry-After"]) <= 600
    else:
        assert "Retry-After" not in headers


def test_the_host_is_ready_once_one_model_is(host):
    code, _, body = host.get("/v2/health/ready", headers={})
    document = json.loads(body)
    assert code == 200 and document["rule"] == "any"
    assert {"never", "failing", "org/stopped-8B"} <= set(document["not_ready"])
    assert "chat" not in document["not_ready"]


def test_one_model_and_every_model_by_name(host):
    code, headers, body = host.get("/v1/models/org/model-8B")
    document = json.loads(body)
    assert code == 200 and headers["X-Marlix-Route"] == "ready"
    assert {k: document[k] for k in ("id", "object", "owned_by")} == {
        "id": "org/model-8B",
        "object": "model",
        "owned_by": "marlix",
    }
    assert isinstance(document["created"], int)
    listed = json.loads(host.get("/v1/models")[2])["data"]
    assert [m for m in listed if m["id"] == "org/model-8B"] == [document]
    code, headers, body = host.get("/v1/models/org/nobody")
    assert code == 404 and error_of(body)["code"] == "model_not_found"
    assert headers["X-Marlix-Route"] == "not_declared"


def test_each_request_that_did_not_end_well_or_waited_has_its_log_line(host):
    assert host.post("/v1/chat/completions", chat("chat"))[0] == 200
    assert host.post("/v1/chat/completions", chat("huge"))[0] == 404
    headers = {**AUTH, "Prefer": "wait=1"}
    assert host.post("/v1/chat/completions", chat("never"), headers)[0] == 503
    host.wait_for_log("POST /v1/chat/completions huge: 404 model_not_admitted, route not_admitted,")
    host.wait_for_log("POST /v1/chat/completions never: 503 model_loading, route warming, ")
    line = [x for x in host.log().splitlines() if "never: 503 model_loading" in x][-1]
    assert line.endswith(", after waiting 1.0 s")
    assert "chat: 200" not in host.log()  # a plain success is not logged without --access-log


# What only an operator sees.


@pytest.mark.parametrize(
    "method, path",
    [
        ("GET", "/status"),
        ("GET", "/v1/models"),
        ("GET", "/v1/models/chat"),
        ("POST", "/v1/chat/completions"),
        ("POST", "/models/chat/unload"),
        ("POST", "/models/org/model-8B/load"),
    ],
)
@pytest.mark.parametrize(
    "sent, message",
    [
        ({}, 'this host needs an api key: send "Authorization: Bearer <key>"'),
        ({"Authorization": KEY}, 'this host needs an api key: send "Authorization: Bearer <key>"'),
        ({"Authorization": "Bearer nope"}, "the api key sent is not this host's"),
        ({"Authorization": f"Bearer {KEY}x"}, "the api key sent is not this host's"),
    ],
)
def test_what_needs_the_key_says_what_was_wrong(host, method, path, sent, message):
    data = json.dumps(chat("chat")).encode() if method == "POST" else None
    code, headers, body = host.request(method, path, data, sent)
    assert code == 401 and headers["WWW-Authenticate"].startswith("Bearer")
    assert error_of(body) == {
        "message": message,
        "type": "invalid_request_error",
        "param": None,
        "code": "invalid_api_key",
    }


@pytest.mark.parametrize("path", ["/", "/metrics", "/health", "/v2/health/live"])
def test_what_stays_open_tells_nothing_of_processes(host, path):
    code, _, body = host.get(path, headers={})
    assert code == 200
    status = host.status()
    text = body.decode()
    for row in status["models"]:
        for detail in (row["pid"], row["port"]):
            # No pid or port as a number of its own (the digits may occur inside a float).
            if detail is not None:
                assert not re.search(rf"(?<![0-9.]){detail}(?![0-9.])", text), (path, detail)
    for detail in ("127.0.0.1", "marlix.standin", "secret-weights", "/models/"):
        assert detail not in text, (path, detail)


def test_clients_never_see_what_a_model_process_wrote(host):
    # The operator does, in /status and the log.
    assert SECRET in host.model("failing")["last_failure"]
    assert SECRET in host.log()
    seen = [
        host.post("/v1/chat/completions", chat("failing"))[2],
        host.get("/v1/models")[2],
        host.get("/v1/models/failing")[2],
        host.get("/v2/models/failing/ready", headers={})[2],
        host.get("/v2/health/ready", headers={})[2],
    ]
    for body in seen:
        assert b"secret-weights" not in body and b"127.0.0.1" not in body, body
    listed = json.loads(host.get("/v1/models")[2])["data"]
    chat_route = next(m["marlix"] for m in listed if m["id"] == "chat")
    assert chat_route == {
        "model": "chat",
        "operator_fault": False,
        "ready": True,
        "route": "ready",
        "try_elsewhere": False,
    }


# Streams, and how they end.


async def read_stream(url: str, name: str) -> tuple[int, bytes]:
    timeout = aiohttp.ClientTimeout(total=30)
    async with aiohttp.ClientSession(timeout=timeout, headers=AUTH) as session:
        async with session.post(url + "/v1/chat/completions", json=chat(name, stream=True)) as r:
            return r.status, await r.read()


def events_of(body: bytes) -> list[bytes]:
    return [event for event in body.replace(b"\r\n", b"\n").split(b"\n\n") if event.strip()]


@pytest.mark.parametrize(
    "name, code, logged",
    [
        ("chat", None, None),
        ("closed", None, None),  # framed by the closing of the connection, and whole
        (
            "dies",
            "upstream_broken",
            "dies: the model process ended its stream before its final event",
        ),
        ("stalls", "upstream_timeout", "stalls: the model process was silent for 2 s"),
    ],
)
def test_a_stream_cut_short_always_ends_with_an_error_event(host, name, code, logged):
    status, body = asyncio.run(read_stream(host.url, name))
    events = events_of(body)
    assert status == 200 and events[0].startswith(b"data: {")
    if code is None:
        assert events[-1] == b"data: [DONE]" and b"event: error" not in body
        return
    assert b"[DONE]" not in body
    kind, data = events[-1].split(b"\n", 1)
    assert kind == b"event: error"
    assert json.loads(data.removeprefix(b"data: "))["error"]["code"] == code
    host.wait_for_log(logged)
    host.wait_for_log(f"POST /v1/chat/completions {name}: 200 {code}, route ready, ")


def test_a_host_ready_only_with_every_model_and_names_with_a_slash(tmp_path):
    text = config(
        model("org/chat-8B", "--load-s", "0"),
        model("never", "--never-ready", load_timeout_s=600),
        ready="all",
    )
    with serving(tmp_path, text) as host:
        host.wait_for("org/chat-8B", "ready")
        host.wait_for("never", "warming")
        code, headers, body = host.get("/v2/health/ready")
        assert code == 503 and json.loads(body)["not_ready"] == ["never"]
        code, _, body = host.post("/models/org/chat-8B/unload")
        assert code == 200 and json.loads(body)["marlix"]["route"] == "unknown"
        code, _, body = host.post("/models/org%2Fchat-8B/load")
        assert code == 200 and json.loads(body)["marlix"]["route"] == "warming"


@pytest.mark.parametrize("log_format", ["text", "json"])
def test_with_access_log_every_request_has_its_line(tmp_path, log_format):
    text = config(
        model("chat", "--load-s", "0", "--tokens", "4", "--token-ms", "10"),
        model(
            "dies", "--load-s", "0", "--tokens", "9", "--frame", "close", "--die-after-tokens", "3"
        ),
        model("never", "--never-ready", load_timeout_s=600),
    )
    with serving(tmp_path, text, "--access-log", "--log-format", log_format) as host:
        for name in ("chat", "dies"):
            host.wait_for(name, "ready")
        host.wait_for("never", "warming")
        assert host.post("/v1/chat/completions", chat("chat"))[0] == 200
        assert host.post("/v1/chat/completions", chat("never"), {"Prefer": "wait=0"})[0] == 503
        assert asyncio.run(read_stream(host.url, "dies"))[0] == 200
        expected = [
            ("chat", 200, None, "POST /v1/chat/completions chat: 200, route ready, "),
            ("never", 503, "model_loading", "never: 503 model_loading, route warming, "),
            ("dies", 200, "upstream_broken", "dies: 200 upstream_broken, route ready, "),
        ]
        if log_format == "text":
            for _, _, _, line in expected:
                host.wait_for_log(line)
            host.wait_for_log("dies: the model process ended its stream before its final event")
            return
        host.wait_for_log('"event": "request", "message": "POST /v1/chat/completions dies: ')
        events = [json.loads(line) for line in host.log().splitlines()]
        requests = {e["model"]: e for e in events if e["event"] == "request"}
        for name, status, code, _ in expected:
            request = requests[name]
            assert (request["status"], request["code"]) == (status, code), request
            assert (request["method"], request["path"]) == ("POST", "/v1/chat/completions")
            assert request["duration_ms"] >= 0 and request["message"].startswith("POST ")
        assert requests["chat"]["route"] == "ready" and requests["chat"]["bytes"] > 0
        cut = next(e for e in events if e["event"] == "stream_cut")
        assert (cut["model"], cut["code"]) == ("dies", "upstream_broken")
