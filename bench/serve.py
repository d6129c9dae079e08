"""What `marlix serve` adds to a request, against going straight to the model process, against
the least proxy written with aiohttp and against nginx as a reverse proxy in front of the same
process, and what it carries at 64 clients and what each request costs it in CPU.

Four paths lead to one stand-in model server (`python -m marlix.standin`, started by the host
itself, answering at once: --load-s 0 --token-ms 0):

  straight  the client talks to the stand-in's own port;
  aiohttp   bench/aiohttp_proxy.py in front of the stand-in: one catch-all POST route that reads
            the body, sends it on over one pooled aiohttp client and streams the answer back.
            It is the floor a host built on aiohttp can reach, so marlix over aiohttp is what
            the host's own work (routing through the Fleet, metrics, header filtering, waiting
            for a load) adds;
  nginx     nginx (one worker, upstream keep-alive, no buffering) in front of the stand-in;
  marlix    `marlix serve`, the host that started the stand-in.

Each figure, in milliseconds unless said:

  1 client p50 / p99     a small chat completion, not streamed, one after another on one
                         keep-alive connection: from the first byte sent to the last byte of the
                         answer read. The client is a blocking socket in this process that
                         parses the answer by hand, because an aiohttp client would cost more than
                         what is measured.
  64 clients p50 / p99   the same request from wrk (one thread, 64 keep-alive connections, as
                         fast as answers come back), as wrk's own latency percentiles; the
                         median over rounds.
                         Each client sends again as soon as it is answered, so the latency
                         here is about 64 / requests per second: it tells throughput, not a
                         proxy's own cost.
  64 clients requests/s  answers per second in the same wrk run; the median over rounds.
  first chunk p50 / p99  the same chat completion with "stream": true: from the first byte sent
                         to the whole of the first chunk of the body (the first `data:` event)
                         read, by the socket client of the 1-client case.
  added                  a path's percentile less the straight path's same percentile (not a
                         percentile of differences: requests are not paired).
  proxy CPU µs/request   the proxy process's user + system CPU time (utime + stime of
                         /proc/PID/stat) over the 64-client run, divided by the answers wrk
                         counted in it; the median over rounds. For nginx its master and worker
                         together; for marlix the `marlix serve` process alone, not the
                         stand-in it started.
  one core carries       1e6 / that figure: the requests/s one core would answer if the proxy
                         had it to itself, all else aside.
  CPU over aiohttp's     that figure over the aiohttp path's: what the same work costs.

The machine's pace swings by a factor of two between minutes, so requests/s alone says little
of what a proxy itself costs; CPU per request changes far less with the pace, and put beside
aiohttp's, it tells the host's own share apart from aiohttp's.

The machine has 2 cores, and in the 64-client case wrk, the stand-in and the proxy (aiohttp,
nginx or the host, each one process) share them: requests/s there is what the three together
reach, and the straight path shows what the stand-in alone allows. Without wrk the 64-client
figures come from an asyncio client in this process instead, which takes a core of its own and
gives lower counts (and its CPU figures are the proxy's all the same).

The paths are timed in turn, round after round, each round starting with a different one, so
that a change in the machine's pace touches all alike; latency samples are pooled over rounds.
The whole run is bounded: a few thousand requests per path per round, 3 rounds, about a minute
and a half.

Run it from the checkout (the host and the stand-in run from python/ beside this folder):

    .venv/bin/python bench/serve.py [--quick]

wrk and nginx are Debian's packages (`apt-get install -y wrk nginx`); without nginx its column is
left out. The aiohttp proxy runs with this Python, which has aiohttp as the host does.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from first_line import first_line

ROOT = Path(__file__).resolve().parents[1]
MODEL = "bench"
PATH = "/v1/chat/completions"
MESSAGES = [{"role": "user", "content": "Say something short."}]
PLAIN_BODY = json.dumps({"model": MODEL, "messages": MESSAGES}).encode()
STREAM_BODY = json.dumps({"model": MODEL, "messages": MESSAGES, "stream": True}).encode()

# What the host is meant to reach on this machine: added milliseconds at most, requests/s at least.
TARGET_ADDED_P50_MS = 0.3
TARGET_RPS = 6000.0
TARGET_FIRST_CHUNK_ADDED_MS = 0.7

START_TIMEOUT_S = 30.0
STOP_TIMEOUT_S = 15.0
CONNECTIONS = 64

HOST_CONFIG = """\
[card]
size = "24GiB"
[server]
listen = "127.0.0.1:0"
[[models]]
name = "{model}"
weights_bytes = "1GiB"
command = {command}
"""

NGINX_CONFIG = """\
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    client_body_temp_path {dir}/client_body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    # Keep every connection for the whole run, as the other two paths do.
    keepalive_requests 10000000;
    keepalive_timeout 300s;
    upstream standin {{
        server 127.0.0.1:{upstream};
        keepalive 64;
        keepalive_requests 10000000;
    }}
    server {{
        listen 127.0.0.1:{port};
        location / {{
            proxy_pass http://standin;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_buffering off;
        }}
    }}
}}
"""

WRK_SCRIPT = """\
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = [[{body}]]
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("bench-figures %d %d %d %d %d %d\\n", summary.requests,
    summary.duration, latency:percentile(50), latency:percentile(99),
    e.connect + e.read + e.write + e.timeout, e.status))
