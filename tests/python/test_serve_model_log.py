"""What a model's processes wrote, as an operator finds it: `GET /models/{name}/log` and its
follow stream, the files under `[server] log_dir` and their rotation, and the host's log line
when a load fails. Real `marlix serve`, real processes, every wait bounded."""

from __future__ import annotations

import asyncio
import json
import re
import shlex
import signal
import time
from collections.abc import Callable
from pathlib import Path

import pytest

aiohttp = pytest.importorskip("aiohttp")

from marlix.serve.output import file_name  # noqa: E402
from serve_host import STANDIN, config, model, serving  # noqa: E402

pytestmark = pytest.mark.host

KEY = "s3cret"
AUTH = {"Authorization": f"Bearer {KEY}"}
NO_WEIGHTS = "error: cannot open /models/chat.gguf"
LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (stdout|stderr|marlix) (.*)$")


def talking(name: str, script: str, *options: str, **keys: object) -> str:
    """A model whose command is a bash script that runs `script`, then becomes a stand-in."""
    standin = " ".join(shlex.quote(arg) for arg in [*STANDIN, "--model", name, *options])
    lines = [
        "[[models]]",
        f"name = {json.dumps(name)}",
        'weights_bytes = "1GiB"',
        f"command = {json.dumps(['bash', '-c', f'{script}; exec {standin}'])}",
    ]
    lines += [f"{key} = {json.dumps(value)}" for key, value in keys.items()]
    return "\n".join(lines) + "\n"


SHARED = config(
    talking("org/chat-8B", "echo to stdout; echo to stderr >&2", "--load-s", "0"),
    model("failing", "--exit-after", "0.3", "--exit-message", NO_WEIGHTS, load_timeout_s=100),
    api_key=KEY,
    log_dir="logs",
)


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    folder = tmp_path_factory.mktemp("model-log")
    with serving(folder, SHARED, key=KEY) as served:
        served.wait_for("org/chat-8B", "ready")
        served.wait_for("failing", "failed")
        yield served


def parsed(text: str) -> list[tuple[str, str]]:
    """(stream, text) of each line of a log, every one of which must have its time."""
    lines = []
    for line in text.splitlines():
        match = LINE.match(line)
        assert match, line
        lines.append((match[1], match[2]))
    return lines


def log_of(host, name: str) -> list[tuple[str, str]]:
    code, headers, body = host.get(f"/models/{name}/log")
    assert code == 200 and headers["Content-Type"] == "text/plain; charset=utf-8"
    return parsed(body.decode())


@pytest.mark.parametrize("path", ["org/chat-8B", "org%2Fchat-8B"])
def test_what_a_model_wrote_on_both_streams_is_at_its_log(host, path):
    pid = host.model("org/chat-8B")["pid"]
    lines = log_of(host, path)
    # Each process's lines follow marlix's word of its start.
    start = lines.index(next(x for x in lines if x[1].startswith(f"started pid {pid}: bash -c ")))
    assert lines[start][0] == "marlix"
    lines = lines[start:]
    assert ("stdout", "to stdout") in lines
    assert ("stderr", "to stderr") in lines
    listening = [t for s, t in lines if s == "stderr" and "org/chat-8B: listening on" in t]
    assert len(listening) == 1
    # Each stream in the order it was written; the stand-in speaks after the script.
    assert lines.index(("stderr", "to stderr")) < lines.index(("stderr", listening[0]))


@pytest.mark.parametrize(
    "path, headers, status, code",
    [
        ("/models/org/chat-8B/log", {}, 401, "invalid_api_key"),
        (
            "/models/org/chat-8B/log?follow=1",
            {"Authorization": "Bearer no"},
            401,
            "invalid_api_key",
        ),
        ("/models/nobody/log", AUTH, 404, "model_not_found"),
        ("/models/org/nobody/log?follow=1", AUTH, 404, "model_not_found"),
    ],
)
def test_a_log_needs_the_key_and_a_declared_model(host, path, headers, status, code):
    answer, _, body = host.get(path, headers=headers)
    assert answer == status
    assert json.loads(body)["error"]["code"] == code


def test_a_failed_load_names_its_last_lines(host):
    # The status keeps its one line, as before.
    assert host.model("failing")["last_failure"] == (
        f"the process exited with status 1 during its load: {NO_WEIGHTS}"
    )
    host.wait_for_log("failing: its last lines: stderr: standin failing: listening on 127.0.0.1:")
    line = next(x for x in host.log().splitlines() if "failing: its last lines:" in x)
    assert line.endswith(f" | stderr: {NO_WEIGHTS}")
    # Its log has every try, each started and ended.
    lines = log_of(host, "failing")
    ends = [t for s, t in lines if s == "marlix" and t.endswith(" exited with status 1")]
    starts = [t for s, t in lines if s == "marlix" and t.startswith("started pid ")]
    assert len(ends) >= 1 and len(starts) >= len(ends)
    assert ("stderr", NO_WEIGHTS) in lines


def test_each_model_has_its_file_in_log_dir(host):
    folder = host.stderr.parent / "logs"
    assert {p.name for p in folder.iterdir()} >= {"org%2Fchat-8B.log", "failing.log"}
    in_memory = log_of(host, "org/chat-8B")
    in_file = parsed((folder / "org%2Fchat-8B.log").read_text("utf-8"))
    assert in_file[-len(in_memory) :] == in_memory


