"""A real `marlix serve` for tests: started as a process from a TOML text, listening on
127.0.0.1 port 0, asked over HTTP, and always ended (SIGTERM, then SIGKILL)."""

from __future__ import annotations

import json
import os
import selectors
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

STANDIN = [sys.executable, "-m", "marlix.standin", "--port", "{port}"]


def standin(name: str, *options: str) -> str:
    """A TOML array: the command of a stand-in model server called `name`."""
    return json.dumps([*STANDIN, "--model", name, *options])


def model(name: str, *options: str, size: str = "1GiB", **keys: object) -> str:
    lines = [
        "[[models]]",
        f"name = {json.dumps(name)}",
        f"weights_bytes = {json.dumps(size)}",
        f"command = {standin(name, *options)}",
    ]
    lines += [f"{key} = {json.dumps(value)}" for key, value in keys.items()]
    return "\n".join(lines) + "\n"


def config(*models: str, card: str = "24GiB", **server: object) -> str:
    lines = ["[card]", f"size = {json.dumps(card)}", "[server]", 'listen = "127.0.0.1:0"']
    lines += [f"{key} = {json.dumps(value)}" for key, value in server.items()]
    return "\n".join(lines) + "\n" + "".join(models)


class Served:
    def __init__(
        self, process: subprocess.Popen[bytes], url: str, stderr: Path, key: str | None = None
    ) -> None:
        self.process = process
        self.url = url
        self.stderr = stderr
        # Sent with every request that does not give headers of its own.
        self.headers = {"Authorization": f"Bearer {key}"} if key else {}

    def get(self, path: str, headers: dict[str, str] | None = None) -> tuple[int, dict, bytes]:
        return self.request("GET", path, None, headers)

    def post(
        self, path: str, body: object = None, headers: dict[str, str] | None = None
    ) -> tuple[int, dict, bytes]:
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        return self.request("POST", path, data, headers)

    def request(
        self, method: str, path: str, data: bytes | None, headers: dict[str, str] | None
    ) -> tuple[int, dict, bytes]:
        request = urllib.request.Request(
            self.url + path,
            data=data,
            method=method,
            headers=self.headers if headers is None else headers,
        )
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                return answer.status, dict(answer.headers), answer.read()
        except urllib.error.HTTPError as error:
            return error.code, dict(error.headers), error.read()

    def status(self) -> dict:
        code, _, body = self.get("/status")
        assert code == 200
        return json.loads(body)

    def model(self, name: str) -> dict:
        return next(m for m in self.status()["models"] if m["name"] == name)

    def wait_for(self, name: str, routes: str | tuple[str, ...], timeout: float = 30) -> dict:
        """The model's status once its route is one of `routes`; fails after `timeout`."""
        wanted = (routes,) if isinstance(routes, str) else routes
        deadline = time.monotonic() + timeout
        while True:
            row = self.model(name)
            if row["route"]["route"] in wanted:
                return row
            assert time.monotonic() < deadline, f"{name} still {row} after {timeout} s"
            time.sleep(0.1)

    def log(self) -> str:
        return self.stderr.read_text("utf-8", "replace")

    def wait_for_log(self, text: str, timeout: float = 20) -> None:
        deadline = time.monotonic() + timeout
        while text not in self.log():
            assert time.monotonic() < deadline, f"{text!r} not logged within {timeout} s"
            time.sleep(0.1)

    def stop(self, timeout: float = 30) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
            raise AssertionError(f"marlix serve did not stop within {timeout} s") from None


def marlix_env() -> dict[str, str]:
    env = dict(os.environ)
    env.pop("CUDA_VISIBLE_DEVICES", None)
    return env


@contextmanager
def serving(
    tmp_path: Path,
    text: str | None,
    *args: str,
    timeout: float = 30,
    env: dict[str, str] | None = None,
    key: str | None = None,
) -> Iterator[Served]:
    """A host serving the configuration `text` (None: only what `args` say, as --demo)."""
    path = tmp_path / "serve.toml"
    if text is not None:
        path.write_text(text, "utf-8")
    stderr = tmp_path / "stderr.log"
    with open(stderr, "wb") as err:
        process = subprocess.Popen(
            [sys.executable, "-m", "marlix", "serve", *([str(path)] if text else []), *args],
            stdout=subprocess.PIPE,
            stderr=err,
            env={**marlix_env(), **(env or {})},
            cwd=tmp_path,
        )
    try:
        line = _first_line(process, timeout)
        assert line.startswith("marlix: serving on http://127.0.0.1:"), (line, stderr.read_text())
        served = Served(process, line.removeprefix("marlix: serving on "), stderr, key)
        yield served
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
        assert process.stdout is not None
        process.stdout.close()


def _first_line(process: subprocess.Popen[bytes], timeout: float) -> str:
    assert process.stdout is not None
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + timeout
    data = b""
    while b"\n" not in data:
        left = deadline - time.monotonic()
        assert left > 0, f"no line on stdout within {timeout} s"
        if not selector.select(left):
            continue
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            break
        data += chunk
    selector.close()
    return data.decode().strip()


def alive(pid: int) -> bool:
    """Whether `pid` is a live process (a zombie counts as gone)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