end
"""


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def child_env() -> dict[str, str]:
    env = dict(os.environ)
    python_dir = str(ROOT / "python")
    env["PYTHONPATH"] = python_dir + (os.pathsep + env["PYTHONPATH"] if "PYTHONPATH" in env else "")
    return env


def get_json(url: str, timeout: float = 2.0) -> tuple[int, object]:
    try:
        with urllib.request.urlopen(url, timeout=timeout) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, None
    except (OSError, ValueError):
        return 0, None


def wait_for(what: str, check: Callable[[], bool], timeout_s: float = START_TIMEOUT_S) -> None:
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.05)
    raise RuntimeError(f"{what} was not ready within {timeout_s:.0f} s")


def port_open(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


# Processes: each in its own group, ended in `stop`.


@dataclass
class Started:
    name: str
    process: subprocess.Popen[bytes]
    stop_signal: int = signal.SIGTERM
    extra_groups: list[int] = field(default_factory=list)  # groups it started, killed last

    def stop(self) -> None:
        process = self.process
        if process.poll() is None:
            try:
                os.kill(process.pid, self.stop_signal)
                process.wait(STOP_TIMEOUT_S)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        for group in [process.pid, *self.extra_groups]:
            try:
                os.killpg(group, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        if process.poll() is None:
            process.wait(STOP_TIMEOUT_S)
        if process.stdout is not None:
            process.stdout.close()


def start_host(work: Path, started: list[Started]) -> tuple[int, int, int]:
    """Starts `marlix serve`, waits for its model, and answers its port, the stand-in's and the
    host's pid."""
    command = [
        sys.executable,
        "-m",
        "marlix.standin",
        "--port",
        "{port}",
        "--model",
        MODEL,
        "--load-s",
        "0",
        "--token-ms",
        "0",
    ]
    config = work / "host.toml"
    config.write_text(HOST_CONFIG.format(model=MODEL, command=json.dumps(command)))
    log = open(work / "host.log", "wb")  # noqa: SIM115 - the child holds it
    process = subprocess.Popen(
        [sys.executable, "-m", "marlix", "serve", str(config)],
        stdout=subprocess.PIPE,
        stderr=log,
        stdin=subprocess.DEVNULL,
        env=child_env(),
        start_new_session=True,
    )
    log.close()
    host = Started("marlix", process)
    started.append(host)
    line = first_line(process, START_TIMEOUT_S)
    prefix = b"marlix: serving on http://127.0.0.1:"
    if not line.startswith(prefix):
        raise RuntimeError(f"marlix serve did not start: {line!r}; see {work / 'host.log'}")
    port = int(line[len(prefix) :].split(b"\n")[0])
    ready_url = f"http://127.0.0.1:{port}/v2/models/{MODEL}/ready"
    wait_for("the host's model", lambda: get_json(ready_url)[0] == 200)
    _, status = get_json(f"http://127.0.0.1:{port}/status")
    assert isinstance(status, dict)
    model = next(m for m in status["models"] if m["name"] == MODEL)
    host.extra_groups.append(int(model["pid"]))  # the stand-in leads its own group
    return port, int(model["port"]), process.pid


