"""What the front door passes on and what it keeps to itself, read from both sides: the headers
a model process receives and a client is answered with, how each body is framed, the body
limit however a body is sent, and the request counts an operator scrapes. One host, with an
api key, serves every test here; one without a key shows what that key changes."""

from __future__ import annotations

import gzip
import http.client
import json
import socket
import sys
import time
from collections.abc import Iterable, Iterator

import pytest

prometheus_parser = pytest.importorskip("prometheus_client.parser")
pytest.importorskip("aiohttp")

from serve_host import config, model, serving  # noqa: E402

pytestmark = pytest.mark.host

KEY = "s3cret"
AUTH = ("Authorization", f"Bearer {KEY}")
LIMIT = 2048  # max_body_bytes of both hosts

# A model process that answers with what it received: its request's headers in the order and
# case they came, its body, and its own address. The request's body says how to answer: which
# headers to add ("answer") and how to frame the answer ("frame": length, chunked or close).
ECHO = """
import http.server, json, sys
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
    def do_GET(self):
        self.send_response(200); self.send_header("Content-Length", "0"); self.end_headers()
    def body(self):
        if "chunked" not in self.headers.get("Transfer-Encoding", "").lower():
            return self.rfile.read(int(self.headers.get("Content-Length", "0")))
        data = b""
        while True:
            size = int(self.rfile.readline().split(b";")[0], 16)
            if size == 0:
                while self.rfile.readline() not in (b"\\r\\n", b"\\n", b""):
                    pass
                return data
            data += self.rfile.read(size)
            self.rfile.readline()
    def do_POST(self):
        body = self.body()
        try:
            asked = json.loads(body)
        except ValueError:
            asked = {}
        seen = {"headers": list(self.headers.items()), "body": body.decode("latin-1"),
                "address": "%s:%d" % self.server.server_address}
        answer = json.dumps(seen).encode()
        frame = asked.get("frame", "length")
        self.send_response(201)
        self.send_header("Content-Type", "application/json")
        for key, value in asked.get("answer", []):
            self.send_header(key, value)
        if frame == "length":
            self.send_header("Content-Length", str(len(answer)))
        elif frame == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        if frame == "chunked":
            half = len(answer) // 2
            for part in (answer[:half], answer[half:], b""):
                self.wfile.write(b"%x\\r\\n%s\\r\\n" % (len(part), part))
        else:
            self.wfile.write(answer)
        self.close_connection = frame == "close"
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
"""


def echo_model(tmp_path) -> str:
    script = tmp_path / "echo.py"
    script.write_text(ECHO, "utf-8")
    command = json.dumps([sys.executable, str(script), "{port}"])
    return f'[[models]]\nname = "echo"\nweights_bytes = 1\ncommand = {command}\n'


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    where = tmp_path_factory.mktemp("shared")
    text = config(
        model("a", "--load-s", "0"),
        model("b", "--load-s", "0"),
        model("huge", size="30GiB"),
        echo_model(where),
        api_key=KEY,
        max_body_bytes=LIMIT,
        # A model process that waits for more of a body than it was sent is answered for soon.
        request_timeout_s=5,
    )
    with serving(where, text, key=KEY) as served:
        for name in ("a", "b", "echo"):
            served.wait_for(name, "ready")
        yield served


@pytest.fixture(scope="module")
def open_host(tmp_path_factory):
    """A host without an api key."""
    where = tmp_path_factory.mktemp("open")
    text = config(echo_model(where), max_body_bytes=LIMIT, request_timeout_s=5)
    with serving(where, text) as served:
        served.wait_for("echo", "ready")
        yield served


Headers = list[tuple[str, str]]


