"""`marlix serve` as it runs: real model processes (stand-ins), real sockets on 127.0.0.1 and
real signals. Every wait is bounded."""

from __future__ import annotations

import asyncio
import http.client
import json
import os
import signal
import subprocess
import sys
import time

import pytest

aiohttp = pytest.importorskip("aiohttp")
prometheus_parser = pytest.importorskip("prometheus_client.parser")

from serve_host import alive, config, model, serving  # noqa: E402

pytestmark = pytest.mark.host

CHAT = {"model": "chat", "messages": [{"role": "user", "content": "hi"}]}


def chat(name: str, **extra: object) -> dict:
    return {**CHAT, "model": name, **extra}


async def stream_chunks(url: str, body: dict, timeout: float = 30) -> list[tuple[float, bytes]]:
    """The chunks of a streamed answer with the time each arrived."""
    chunks = []
    client_timeout = aiohttp.ClientTimeout(total=timeout)
    async with aiohttp.ClientSession(timeout=client_timeout) as session:
        async with session.post(url + "/v1/chat/completions", json=body) as answer:
            assert answer.status == 200, await answer.text()
            assert answer.headers["X-Marlix-Route"] == "ready"
            async for chunk in answer.content.iter_any():
                chunks.append((time.monotonic(), chunk))
    return chunks


def test_a_ready_model_answers_and_streams_chunk_by_chunk(tmp_path):
    text = config(model("chat", "--load-s", "0", "--tokens", "4", "--token-ms", "400"))
    with serving(tmp_path, text) as host:
        host.wait_for("chat", "ready")
        code, headers, body = host.post("/v1/chat/completions", chat("chat"))
        assert code == 200 and headers["X-Marlix-Route"] == "ready"
        answer = json.loads(body)
        assert answer["object"] == "chat.completion" and answer["model"] == "chat"
        assert answer["choices"][0]["message"]["content"].startswith("This is a stand-in")

        chunks = asyncio.run(stream_chunks(host.url, chat("chat", stream=True)))
        events = b"".join(c for _, c in chunks).split(b"\n\n")
        assert [e for e in events if e][-1] == b"data: [DONE]"
        assert len([e for e in events if e.startswith(b"data: {")]) == 4
        # The stand-in pauses 0.4 s between tokens: a front door that buffered the answer
        # would deliver it all at the end.
        assert chunks[-1][0] - chunks[0][0] > 0.8


def test_requests_wait_for_a_load_and_share_it(tmp_path):
    text = config(model("slow", "--load-s", "2"), wait_s=60)
    with serving(tmp_path, text) as host:

        async def ask() -> list[int]:
            async with aiohttp.ClientSession() as session:

                async def one() -> int:
                    async with session.post(
                        host.url + "/v1/chat/completions", json=chat("slow")
                    ) as answer:
                        await answer.read()
                        return answer.status

                return await asyncio.gather(*(one() for _ in range(5)))

        assert asyncio.run(ask()) == [200] * 5
        assert host.model("slow")["restarts"] == 0
        assert host.log().count("slow: starting") == 1


def test_waiting_is_bounded_in_time_and_in_number(tmp_path):
    text = config(
        model("never", "--never-ready", load_timeout_s=600),
        wait_s=3,
        max_waiting=2,
    )
    with serving(tmp_path, text) as host:
        host.wait_for("never", "warming")

        async def ask() -> list[tuple[int, dict, dict]]:
            async with aiohttp.ClientSession() as session:

                async def one(delay: float) -> tuple[int, dict, dict]:
                    await asyncio.sleep(delay)
                    async with session.post(
                        host.url + "/v1/chat/completions", json=chat("never")
                    ) as answer:
                        return answer.status, dict(answer.headers), await answer.json()

                # The third arrives while the first two wait.
                return await asyncio.gather(one(0), one(0), one(0.3))

        answers = asyncio.run(ask())
        assert sorted(code for code, _, _ in answers) == [429, 503, 503]
        for code, headers, body in answers:
            # The load in progress is given its whole timeout, as no load has succeeded yet:
            # the rest of 600 s, not a minute cut short.
            assert 590 <= int(headers["Retry-After"]) <= 600
            assert headers["X-Marlix-Route"] == "warming"
            assert body["marlix"]["route"] == "warming"
            expected = "too_many_waiting" if code == 429 else "model_loading"
            assert body["error"]["code"] == expected