def start_nginx(nginx: str, work: Path, upstream: int, started: list[Started]) -> tuple[int, int]:
    """Starts nginx and answers its port and its master's pid."""
    directory = work / "nginx"
    directory.mkdir()
    port = free_port()
    config = directory / "nginx.conf"
    config.write_text(NGINX_CONFIG.format(dir=directory, upstream=upstream, port=port))
    process = subprocess.Popen(
        [nginx, "-p", str(directory), "-c", str(config), "-e", str(directory / "error.log")]
        + ["-g", "daemon off;"],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=open(directory / "stderr.log", "wb"),  # noqa: SIM115
        start_new_session=True,
    )
    # SIGQUIT lets the worker finish; the group kill after it catches a stray worker.
    started.append(Started("nginx", process, stop_signal=signal.SIGQUIT))
    wait_for("nginx", lambda: process.poll() is None and port_open(port))
    return port, process.pid


def start_aiohttp(work: Path, upstream: int, started: list[Started]) -> int:
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, str(ROOT / "bench" / "aiohttp_proxy.py"), "--port", str(port)]
        + ["--upstream", f"http://127.0.0.1:{upstream}"],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=open(work / "aiohttp.log", "wb"),  # noqa: SIM115
        start_new_session=True,
    )
    started.append(Started("aiohttp", process))
    wait_for("the aiohttp proxy", lambda: process.poll() is None and port_open(port))
    return port


# CPU time of a process, from /proc/PID/stat.

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def _stat_fields(pid: int) -> list[str]:
    """The fields of /proc/PID/stat after the command's name, which may hold spaces: the first
    is field 3 (state)."""
    text = Path(f"/proc/{pid}/stat").read_text()
    return text[text.rindex(")") + 2 :].split()


def cpu_seconds(pids: Sequence[int]) -> float:
    """User + system CPU time of the processes (fields 14 and 15), in seconds."""
    ticks = 0
    for pid in pids:
        fields = _stat_fields(pid)
        ticks += int(fields[14 - 3]) + int(fields[15 - 3])
    return ticks / CLOCK_TICKS


def children(pid: int) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if int(_stat_fields(int(entry.name))[4 - 3]) == pid:
                    found.append(int(entry.name))
            except (OSError, ValueError, IndexError):
                pass  # ended while being read
    return found


def nginx_pids(master: int) -> list[int]:
    """The master and its worker, once the worker is up: the worker does the proxying, and the
    master's share is counted too, to be fair to nginx."""
    workers: list[int] = []

    def worker_up() -> bool:
        workers[:] = children(master)
        return bool(workers)

    wait_for("nginx's worker", worker_up)
    return [master, *workers]


def request_bytes(port: int, body: bytes) -> bytes:
    return (
        f"POST {PATH} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
        f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n"
    ).encode() + body


# The 1-client and first-chunk client: one blocking keep-alive connection, answers parsed by hand.


class Connection:
    def __init__(self, port: int) -> None:
        self.port = port
        self.sock = self._connect()
        self.buf = bytearray()

    def _connect(self) -> socket.socket:
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def close(self) -> None:
        self.sock.close()

    def _more(self) -> None:
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("the server closed the connection mid-answer")
        self.buf += data

    def send(self, request: bytes) -> tuple[int, int, int]:
        """Sends one request; answers its status, and the nanoseconds to the body's first chunk
        and to the answer's end."""
        start = time.perf_counter_ns()
        self.sock.sendall(request)
        buf = self.buf
        while (end := buf.find(b"\r\n\r\n")) < 0:
            self._more()
        lines = bytes(buf[:end]).decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ", 2)[1])
        length, chunked, close = 0, False, False
        for line in lines[1:]:
            key, _, value = line.partition(":")
            key, value = key.strip().lower(), value.strip().lower()
            if key == "content-length":
                length = int(value)
            elif key == "transfer-encoding":
                chunked = "chunked" in value
            elif key == "connection":
                close = "close" in value
        pos = end + 4
        first = 0
        if chunked:
            while True:
                while (eol := buf.find(b"\r\n", pos)) < 0:
                    self._more()
                size = int(bytes(buf[pos:eol]).split(b";")[0], 16)
                if size == 0:  # no trailers come: the last line is empty
                    while len(buf) < eol + 4:
                        self._more()
                    pos = eol + 4
                    break
                pos = eol + 2 + size + 2
                while len(buf) < pos:
                    self._more()
                if not first:
                    first = time.perf_counter_ns()
        else:
            pos += length
            while len(buf) < pos:
                self._more()
        done = time.perf_counter_ns()
        del buf[:pos]
        if close:
            self.sock.close()
            self.sock = self._connect()
        return status, (first or done) - start, done - start