def send(
    served, headers: Headers, body: bytes | Iterable[bytes] | None, chunked: bool = False
) -> tuple[int, Headers, bytes]:
    """POST /v1/echo with exactly `headers` (and Host and the host's key unless given), the
    body sent chunked when `chunked`: the status, every header of the answer and its body."""
    names = {key.lower() for key, _ in headers}
    address = served.url.removeprefix("http://")
    extra = [] if "host" in names else [("Host", address)]
    if served.headers and "authorization" not in names:
        extra.append(AUTH)
    connection = http.client.HTTPConnection(address, timeout=20)
    try:
        connection.putrequest("POST", "/v1/echo", skip_host=True, skip_accept_encoding=True)
        for key, value in extra + headers:
            connection.putheader(key, value)
        connection.endheaders(body, encode_chunked=chunked)
        answer = connection.getresponse()
        return answer.status, answer.getheaders(), answer.read()
    finally:
        connection.close()


def pieces(body: bytes, size: int = 300) -> Iterator[bytes]:
    for start in range(0, len(body), size):
        yield body[start : start + size]


def sent_as(framing: str, body: bytes) -> tuple[Headers, bytes | Iterator[bytes], bool]:
    """The framing headers, the body and the chunked flag `send` takes for `framing`."""
    if framing == "chunked":
        return [("Transfer-Encoding", "chunked")], pieces(body), True
    return [("Content-Length", str(len(body)))], body, False


def lowered(pairs: Headers) -> list[tuple[str, str]]:
    return [(key.lower(), value) for key, value in pairs]


def values(pairs: Headers, name: str) -> list[str]:
    return [value for key, value in pairs if key.lower() == name.lower()]


def sized(length: int, name: str = "echo", **extra: object) -> bytes:
    """A JSON body naming `name`, padded to exactly `length` bytes."""
    body = json.dumps({"model": name, **extra, "pad": ""}).encode()
    body = body[:-2] + b"x" * (length - len(body)) + b'"}'
    assert len(body) == length
    return body


# Headers that belong to one connection.

# Each as a client sends it; the model process must receive none of them. Host,
# Content-Length and Transfer-Encoding are set by the connections themselves: see the framing
# tests below.
REQUEST_HOPS = [
    pytest.param([("Connection", "hop-token")], id="connection"),
    pytest.param([("Keep-Alive", "timeout=5, max=100")], id="keep-alive"),
    pytest.param([("Proxy-Authenticate", 'Basic realm="hop"')], id="proxy-authenticate"),
    pytest.param([("Proxy-Authorization", "Basic aG9wOmhvcA==")], id="proxy-authorization"),
    pytest.param([("Proxy-Connection", "keep-alive")], id="proxy-connection"),
    pytest.param([("TE", "trailers")], id="te"),
    pytest.param([("Trailer", "X-Checksum")], id="trailer"),
    pytest.param([("Trailers", "X-Checksum")], id="trailers"),
    pytest.param([("Upgrade", "h2c")], id="upgrade"),
    pytest.param([("Connection", "X-Private"), ("X-Private", "no")], id="named"),
    pytest.param(
        [("connection", "keep-alive ,X-Private,  x-other"), ("X-PRIVATE", "no"), ("X-Other", "no")],
        id="named-among-others",
    ),
    pytest.param(
        [("Connection", "X-First"), ("Connection", "X-Second"), ("X-First", "no")]
        + [("X-Second", "no")],
        id="named-on-two-lines",
    ),
]


@pytest.mark.parametrize("framing", ["length", "chunked"])
@pytest.mark.parametrize("hops", REQUEST_HOPS)
def test_a_model_process_receives_no_header_of_the_clients_connection(host, hops, framing):
    body = json.dumps({"model": "echo"}).encode()
    framed, data, chunked = sent_as(framing, body)
    code, _, answer = send(host, [*hops, ("X-Client", "kept"), *framed], data, chunked)
    assert code == 201, answer
    seen = json.loads(answer)
    received = lowered(seen["headers"])
    assert values(seen["headers"], "X-Client") == ["kept"]
    for key, value in hops:
        assert (key.lower(), value) not in received, (key, received)
    named = {key.lower() for key, _ in hops} - {"connection"}
    assert not named & {key for key, _ in received}, received
    assert seen["body"] == body.decode()


