"""`marlix serve` with more models than its card holds, as it runs: stand-in processes, real
sockets on 127.0.0.1, what clients, probes and operators see, and the events replayed."""

from __future__ import annotations

import asyncio
import json
import time

import pytest

aiohttp = pytest.importorskip("aiohttp")
prometheus_parser = pytest.importorskip("prometheus_client.parser")

from serve_host import alive, config, model, serving  # noqa: E402
from test_serve import events_and_status, replay  # noqa: E402

pytestmark = pytest.mark.host

# A 24 GiB card keeps 10% back: two stand-ins of 8 GiB fit, not three.
FAST = ("--load-s", "0.3")


def three(**server: object) -> str:
    return config(
        model("a", *FAST, size="8GiB"),
        model("b", *FAST, size="8GiB"),
        model("c", *FAST, size="8GiB", load="demand"),
        model("huge", size="30GiB"),
        swap=True,
        wait_s=30,
        **server,
    )


def chat(name: str, **extra: object) -> dict:
    return {"model": name, "messages": [{"role": "user", "content": "hi"}], **extra}


def metric(host, name: str, **labels: str) -> float:
    text = host.get("/metrics")[2].decode()
    for family in prometheus_parser.text_string_to_metric_families(text):
        for sample in family.samples:
            if sample.name == name and all(sample.labels.get(k) == v for k, v in labels.items()):
                return float(sample.value)
    return 0.0


def test_a_model_the_card_cannot_hold_beside_the_others_is_swapped_in(tmp_path):
    events = tmp_path / "events.jsonl"
    with serving(tmp_path, three(), "--events", str(events)) as host:
        a_pid = host.wait_for("a", "ready")["pid"]
        host.wait_for("b", "ready")
        code, headers, body = host.get("/v2/models/c/ready")
        assert (code, headers["X-Marlix-Route"]) == (503, "swapped_out")
        assert json.loads(body)["marlix"]["try_elsewhere"] is False
        listed = {
            m["id"]: m["marlix"]["route"] for m in json.loads(host.get("/v1/models")[2])["data"]
        }
        assert listed == {"a": "ready", "b": "ready", "c": "swapped_out", "huge": "not_admitted"}
        # Too big for the card alone: refused at once, not swapped in.
        code, _, body = host.post("/v1/chat/completions", chat("huge"))
        assert (code, json.loads(body)["error"]["code"]) == (404, "model_not_admitted")

        assert host.post("/v1/chat/completions", chat("a"))[0] == 200
        assert host.post("/v1/chat/completions", chat("b"))[0] == 200
        code, headers, body = host.post("/v1/chat/completions", chat("c"))
        assert code == 200 and json.loads(body)["model"] == "c"
        # a was used least recently: it left, and its process is gone while marlix runs.
        assert not alive(a_pid)
        rows = {row["name"]: row for row in host.status()["models"]}
        assert rows["a"]["route"]["route"] == "swapped_out" and rows["a"]["state"] == "swapped out"
        assert rows["a"]["pid"] is None and rows["a"]["card"] is None
        assert host.status()["cards"][0]["working_set"] == ["c", "b"]
        assert metric(host, "marlix_evictions_total", model="a", reason="demand") == 1
        assert metric(host, "marlix_loads_total", model="c", outcome="ready") == 1
        assert "a: swapped out of card 0 to make room for c" in host.log()

        # And back: a is asked for again, and c (used before b) leaves.
        assert host.post("/v1/chat/completions", chat("b"))[0] == 200
        assert host.post("/v1/chat/completions", chat("a"))[0] == 200
        assert host.status()["cards"][0]["working_set"] == ["a", "b"]
        lines, status = events_and_status(host, events)
    assert replay(tmp_path, lines, status, "--card", "24GiB") == status["report"]


def test_a_model_answering_is_swapped_out_only_once_its_answer_has_ended(tmp_path):
    text = config(
        model("a", *FAST, "--tokens", "20", "--token-ms", "100", size="8GiB"),
        model("b", *FAST, size="8GiB"),
        model("c", *FAST, size="8GiB", load="demand"),
        swap=True,
        wait_s=30,
    )
    with serving(tmp_path, text) as host:
        host.wait_for("a", "ready")
        host.wait_for("b", "ready")

        async def both() -> tuple[bytes, int, list[str]]:
            routes: list[str] = []
            async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=60)) as s:
                url = host.url + "/v1/chat/completions"
                async with s.post(url, json=chat("a", stream=True)) as stream:
                    first = await stream.content.readuntil(b"\n\n")
                    async with s.post(url, json=chat("b")) as answer:  # b used last
                        assert answer.status == 200
                    # a, used least recently, is chosen to leave, but it is answering: it
                    # drains, and the request for c waits until a's answer has ended.
                    asyncio_c = asyncio.ensure_future(s.post(url, json=chat("c")))
                    for _ in range(40):
                        routes.append(host.model("a")["route"]["route"])
                        if routes[-1] == "draining":
                            break
                        await asyncio.sleep(0.05)
                    rest = await stream.read()
                answer = await asyncio_c
                status = answer.status
                answer.release()
            return first + rest, status, routes

        body, status, routes = asyncio.run(both())
        events = [e for e in body.split(b"\n\n") if e]
        assert events[-1] == b"data: [DONE]" and b"event: error" not in body
        assert len([e for e in events if e.startswith(b"data: {")]) == 20
        assert routes[-1] == "draining" and status == 200
        assert host.model("a")["route"]["route"] == "swapped_out"


def test_an_idle_model_is_unloaded_and_loaded_again_when_asked(tmp_path):
    text = config(
        model("a", *FAST, size="8GiB", idle_unload_s=1),
        model("b", *FAST, size="8GiB", pinned=True),
        swap=True,
        idle_unload_s=1,
    )
    with serving(tmp_path, text) as host:
        pid = host.wait_for("a", "ready")["pid"]
        host.wait_for("b", "ready")
        host.wait_for("a", "swapped_out", timeout=20)
        assert not alive(pid)
        assert "a: unloaded after 1 s without a request" in host.log()
        started = time.monotonic()
        assert host.post("/v1/chat/completions", chat("a"))[0] == 200
        assert time.monotonic() - started < 20
        assert host.model("b")["route"]["route"] == "ready"  # pinned: never unloaded
        assert metric(host, "marlix_evictions_total", model="a", reason="idle") >= 1


def test_the_demo_swaps_in_the_model_that_fits_the_card_alone(tmp_path):
    with serving(tmp_path, None, "--demo", "--listen", "127.0.0.1:0") as host:
        assert host.model("vision-34b")["route"]["route"] == "swapped_out"
        host.wait_for("chat-8b", "ready")
        host.wait_for("coder-7b", "ready")
        code, _, body = host.post("/v1/chat/completions", chat("vision-34b"))
        assert code == 200 and json.loads(body)["model"] == "vision-34b"
        working = host.status()["cards"][0]["working_set"]
        assert working[0] == "vision-34b" and "vision-34b" not in working[1:]