def test_a_load_that_never_becomes_healthy_fails_and_its_process_ends(tmp_path):
    text = config(model("never", "--never-ready", load_timeout_s=2))
    with serving(tmp_path, text) as host:
        pid = host.wait_for("never", "warming")["pid"]
        row = host.wait_for("never", "failed", timeout=20)
        assert row["route"]["reason"] == "no healthy answer within 2 s"
        assert row["last_failure"] == "no healthy answer within 2 s"
        deadline = time.monotonic() + 10
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not alive(pid)
        code, headers, body = host.post("/v1/chat/completions", chat("never"))
        # The rest of a reload delay of 1 or 2 s, and then a whole load: before any load
        # succeeded, its timeout of 2 s.
        assert code == 503 and 2 <= int(headers["Retry-After"]) <= 4
        assert json.loads(body)["error"]["code"] == "model_failed"


def test_a_process_that_exits_is_reported_and_loaded_again(tmp_path):
    options = ("--load-s", "0", "--exit-after", "2.5", "--exit-message", "CUDA error: gone")
    text = config(model("flaky", *options))
    with serving(tmp_path, text) as host:
        first = host.wait_for("flaky", "ready")["pid"]
        row = host.wait_for("flaky", "lost", timeout=20)
        assert row["route"]["reason"] == "process_exited"
        assert row["last_failure"] == "the process exited with status 1: CUDA error: gone"
        code, headers, body = host.post("/v1/chat/completions", chat("flaky"))
        if code == 503:  # unless it came back in the meantime
            assert json.loads(body)["error"]["code"] == "model_lost"
            # The rest of its first reload delay (1 s), and a load as long as its last one.
            assert 1 <= int(headers["Retry-After"]) <= 3
        row = host.wait_for("flaky", "ready", timeout=20)
        assert row["pid"] != first and row["restarts"] >= 1


def test_a_model_killed_mid_stream_ends_the_clients_stream(tmp_path):
    text = config(model("chat", "--load-s", "0", "--tokens", "50", "--token-ms", "200"))
    with serving(tmp_path, text) as host:
        pid = host.wait_for("chat", "ready")["pid"]

        async def read_and_kill() -> bytes:
            timeout = aiohttp.ClientTimeout(total=30)
            async with aiohttp.ClientSession(timeout=timeout) as session:
                url = host.url + "/v1/chat/completions"
                async with session.post(url, json=chat("chat", stream=True)) as answer:
                    received = await answer.content.readuntil(b"\n\n")
                    os.kill(pid, signal.SIGKILL)
                    async for chunk in answer.content.iter_any():
                        received += chunk
                    return received

        received = asyncio.run(read_and_kill())
        events = [e for e in received.split(b"\n\n") if e]
        assert events[-1].startswith(b"event: error\ndata: ")
        assert json.loads(events[-1].split(b"data: ", 1)[1])["error"]["code"] == "upstream_broken"
        assert b"[DONE]" not in received
        # The host learns of the exit from the process itself, and loads the model again.
        host.wait_for_log("chat: lost: the process was killed by SIGKILL")
        assert host.wait_for("chat", "ready")["pid"] != pid


def test_sigterm_ends_every_model_process(tmp_path):
    text = config(
        model("a", "--load-s", "0"),
        model("stubborn", "--load-s", "0", "--ignore-sigterm"),
        stop_grace_s=1,
    )
    with serving(tmp_path, text, "--events", str(tmp_path / "events.jsonl")) as host:
        host.wait_for("a", "ready")
        pids = [host.wait_for("stubborn", "ready")["pid"], host.model("a")["pid"]]
        assert host.stop() == 0
        assert not [pid for pid in pids if alive(pid)]
        kinds = [json.loads(line).get("kind") for line in open(tmp_path / "events.jsonl")]
        assert kinds[-2:] == ["stop", "stop"]