# Each as a model process answers with it; the client must be answered with none of them.
ANSWER_HOPS = [
    pytest.param([("Connection", "hop-token")], id="connection"),
    pytest.param([("Keep-Alive", "timeout=5")], id="keep-alive"),
    pytest.param([("Proxy-Authenticate", 'Basic realm="hop"')], id="proxy-authenticate"),
    pytest.param([("Proxy-Authorization", "Basic aG9wOmhvcA==")], id="proxy-authorization"),
    pytest.param([("Proxy-Connection", "keep-alive")], id="proxy-connection"),
    pytest.param([("TE", "trailers")], id="te"),
    pytest.param([("Trailer", "X-Checksum")], id="trailer"),
    pytest.param([("Trailers", "X-Checksum")], id="trailers"),
    pytest.param([("Upgrade", "h2c")], id="upgrade"),
    pytest.param([("Connection", "X-Hop"), ("X-Hop", "dropped")], id="named"),
    pytest.param(
        [("Connection", "keep-alive, x-hop"), ("X-HOP", "dropped"), ("X-Also", "dropped")]
        + [("Connection", "X-Also")],
        id="named-on-two-lines",
    ),
]


# A model's answer of known length is sent whole; any other is passed on as it comes.
@pytest.mark.parametrize("frame", ["length", "chunked", "close"])
@pytest.mark.parametrize("hops", ANSWER_HOPS)
def test_a_client_is_answered_with_no_header_of_the_model_process_connection(host, hops, frame):
    answer_headers = [*hops, ("X-Upstream", "kept")]
    body = json.dumps({"model": "echo", "frame": frame, "answer": answer_headers}).encode()
    code, headers, answer = send(host, [("Content-Length", str(len(body)))], body)
    assert code == 201, answer
    assert json.loads(answer)["body"] == body.decode()  # the whole answer, framed right
    assert values(headers, "X-Upstream") == ["kept"]
    assert values(headers, "X-Marlix-Route") == ["ready"]
    got = lowered(headers)
    for key, value in hops:
        assert (key.lower(), value) not in got, (key, headers)
    named = {key.lower() for key, _ in hops} - {"connection"}
    assert not named & {key for key, _ in got}, headers


@pytest.mark.parametrize(
    "which, passed",
    [
        ("host", False),  # the host's own key is the host's, not the model process's
        ("open_host", True),  # without one, what the client sends is the model process's
    ],
)
def test_the_authorization_header_reaches_the_model_process_only_without_a_key(
    request, which, passed
):
    served = request.getfixturevalue(which)
    token = f"Bearer {KEY}" if served.headers else "Bearer the-clients-own"
    body = json.dumps({"model": "echo"}).encode()
    headers = [("Authorization", token), ("Content-Length", str(len(body)))]
    code, _, answer = send(served, headers, body)
    assert code == 201, answer
    seen = json.loads(answer)["headers"]
    assert values(seen, "Authorization") == ([token] if passed else [])


@pytest.mark.parametrize("framing", ["length", "chunked"])
def test_a_model_process_receives_the_body_framed_for_its_own_connection(host, framing):
    body = json.dumps({"model": "echo", "text": "é" * 600}, ensure_ascii=False).encode()
    framed, data, chunked = sent_as(framing, body)
    # The client names the front door as its Host; the model process hears its own address.
    code, _, answer = send(host, [("Host", "front.example:80"), *framed], data, chunked)
    assert code == 201, answer
    seen = json.loads(answer)
    assert seen["body"].encode("latin-1") == body
    assert values(seen["headers"], "Content-Length") == [str(len(body))]
    assert values(seen["headers"], "Transfer-Encoding") == []
    assert values(seen["headers"], "Host") == [seen["address"]]