def one_client(port: int, body: bytes, count: int) -> tuple[list[float], list[float], int]:
    """Milliseconds to the first chunk and to the end of each of `count` requests in a row, and
    how many were not answered 200."""
    conn = Connection(port)
    request = request_bytes(port, body)
    firsts: list[float] = []
    totals: list[float] = []
    bad = 0
    try:
        for _ in range(count):
            status, first, total = conn.send(request)
            bad += status != 200
            firsts.append(first / 1e6)
            totals.append(total / 1e6)
    finally:
        conn.close()
    return firsts, totals, bad


# The 64-client load: wrk, or an asyncio client where wrk is missing.


@dataclass
class Load:
    requests: int
    requests_per_s: float
    p50_ms: float
    p99_ms: float
    errors: int


def wrk_load(wrk: str, script: Path, port: int, seconds: float) -> Load:
    result = subprocess.run(
        [wrk, "-t1", f"-c{CONNECTIONS}", f"-d{seconds:g}s", "--timeout", "5s", "-s", str(script)]
        + [f"http://127.0.0.1:{port}{PATH}"],
        capture_output=True,
        text=True,
        timeout=seconds + 30,
        check=True,
    )
    for line in result.stdout.splitlines():
        if line.startswith("bench-figures "):
            count, micros, p50, p99, failed, status = map(int, line.split()[1:])
            return Load(count, count / (micros / 1e6), p50 / 1e3, p99 / 1e3, failed + status)
    raise RuntimeError(f"wrk printed no figures: {result.stdout}{result.stderr}")