async def follow_until(
    url: str, path: str, steps: list[tuple[Callable[[str], bool], Callable[[], object] | None]]
) -> list[str]:
    """Follows a log: for each step, reads lines until one matches, then does its action."""
    timeout = aiohttp.ClientTimeout(total=60)
    seen: list[str] = []
    async with aiohttp.ClientSession(timeout=timeout, headers=AUTH) as session:
        async with session.get(url + path + "?follow=1") as answer:
            assert answer.status == 200
            assert answer.headers["Content-Type"] == "text/plain; charset=utf-8"
            for wanted, action in steps:
                while True:
                    raw = await asyncio.wait_for(answer.content.readline(), 30)
                    assert raw, f"the follow ended; seen {seen}"
                    seen.append(raw.decode().rstrip("\n"))
                    if wanted(seen[-1]):
                        break
                if action is not None:
                    await asyncio.to_thread(action)
    return seen


def test_a_follow_carries_each_new_line_as_it_comes(host):
    name = "org/chat-8B"
    pid = host.model(name)["pid"]

    def reload() -> None:
        assert host.post(f"/models/{name}/load")[0] == 200

    steps = [
        (lambda line: "listening on" in line, lambda: host.post(f"/models/{name}/unload")),
        (lambda line: f"marlix pid {pid} " in line, reload),
        (lambda line: "marlix started pid " in line, None),
        (lambda line: "listening on" in line, None),
    ]
    seen = asyncio.run(asyncio.wait_for(follow_until(host.url, f"/models/{name}/log", steps), 90))
    said = [text for stream, text in parsed("\n".join(seen)) if stream == "marlix"]
    new_pid = host.wait_for(name, "ready")["pid"]
    assert len([t for t in said if t.startswith(f"pid {pid} ")]) == 1
    assert said[-1].startswith(f"started pid {new_pid}: ")


@pytest.mark.parametrize("keep", [0, 2])
def test_a_log_file_is_rotated_at_its_size(tmp_path, keep):
    script = 'for i in $(seq 1 60); do echo "line $i of what the model says"; done'
    text = config(
        talking("chat", script, "--load-s", "0"),
        log_dir="logs",
        log_max_bytes=1000,
        log_keep=keep,
    )
    with serving(tmp_path, text) as host:
        host.wait_for("chat", "ready")
        in_memory = [t for s, t in log_of(host, "chat") if s == "stdout"]
        assert in_memory == [f"line {i} of what the model says" for i in range(1, 61)]
    folder = tmp_path / "logs"
    names = ["chat.log"] + [f"chat.log.{n}" for n in range(1, keep + 1)]
    assert sorted(p.name for p in folder.iterdir()) == names
    numbers = []
    for name in reversed(names):  # oldest first
        data = (folder / name).read_bytes()
        assert 0 < len(data) <= 1000
        numbers += [int(t.split()[1]) for s, t in parsed(data.decode()) if s == "stdout"]
    # What is kept is the end, in order, with nothing missing.
    assert numbers and numbers == list(range(numbers[0], 61))
    assert parsed((folder / "chat.log").read_text())[-1][1].startswith("pid ")  # its end


def test_a_follow_ends_when_marlix_stops(tmp_path):
    text = config(model("chat", "--load-s", "0"))
    with serving(tmp_path, text) as host:
        pid = host.wait_for("chat", "ready")["pid"]

        async def follow() -> list[str]:
            timeout = aiohttp.ClientTimeout(total=60)
            async with aiohttp.ClientSession(timeout=timeout) as session:
                async with session.get(host.url + "/models/chat/log?follow=1") as answer:
                    first = await asyncio.wait_for(answer.content.readline(), 30)
                    host.process.send_signal(signal.SIGTERM)
                    rest = await asyncio.wait_for(answer.content.read(), 30)
            return (first + rest).decode().splitlines()

        started = time.monotonic()
        lines = asyncio.run(follow())
        assert host.process.wait(30) == 0
        assert time.monotonic() - started < 30
    # The stream carried the model's end before it ended.
    assert parsed("\n".join(lines))[-1] == ("marlix", f"pid {pid} exited with status 0")


@pytest.mark.parametrize(
    "name, expected",
    [
        ("chat-8b", "chat-8b.log"),
        ("org/model-8B", "org%2Fmodel-8B.log"),
        ("org%2Fmodel-8B", "org%252Fmodel-8B.log"),  # never the same file as the one above
        ("..", "%2E..log"),
        (".hidden", "%2Ehidden.log"),
        ("a b:ü", "a%20b%3A%C3%BC.log"),
    ],
)
def test_a_model_name_makes_a_safe_file_name(name, expected):
    assert file_name(name) == expected


def test_a_long_model_name_makes_a_short_file_name():
    names = ["m" * 300 + "a", "m" * 300 + "b"]
    made = [file_name(name) for name in names]
    assert made[0] != made[1] and all(len(m) <= 210 for m in made)
    assert all(Path(m).name == m for m in made)