BAD_BODIES = [
    (b"not json", 400, "invalid_body"),
    (b"[1, 2]", 400, "invalid_body"),
    (b'{"model": 7}', 400, "invalid_body"),
    (b'{"messages": []}', 400, "invalid_body"),
    (b'{"model": "nobody"}', 404, "model_not_found"),
    (b'{"model": "huge"}', 404, "model_not_admitted"),
    (b'{"model": "chat", "pad": "' + b"x" * 5000 + b'"}', 413, "body_too_large"),
]


def test_answers_that_are_not_forwarded(tmp_path):
    text = config(
        model("chat", "--load-s", "0"),
        model("huge", size="30GiB"),
        max_body_bytes=4096,
    )
    with serving(tmp_path, text) as host:
        for body, status, error_code in BAD_BODIES:
            code, headers, answer = host.post("/v1/chat/completions", body)
            assert code == status, body
            error = json.loads(answer)["error"]
            assert error["code"] == error_code and isinstance(error["message"], str)
            assert set(error) == {"message", "type", "param", "code"}
            if status == 404:
                document = json.loads(answer)["marlix"]
                assert headers["X-Marlix-Route"] == document["route"]
        huge = json.loads(host.post("/v1/chat/completions", {"model": "huge"})[2])["marlix"]
        assert huge["short_bytes"] > 0 and huge["try_elsewhere"] is True


def test_the_documents_of_models_and_health(tmp_path):
    text = config(model("chat", "--load-s", "0"), model("huge", size="30GiB"))
    with serving(tmp_path, text) as host:
        assert host.get("/v2/health/ready")[0] == 503
        host.wait_for("chat", "ready")
        assert host.get("/v2/health/ready")[0] == 200  # every admitted model is ready
        assert host.get("/v2/models/chat/ready")[0] == 200
        for name in ("huge", "nobody"):  # never served here: as an unknown model
            code, headers, _ = host.get(f"/v2/models/{name}/ready")
            assert code == 404 and "Retry-After" not in headers
        models = json.loads(host.get("/v1/models")[2])
        assert models["object"] == "list"
        assert [(m["id"], m["object"], m["owned_by"]) for m in models["data"]] == [
            ("chat", "model", "marlix"),
            ("huge", "model", "marlix"),
        ]
        assert [m["marlix"]["route"] for m in models["data"]] == ["ready", "not_admitted"]
        status = host.status()
        assert status["plan"]["admitted"] == ["chat"]
        assert status["committed_bytes"] == 2**30  # without NVML, the declared need
        assert status["committed_bytes"] + status["free_bytes"] == status["plan"]["usable_bytes"]
        chat_row = status["models"][0]
        assert chat_row["route"]["endpoint"] == f"http://127.0.0.1:{chat_row['port']}"


def test_unload_and_load_by_hand(tmp_path):
    text = config(model("chat", "--load-s", "0"), model("huge", size="30GiB"))
    with serving(tmp_path, text) as host:
        pid = host.wait_for("chat", "ready")["pid"]
        code, _, body = host.post("/models/chat/unload")
        assert code == 200 and json.loads(body)["marlix"]["route"] == "unknown"
        assert not alive(pid)
        time.sleep(1.5)  # a stopped model stays stopped
        assert host.model("chat")["pid"] is None
        code, headers, body = host.post("/v1/chat/completions", chat("chat"))
        # Nothing brings it back by itself: no time to come back after.
        assert code == 503 and json.loads(body)["error"]["code"] == "model_stopped"
        assert "Retry-After" not in headers
        code, _, body = host.post("/models/chat/load")
        assert code == 200 and json.loads(body)["marlix"]["route"] == "warming"
        # A request now waits for that load.
        assert host.post("/v1/chat/completions", chat("chat"))[0] == 200
        assert host.post("/models/nobody/load")[0] == 404
        assert host.post("/models/huge/unload")[0] == 409