async def _asyncio_load(port: int, seconds: float) -> Load:
    request = request_bytes(port, PLAIN_BODY)
    latencies: list[float] = []
    errors = 0
    deadline = time.perf_counter() + seconds

    async def client() -> None:
        nonlocal errors
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            while time.perf_counter() < deadline:
                start = time.perf_counter()
                writer.write(request)
                head = await reader.readuntil(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n"):
                    if line.lower().startswith(b"content-length:"):
                        length = int(line.split(b":")[1])
                await reader.readexactly(length)
                latencies.append((time.perf_counter() - start) * 1e3)
                errors += not head.startswith(b"HTTP/1.1 200")
        finally:
            writer.close()

    start = time.perf_counter()
    await asyncio.gather(*(client() for _ in range(CONNECTIONS)))
    elapsed = time.perf_counter() - start
    count = len(latencies)
    return Load(
        count, count / elapsed, percentile(latencies, 50), percentile(latencies, 99), errors
    )


def asyncio_load(port: int, seconds: float) -> Load:
    return asyncio.run(_asyncio_load(port, seconds))


# Figures.


def percentile(values: Sequence[float], pct: float) -> float:
    ordered = sorted(values)
    if not ordered:
        return math.nan
    rank = max(math.ceil(pct / 100 * len(ordered)) - 1, 0)
    return ordered[rank]


def median(values: Sequence[float]) -> float:
    if not values:
        return math.nan
    return percentile(values, 50) if len(values) % 2 else _mid(sorted(values))


def _mid(ordered: list[float]) -> float:
    half = len(ordered) // 2
    return (ordered[half - 1] + ordered[half]) / 2


@dataclass
class PathFigures:
    plain: list[float] = field(default_factory=list)  # 1-client latencies, ms
    first: list[float] = field(default_factory=list)  # time to the first chunk, ms
    loads: list[Load] = field(default_factory=list)
    cpu_us: list[float] = field(default_factory=list)  # proxy CPU µs a request, each round
    bad: int = 0


def fmt(value: float, digits: int = 3) -> str:
    return "—" if math.isnan(value) else f"{value:.{digits}f}"


def table(paths: list[str], figures: dict[str, PathFigures], loader: str) -> str:
    def row(name: str, cells: list[str], target: str = "") -> str:
        return "| " + " | ".join([name, *cells, target]) + " |"

    def per_path(pick: Callable[[PathFigures], float]) -> list[float]:
        return [pick(figures[p]) for p in paths]

    def added(values: list[float]) -> list[str]:
        return ["—" if p == "straight" else fmt(v - values[0]) for p, v in zip(paths, values)]

    def load_median(f: PathFigures, attr: str) -> float:
        return median([getattr(load, attr) for load in f.loads])

    one50 = per_path(lambda f: percentile(f.plain, 50))
    one99 = per_path(lambda f: percentile(f.plain, 99))
    many50 = per_path(lambda f: load_median(f, "p50_ms"))
    many99 = per_path(lambda f: load_median(f, "p99_ms"))
    rps = per_path(lambda f: load_median(f, "requests_per_s"))
    first50 = per_path(lambda f: percentile(f.first, 50))
    first99 = per_path(lambda f: percentile(f.first, 99))
    cpu = per_path(lambda f: median(f.cpu_us) if f.cpu_us else math.nan)
    marlix = paths.index("marlix")
    floor = cpu[paths.index("aiohttp")]

    def verdict(ok: bool) -> str:
        return "met" if ok else "NOT met"

    lines = [
        row("figure (ms unless said)", paths, "target (marlix)"),
        "|" + "---|" * (len(paths) + 2),
        row("1 client p50", [fmt(v) for v in one50]),
        row("1 client p99", [fmt(v) for v in one99]),
        row(
            "1 client added p50",
            added(one50),
            f"≤ {TARGET_ADDED_P50_MS} ms: "
            + verdict(one50[marlix] - one50[0] <= TARGET_ADDED_P50_MS),
        ),
        row("1 client added p99", added(one99)),
        row(f"{CONNECTIONS} clients p50", [fmt(v) for v in many50]),
        row(f"{CONNECTIONS} clients p99", [fmt(v) for v in many99]),
        row(f"{CONNECTIONS} clients added p50", added(many50)),
        row(f"{CONNECTIONS} clients added p99", added(many99)),
        row(
            f"{CONNECTIONS} clients requests/s ({loader})",
            [fmt(v, 0) for v in rps],
            f"≥ {TARGET_RPS:,.0f}: " + verdict(rps[marlix] >= TARGET_RPS),
        ),
        row("first chunk p50", [fmt(v) for v in first50]),
        row("first chunk p99", [fmt(v) for v in first99]),
        row(
            "first chunk added p50",
            added(first50),
            f"≤ {TARGET_FIRST_CHUNK_ADDED_MS} ms: "
            + verdict(first50[marlix] - first50[0] <= TARGET_FIRST_CHUNK_ADDED_MS),
        ),
        row("first chunk added p99", added(first99)),
        row(f"proxy CPU µs/request ({CONNECTIONS} clients)", [fmt(v, 1) for v in cpu]),
        row("one core carries, requests/s", [fmt(1e6 / v, 0) for v in cpu]),
        row("proxy CPU over aiohttp's", [fmt(v / floor, 2) for v in cpu]),
        row(
            "answers not 200 (all cases)",
            [str(figures[p].bad + sum(load.errors for load in figures[p].loads)) for p in paths],
        ),
    ]
    return "\n".join(lines)


def over_aiohttp(figures: dict[str, PathFigures]) -> str:
    """What the host's own work adds to the least an aiohttp proxy does."""
    host, floor = figures["marlix"], figures["aiohttp"]
    host_cpu, floor_cpu = median(host.cpu_us), median(floor.cpu_us)

    def more(pick: Callable[[PathFigures], float]) -> str:
        return fmt(pick(host) - pick(floor))

    return (
        f"marlix CPU per request over aiohttp's: {fmt(host_cpu / floor_cpu, 2)}× "
        f"({fmt(host_cpu, 1)} µs against {fmt(floor_cpu, 1)} µs: one core would carry "
        f"{fmt(1e6 / host_cpu, 0)} requests/s against {fmt(1e6 / floor_cpu, 0)}); "
        f"marlix less aiohttp: 1 client p50 {more(lambda f: percentile(f.plain, 50))} ms, "
        f"first chunk p50 {more(lambda f: percentile(f.first, 50))} ms"
    )


def note(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def find_tool(name: str) -> str | None:
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/local/sbin")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--requests", type=int, default=2000, help="1-client requests a round")
    parser.add_argument("--streams", type=int, default=1000, help="streamed requests a round")
    parser.add_argument("--seconds", type=float, default=3.0, help="64-client seconds a round")
    parser.add_argument("--quick", action="store_true", help="1 round, a fifth of the work")
    args = parser.parse_args(argv)
    if args.quick:
        args.rounds, args.requests, args.streams, args.seconds = 1, 400, 200, 1.0
    if not (1 <= args.rounds <= 10 and 1 <= args.requests <= 100_000):
        parser.error("--rounds must be 1..10 and --requests 1..100000")
    if not (1 <= args.streams <= 100_000 and 0.5 <= args.seconds <= 30):
        parser.error("--streams must be 1..100000 and --seconds 0.5..30")

    nginx = find_tool("nginx")
    wrk = find_tool("wrk")
    if nginx is None:
        note("nginx is not installed (apt-get install -y nginx): its column is left out")
    if wrk is None:
        note(
            "wrk is not installed (apt-get install -y wrk): the 64-client figures come from an "
            "asyncio client in this process, which takes a core of its own"
        )

    started: list[Started] = []
    with tempfile.TemporaryDirectory(prefix="marlix-bench-serve-") as tmp:
        work = Path(tmp)
        try:
            host_port, standin_port, host_pid = start_host(work, started)
            ports = {"straight": standin_port}
            ports["aiohttp"] = start_aiohttp(work, standin_port, started)
            # Whose CPU time is the proxy's on each path: the straight one has no proxy.
            proxy_pids = {"aiohttp": [started[-1].process.pid], "marlix": [host_pid]}
            if nginx is not None:
                ports["nginx"], master = start_nginx(nginx, work, standin_port, started)
                proxy_pids["nginx"] = nginx_pids(master)
            ports["marlix"] = host_port
            paths = list(ports)
            script = work / "post.lua"
            script.write_text(WRK_SCRIPT.format(body=PLAIN_BODY.decode()))

            def load(port: int, seconds: float) -> Load:
                if wrk is not None:
                    return wrk_load(wrk, script, port, seconds)
                return asyncio_load(port, seconds)

            note(f"warming up: {', '.join(f'{p} on port {ports[p]}' for p in paths)}")
            for path in paths:
                one_client(ports[path], PLAIN_BODY, 300)
                one_client(ports[path], STREAM_BODY, 100)
                load(ports[path], 1.0)

            figures = {path: PathFigures() for path in paths}
            began = time.monotonic()
            for round_no in range(args.rounds):
                order = paths[round_no % len(paths) :] + paths[: round_no % len(paths)]
                for path in order:
                    _, totals, bad = one_client(ports[path], PLAIN_BODY, args.requests)
                    figures[path].plain += totals
                    figures[path].bad += bad
                for path in order:
                    pids = proxy_pids.get(path, [])
                    before = cpu_seconds(pids)
                    result = load(ports[path], args.seconds)
                    figures[path].loads.append(result)
                    if pids and result.requests:
                        spent = cpu_seconds(pids) - before
                        figures[path].cpu_us.append(spent / result.requests * 1e6)
                for path in order:
                    firsts, _, bad = one_client(ports[path], STREAM_BODY, args.streams)
                    figures[path].first += firsts
                    figures[path].bad += bad
                note(
                    f"round {round_no + 1}/{args.rounds} done at {time.monotonic() - began:.0f} s: "
                    + ", ".join(f"{p} {figures[p].loads[-1].requests_per_s:,.0f}/s" for p in paths)
                )
        finally:
            for process in reversed(started):
                process.stop()

    loader = "wrk" if wrk is not None else "asyncio client"
    print(
        f"marlix serve against straight to the stand-in, aiohttp and nginx: "
        f"{os.cpu_count()} cores, "
        f"Python {sys.version.split()[0]}, {args.rounds} rounds of {args.requests} requests, "
        f"{args.streams} streams and {args.seconds:g} s at {CONNECTIONS} clients a path"
    )
    print()
    print(table(paths, figures, loader))
    print()
    print(over_aiohttp(figures))
    return 0


if __name__ == "__main__":
    sys.exit(main())