def http10(served, body: bytes) -> tuple[str, Headers, bytes]:
    """POST /v1/echo as an HTTP/1.0 client, which cannot read chunks: the status line, the
    headers and everything after them up to the closing of the connection."""
    address = served.url.removeprefix("http://")
    where, port = address.rsplit(":", 1)
    request = (
        f"POST /v1/echo HTTP/1.0\r\nHost: {address}\r\n{AUTH[0]}: {AUTH[1]}\r\n"
        f"Content-Length: {len(body)}\r\n\r\n"
    ).encode() + body
    received = b""
    deadline = time.monotonic() + 30
    with socket.create_connection((where, int(port)), timeout=30) as connection:
        connection.sendall(request)
        while time.monotonic() < deadline:
            data = connection.recv(65536)
            if not data:
                break
            received += data
    head, _, rest = received.partition(b"\r\n\r\n")
    status, *lines = head.decode("latin-1").split("\r\n")
    pairs = [(key.strip(), value.strip()) for key, _, value in (x.partition(":") for x in lines)]
    return status, pairs, rest


@pytest.mark.parametrize("frame", ["length", "chunked", "close"])
@pytest.mark.parametrize("version", ["HTTP/1.1", "HTTP/1.0"])
def test_a_client_receives_the_answer_framed_for_its_own_connection(host, frame, version):
    body = json.dumps({"model": "echo", "frame": frame}).encode()
    if version == "HTTP/1.0":
        status, headers, answer = http10(host, body)
        assert status.split()[1] == "201", status
        # No chunks for a client that cannot read them: a length, or the end of the connection.
        assert values(headers, "Transfer-Encoding") == []
        lengths = values(headers, "Content-Length")
        assert lengths in ([], [str(len(answer))]), (lengths, len(answer))
    else:
        code, headers, answer = send(host, [("Content-Length", str(len(body)))], body)
        assert code == 201
        lengths = values(headers, "Content-Length")
        chunks = values(headers, "Transfer-Encoding")
        # Framed one way, once: its length, or chunks.
        assert (lengths, chunks) in (([str(len(answer))], []), ([], ["chunked"])), headers
    assert json.loads(answer)["body"] == body.decode()


# The body limit, whether or not the body's length is given.

TOO_LARGE = {
    "error": {
        "message": f"the request body is larger than this host takes ({LIMIT} bytes)",
        "type": "invalid_request_error",
        "param": None,
        "code": "body_too_large",
    }
}


@pytest.mark.parametrize("framing", ["length", "chunked"])
@pytest.mark.parametrize("size", [LIMIT - 1, LIMIT, LIMIT + 1, 3 * LIMIT])
def test_a_body_is_taken_up_to_the_limit_and_no_further(host, size, framing):
    body = sized(size)
    framed, data, chunked = sent_as(framing, body)
    code, headers, answer = send(host, framed, data, chunked)
    if size <= LIMIT:
        assert code == 201, answer
        assert json.loads(answer)["body"].encode("latin-1") == body
        return
    assert code == 413
    assert values(headers, "Content-Type")[0].startswith("application/json")
    assert json.loads(answer) == TOO_LARGE


@pytest.mark.parametrize("declared", [LIMIT + 1, 2**40])
def test_a_body_declared_too_large_is_refused_before_it_is_sent(host, declared):
    # The client sends its headers and waits: the answer must not wait for the body.
    code, headers, answer = send(host, [("Content-Length", str(declared))], None)
    assert code == 413
    assert values(headers, "Content-Type")[0].startswith("application/json")
    assert json.loads(answer) == TOO_LARGE


# The counts an operator scrapes.