UPSTREAM = """
import http.server, json, os, socket, sys, time
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
    def do_GET(self):
        self.send_response(200); self.send_header("Content-Length", "0"); self.end_headers()
    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        if self.path.startswith("/v1/echo"):
            seen = {"headers": dict(self.headers), "env": os.environ.get("MARLIX_TEST_ENV"),
                    "path": self.path}
            body = json.dumps(seen).encode()
            self.send_response(201)
            for key, value in [("Content-Type", "application/json"), ("X-Upstream", "kept"),
                               ("Keep-Alive", "timeout=5"), ("Connection", "keep-alive, X-Hop"),
                               ("X-Hop", "dropped"), ("Content-Length", str(len(body)))]:
                self.send_header(key, value)
            self.end_headers()
            self.wfile.write(body)
            return
        if self.path.endswith("/hang"):
            time.sleep(30)
        self.connection.shutdown(socket.SHUT_RDWR)  # breaks off before answering
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
"""


def test_a_model_process_that_breaks_off_or_hangs(tmp_path):
    script = tmp_path / "upstream.py"
    script.write_text(UPSTREAM, "utf-8")
    text = config(request_timeout_s=1) + "\n".join(
        [
            "[[models]]",
            'name = "odd"',
            "weights_bytes = 1",
            f"command = {json.dumps([sys.executable, str(script), '{port}'])}",
            'env = { MARLIX_TEST_ENV = "given" }',
        ]
    )
    with serving(tmp_path, text) as host:
        host.wait_for("odd", "ready")
        code, _, body = host.post("/v1/chat/completions", {"model": "odd"})
        assert code == 502 and json.loads(body)["error"]["code"] == "upstream_unreachable"
        code, _, body = host.post("/v1/hang", {"model": "odd"})
        assert code == 504 and json.loads(body)["error"]["code"] == "upstream_timeout"
        assert json.loads(body)["marlix"]["route"] == "ready"
        host.wait_for_log("odd: the model process was silent for 1 s before answering")
        # http.client sends the headers as given (urllib would put its own Connection).
        connection = http.client.HTTPConnection(host.url.removeprefix("http://"), timeout=30)
        sent = {"X-Client": "kept", "TE": "trailers", "Connection": "X-Private", "X-Private": "no"}
        connection.request("POST", "/v1/echo?x=1", b'{"model": "odd"}', sent)
        answer = connection.getresponse()
        code, headers, seen = answer.status, dict(answer.headers), json.loads(answer.read())
        connection.close()
        assert code == 201 and seen["env"] == "given" and seen["path"] == "/v1/echo?x=1"
        assert seen["headers"]["X-Client"] == "kept"
        assert not {"TE", "X-Private"} & set(seen["headers"])
        assert headers["X-Upstream"] == "kept" and headers["X-Marlix-Route"] == "ready"
        assert "X-Hop" not in headers and "Keep-Alive" not in headers


def test_metrics_parse_and_follow_the_card(tmp_path):
    text = config(model("chat", "--load-s", "0"), model("huge", size="30GiB"))
    with serving(tmp_path, text) as host:
        host.wait_for("chat", "ready")
        host.post("/v1/chat/completions", chat("chat"))
        host.post("/v1/chat/completions", chat("nobody"))
        code, headers, body = host.get("/metrics")
        assert code == 200 and headers["Content-Type"].startswith("text/plain")
        samples = {
            (s.name, tuple(sorted(s.labels.items()))): s.value
            for family in prometheus_parser.text_string_to_metric_families(body.decode())
            for s in family.samples
        }
        assert samples[("marlix_card_bytes", (("card", "0"), ("kind", "total")))] == 24 * 2**30
        assert samples[("marlix_card_bytes", (("card", "0"), ("kind", "committed")))] == 2**30
        chat_ready = (("card", "0"), ("model", "chat"), ("state", "ready"))
        assert samples[("marlix_model_state", chat_ready)] == 1
        huge = (("card", ""), ("model", "huge"), ("state", "not_admitted"))
        assert samples[("marlix_model_state", huge)] == 1
        key = ("marlix_requests_total", (("code", "200"), ("model", "chat"), ("route", "ready")))
        assert samples[key] == 1
        key = ("marlix_requests_total", (("code", "404"), ("model", ""), ("route", "not_declared")))
        assert samples[key] == 1
        assert samples[("marlix_loads_total", (("model", "chat"), ("outcome", "ready")))] == 1
        assert samples[("marlix_requests_waiting", (("model", "chat"),))] == 0
        assert samples[("marlix_requests_in_flight", (("model", "chat"),))] == 0


