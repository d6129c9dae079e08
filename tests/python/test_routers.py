"""Two hosts behind LiteLLM's Router, set up exactly as the README's "Several hosts" says.

LiteLLM lives in a venv of its own (build/litellm-venv, from tests/requirements-routers.txt), so
the Router runs in a subprocess of that venv's python: litellm_driver.py, which builds it with
the README's own code and sends the requests. Each host's stand-ins answer as the model's name
followed by the host's letter, so the answer tells which host served it.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from pathlib import Path

import pytest
from serve_host import Served, config, model, serving

pytestmark = pytest.mark.host

HERE = Path(__file__).resolve().parent
README = HERE.parents[1] / "README.md"
DRIVER = HERE / "litellm_driver.py"
BODY = {"model": "", "messages": [{"role": "user", "content": "Hello"}]}


def litellm_python() -> str:
    python = os.environ.get("MARLIX_LITELLM_PYTHON")
    if not python:
        pytest.skip(
            "MARLIX_LITELLM_PYTHON is unset: `bash scripts/test.sh` installs LiteLLM into "
            "build/litellm-venv and points it at that venv's python"
        )
    return python


def standin(name: str, host: str, *options: str, **keys: object) -> str:
    # The stand-in answers as the last --model it is given: the host's letter after the name.
    return model(name, "--model", f"{name}@{host}", "--load-s", "0.2", *options, **keys)


@contextmanager
def hosts(tmp_path: Path, a: str, b: str) -> Iterator[tuple[Served, Served]]:
    with ExitStack() as stack:
        served = []
        for letter, text in (("a", a), ("b", b)):
            folder = tmp_path / letter
            folder.mkdir()
            served.append(stack.enter_context(serving(folder, text)))
        yield served[0], served[1]


def through_router(
    name: str, *served: Served, requests: int = 10, stream: bool = False
) -> list[dict]:
    """What the client got for each request LiteLLM's Router sent for `name`."""
    command = [litellm_python(), str(DRIVER), "--readme", str(README), "--model", name]
    command += ["--requests", str(requests), *(["--stream"] if stream else [])]
    command += [host.url for host in served]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=120, cwd=HERE)
    except subprocess.TimeoutExpired as expired:
        raise AssertionError(
            f"the router's {requests} requests took over 120 s: was one held by a host?\n"
            f"{expired.stderr}"
        ) from None
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    # LiteLLM looked up nothing and reached nothing but the hosts on 127.0.0.1.
    assert result["refused"] == [], result["refused"]
    return result["answers"]


def answered_by(answers: list[dict]) -> list[str]:
    """Which stand-in gave each answer (`name@letter`), or the error the client got."""
    found = []
    for answer in answers:
        if answer["ok"]:
            match = re.search(r"stand-in answer from (\S+?):", answer["text"])
            found.append(match.group(1) if match else answer["text"])
        else:
            found.append(f"{answer['error']} {answer['status']}: {answer['message']}")
    return found


def requests_answered(host: Served, name: str, status: int) -> int:
    """How many requests for `name` the host answered with `status`, by its /metrics."""
    code, _, body = host.get("/metrics")
    assert code == 200
    pattern = re.compile(r"^marlix_requests_total\{(.*)\} (\S+)$", re.M)
    total = 0.0
    for labels, value in pattern.findall(body.decode()):
        if f'code="{status}"' in labels.split(",") and f'model="{name}"' in labels.split(","):
            total += float(value)
    return int(total)


def direct(host: Served, name: str, wait: bool = True) -> tuple[int, dict, dict]:
    headers = {} if wait else {"Prefer": "wait=0"}
    code, answer_headers, body = host.post("/v1/chat/completions", {**BODY, "model": name}, headers)
    return code, answer_headers, json.loads(body)


def retried(answers: list[dict]) -> int:
    """The retries LiteLLM reports having made, over the answers that say."""
    return sum(int(answer.get("retries") or 0) for answer in answers if answer["ok"])


def test_a_model_stopped_by_hand_is_served_by_the_other_host(tmp_path: Path) -> None:
    litellm_python()
    with hosts(tmp_path, config(standin("chat", "a")), config(standin("chat", "b"))) as (a, b):
        a.wait_for("chat", "ready")
        b.wait_for("chat", "ready")
        code, _, _ = a.post("/models/chat/unload")
        assert code == 200
        a.wait_for("chat", "unknown")
        # What the router is told: stopped, and nothing says when it would be back.
        code, headers, body = direct(a, "chat")
        assert (code, body["error"]["code"]) == (503, "model_stopped")
        assert "Retry-After" not in headers
        refused_before = requests_answered(a, "chat", 503)

        answers = through_router("chat", a, b)
        assert answered_by(answers) == ["chat@b"] * len(answers)
        # The router left host a at its first refusal: each request it turned away was sent
        # on to b, and no later one was sent to a.
        refused = requests_answered(a, "chat", 503) - refused_before
        assert refused <= 1
        assert retried(answers) == refused
        assert requests_answered(b, "chat", 200) == len(answers)

        # Streamed answers take the same way.
        answers = through_router("chat", a, b, requests=3, stream=True)
        assert answered_by(answers) == ["chat@b"] * 3


def test_a_model_one_host_does_not_admit_is_served_by_the_other(tmp_path: Path) -> None:
    litellm_python()
    # 16 GiB of weights: too big for a's 12 GiB card, which keeps a 1.2 GiB reserve too.
    small = config(standin("big", "a", size="16GiB"), card="12GiB")
    large = config(standin("big", "b", size="16GiB"), card="48GiB")
    with hosts(tmp_path, small, large) as (a, b):
        b.wait_for("big", "ready")
        assert a.model("big")["route"]["route"] == "not_admitted"
        code, headers, body = direct(a, "big")
        assert (code, body["error"]["code"]) == (404, "model_not_admitted")
        assert body["marlix"]["try_elsewhere"] is True
        refused_before = requests_answered(a, "big", 404)

        answers = through_router("big", a, b)
        assert answered_by(answers) == ["big@b"] * len(answers)
        refused = requests_answered(a, "big", 404) - refused_before
        assert refused <= 1
        assert retried(answers) == refused
        assert requests_answered(b, "big", 200) == len(answers)


def test_a_model_still_loading_on_one_host_is_served_by_the_other_at_once(
    tmp_path: Path,
) -> None:
    litellm_python()
    # a's stand-in takes ten minutes to load, and a would hold a request for five of them if it
    # were not asked not to wait: longer than through_router lets the requests take.
    loading = config(standin("chat", "a", "--load-s", "600"), wait_s=300)
    with hosts(tmp_path, loading, config(standin("chat", "b"))) as (a, b):
        b.wait_for("chat", "ready")
        a.wait_for("chat", "warming")
        code, headers, body = direct(a, "chat", wait=False)
        assert (code, body["error"]["code"]) == (503, "model_loading")
        assert int(headers["Retry-After"]) >= 1
        refused_before = requests_answered(a, "chat", 503)

        answers = through_router("chat", a, b)
        assert answered_by(answers) == ["chat@b"] * len(answers)
        refused = requests_answered(a, "chat", 503) - refused_before
        assert refused <= 1
        assert retried(answers) == refused