def request_counts(served) -> tuple[dict, dict]:
    """marlix_requests_total by (model, route, code), and the count of
    marlix_request_duration_seconds by model."""
    code, _, text = served.get("/metrics", headers={})
    assert code == 200
    totals: dict[tuple[str, str, str], float] = {}
    durations: dict[str, float] = {}
    for family in prometheus_parser.text_string_to_metric_families(text.decode()):
        for sample in family.samples:
            labels = sample.labels
            if sample.name == "marlix_requests_total":
                totals[(labels["model"], labels["route"], labels["code"])] = sample.value
            elif sample.name == "marlix_request_duration_seconds_count":
                durations[labels["model"]] = sample.value
    return totals, durations


def grown(before: dict, after: dict) -> dict:
    return {
        key: value - before.get(key, 0) for key, value in after.items() if value != before.get(key)
    }


def chat(name: str) -> dict:
    return {"model": name, "messages": [{"role": "user", "content": "hi"}]}


# What is sent, each this many times, and the labels it is counted under: a name that is not
# declared is counted under "", as is a request that names no model at all.
SENT = [
    (chat("a"), None, 3, ("a", "ready", "200")),
    (chat("b"), None, 2, ("b", "ready", "200")),
    (chat("huge"), None, 2, ("huge", "not_admitted", "404")),
    (chat("nobody"), None, 2, ("", "not_declared", "404")),
    (chat("org/nobody-8B"), None, 2, ("", "not_declared", "404")),
    (b"not json", None, 1, ("", "", "400")),
    (b'{"model": 7}', None, 1, ("", "", "400")),
    (chat("a"), {}, 1, ("", "", "401")),
    (sized(LIMIT + 1, "a"), None, 1, ("", "", "413")),
]


def test_each_request_is_counted_once_under_its_own_labels(host):
    before, durations_before = request_counts(host)
    expected: dict[tuple[str, str, str], int] = {}
    expected_durations: dict[str, int] = {}
    for body, headers, times, labels in SENT:
        for _ in range(times):
            code, _, answer = host.post("/v1/chat/completions", body, headers)
            assert str(code) == labels[2], answer
        expected[labels] = expected.get(labels, 0) + times
        expected_durations[labels[0]] = expected_durations.get(labels[0], 0) + times
    after, durations_after = request_counts(host)
    assert grown(before, after) == expected
    assert grown(durations_before, durations_after) == expected_durations


def test_a_compressed_body_reaches_the_model_process_as_the_front_door_read_it(host):
    body = json.dumps({"model": "echo", "text": "x" * 500}).encode()
    packed = gzip.compress(body)
    framing = [("Content-Encoding", "gzip"), ("Content-Length", str(len(packed)))]
    code, _, answer = send(host, framing, packed)
    assert code == 201, answer
    seen = json.loads(answer)
    # Decoded on the way in: sent decoded, and said so.
    assert seen["body"].encode("latin-1") == body
    assert values(seen["headers"], "Content-Encoding") == []


def test_a_model_process_gets_the_clients_headers_and_no_others(host):
    body = json.dumps({"model": "echo"}).encode()
    code, _, answer = send(host, [("Content-Length", str(len(body)))], body)
    assert code == 201, answer
    names = {key.lower() for key, _ in json.loads(answer)["headers"]}
    # What the front door's own client would add unasked: an Accept-Encoding could get the
    # client an answer compressed in a way it never asked for.
    assert not names & {"accept", "accept-encoding", "user-agent", "content-type", "expect"}


def test_a_client_is_not_told_the_model_process_software(host):
    body = json.dumps({"model": "echo"}).encode()
    code, headers, _ = send(host, [("Content-Length", str(len(body)))], body)
    assert code == 201
    assert not [v for v in values(headers, "Server") if "BaseHTTP" in v]


def test_an_expect_100_continue_is_answered_by_the_front_door_alone(host):
    body = json.dumps({"model": "echo"}).encode()
    framing = [("Content-Length", str(len(body))), ("Expect", "100-continue")]
    code, _, answer = send(host, framing, body)
    assert code == 201
    assert values(json.loads(answer)["headers"], "Expect") == []