def test_the_events_replay_to_the_hosts_report(tmp_path):
    events = tmp_path / "events.jsonl"
    options = ("--load-s", "0", "--exit-after", "1.5")
    text = config(
        model("chat", "--load-s", "0"),
        model("flaky", *options),
        model("never", "--never-ready", load_timeout_s=1),
        model("huge", size="30GiB"),
    )
    with serving(tmp_path, text, "--events", str(events)) as host:
        host.wait_for("never", "failed", timeout=30)
        host.wait_for("flaky", ("lost", "failed"), timeout=30)
        lines, status = events_and_status(host, events)
    assert replay(tmp_path, lines, status, "--card", "24GiB") == status["report"]


def events_and_status(host, events) -> tuple[str, dict]:
    """The events written so far and the host's status, at a moment when no event was
    written between the two."""
    for _ in range(50):
        before = events.read_text()
        status = host.status()
        if events.read_text() == before:
            break
    return before, status


def replay(tmp_path, lines: str, status: dict, *cards: str) -> str:
    """What `marlix replay` reports from the roster the configuration gives and `lines`, at
    the time of `status`."""
    (tmp_path / "events-then.jsonl").write_text(lines)
    roster = subprocess.run(
        [sys.executable, "-m", "marlix", "serve", str(tmp_path / "serve.toml"), "--roster"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    (tmp_path / "roster.json").write_text(roster.stdout)
    replayed = subprocess.run(
        [sys.executable, "-m", "marlix", "replay", "roster.json", "events-then.jsonl", *cards]
        + ["--at", str(status["now_ms"])],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path,
    )
    assert replayed.returncode == 0, replayed.stderr
    return replayed.stdout


@pytest.mark.browser
def test_the_status_page_follows_a_model_from_loading_to_ready(tmp_path):
    serve_browser = pytest.importorskip("serve_browser")
    # Loading takes long enough for the browser to start and see it, even on a busy machine.
    text = config(model("chat", "--load-s", "10"), model("huge", size="30GiB"))
    with serving(tmp_path, text) as host:
        host.wait_for("chat", "warming")

        async def watch() -> None:
            async with serve_browser.Browser() as browser:
                page = await browser.open(host.url + "/")
                await page.mark()
                # The page comes with the host's state: the row is there from the first paint.
                row = "document.querySelector('tr[data-model=\"chat\"] .state .pill').textContent"
                assert await page.wait_for(f"{row} === 'loading'", timeout=10)
                assert await page.wait_for(f"{row} === 'ready'", timeout=20)
                endpoint = await page.evaluate(
                    "document.querySelector('tr[data-model=\"chat\"] .endpoint').textContent"
                )
                assert endpoint == host.model("chat")["route"]["endpoint"]
                huge = "document.querySelector('tr[data-model=\"huge\"] .state').textContent"
                assert await page.evaluate(huge) == "not admitted"
                assert await page.still_marked() and page.navigations == 1

        asyncio.run(asyncio.wait_for(watch(), 60))


FAKE_NVML = """
import os, types
class NVMLError(Exception):
    pass
class NVMLError_GpuIsLost(NVMLError):
    pass
LOST = os.path.join(os.path.dirname(__file__), "gpu-lost")
def nvmlInit():
    pass
def nvmlShutdown():
    pass
def nvmlDeviceGetCount():
    return 1
def nvmlDeviceGetHandleByIndex(index):
    return index
def nvmlDeviceGetMemoryInfo(handle):
    if os.path.exists(LOST):
        raise NVMLError_GpuIsLost("GPU is lost")
    return types.SimpleNamespace(total=48 * 2**30, free=0, used=0)
def nvmlDeviceGetComputeRunningProcesses(handle):
    # Every stand-in holds 3 GiB, and a process of some other program 5 GiB.
    found = [types.SimpleNamespace(pid=1, usedGpuMemory=5 * 2**30)]
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if b"marlix.standin" in cmdline.read():
                    found.append(types.SimpleNamespace(pid=int(pid), usedGpuMemory=3 * 2**30))
        except OSError:
            pass
    return found
def nvmlDeviceGetGraphicsRunningProcesses(handle):
    return []
"""


@pytest.mark.parametrize("gpu_lost, reason", [(False, "evicted"), (True, "gpu_detached")])
def test_nvml_gives_the_vram_held_and_whether_the_gpu_went(tmp_path, gpu_lost, reason):
    (tmp_path / "pynvml.py").write_text(FAKE_NVML, "utf-8")
    path = [str(tmp_path), *os.environ.get("PYTHONPATH", "").split(os.pathsep)]
    sick = ("--load-s", "0", "--sick-after", "3")
    text = config(
        model("chat", "--load-s", "0", size="1GiB"),
        model("sick", *sick, size="1GiB", probe_interval_s=0.2),
        card="auto",
    )
    with serving(tmp_path, text, env={"PYTHONPATH": os.pathsep.join(path)}) as host:
        host.wait_for("chat", "ready")
        host.wait_for("sick", "ready")
        status = host.status()
        assert status["total_bytes"] == 48 * 2**30
        assert status["committed_bytes"] == 6 * 2**30  # what NVML says, not the declared 2 GiB
        if gpu_lost:
            (tmp_path / "gpu-lost").touch()
        row = host.wait_for("sick", "lost", timeout=20)
        assert row["route"]["reason"] == reason
        assert row["route"]["operator_fault"] is (not gpu_lost)
        assert row["last_failure"] == "3 health probes in a row failed"


def environment_of(pid: int) -> dict[str, str]:
    with open(f"/proc/{pid}/environ", "rb") as environ:
        pairs = [item.split(b"=", 1) for item in environ.read().split(b"\0") if b"=" in item]
    return {key.decode(): value.decode() for key, value in pairs}


def test_two_cards_each_serve_their_own_models(tmp_path):
    events = tmp_path / "events.jsonl"
    # Each card keeps 1 GiB back, so 3 GiB of each is usable: a fills most of the first, b
    # goes to the second, and c fits neither.
    text = config(
        model("a", "--load-s", "0", size="2GiB"),
        model("b", "--load-s", "0", size="2GiB"),
        model("c", size="5GiB"),
        card=["4GiB", "4GiB"],
    )
    with serving(
        tmp_path, text, "--events", str(events), env={"CUDA_VISIBLE_DEVICES": "7"}
    ) as host:
        rows = {name: host.wait_for(name, "ready") for name in ("a", "b")}
        assert [rows["a"]["card"], rows["b"]["card"]] == [0, 1]
        for name, card in (("a", "0"), ("b", "1")):
            assert environment_of(rows[name]["pid"])["CUDA_VISIBLE_DEVICES"] == card
            code, _, body = host.post("/v1/chat/completions", chat(name))
            assert code == 200 and json.loads(body)["model"] == name
        code, _, body = host.post("/v1/chat/completions", chat("c"))
        document = json.loads(body)["marlix"]
        assert code == 404 and document["route"] == "not_admitted"
        assert document["short_bytes"] == 4 * 2**30  # 1 GiB free on the last card
        status = host.status()
        assert [card["total_bytes"] for card in status["cards"]] == [4 * 2**30] * 2
        assert [card["committed_bytes"] for card in status["cards"]] == [2 * 2**30] * 2
        assert status["plan"]["unplaced"] == [
            {"model": "c", "needed_bytes": 5 * 2**30, "short_bytes": document["short_bytes"]}
        ]
        assert host.model("c")["card"] is None
        lines, status = events_and_status(host, events)
    assert {json.loads(line)["card"] for line in lines.splitlines()} == {0, 1}
    cards = ("--card", "4GiB", "--card", "4GiB")
    assert replay(tmp_path, lines, status, *cards) == status["report"]
