"""How `marlix serve` with `[server] swap = true` serves more models than its card holds,
against two proxies that hold one model at a time (bench/reference_swappers.py), on the same
stand-in model servers and the same request traces.

Three stand-in models, A, B and C, of 8 GiB each, which take 1 s to load (`--load-s 1`, after
the interpreter's own start) and stream answers of 8 tokens 25 ms apart. A card of 24 GiB with
a 10% reserve holds two of them and not three; one of 12 GiB holds one. Every model is loaded
on demand: each policy starts with nothing loaded.

Policies:

  marlix 2    `marlix serve`, swap = true, on the 24 GiB card: two models at a time;
  fifo        a proxy with one model at a time, swapped in request order;
  collate     a proxy with one model at a time, requests grouped per model;
  marlix 1    `marlix serve`, swap = true, on a 12 GiB card: one model at a time.

Traces, each sent by 3 concurrent clients: each client takes the next request of the trace,
sends it, reads its answer to the end and takes the next, so the trace's order is the order in
which requests are sent, and at most 3 are out at once:

  interleaved  A B A A C A B C, repeated 6 times (48 requests);
  agent        A steadily, with B and C in turn in bursts of four among the A's:
               A B A B B A B A, then A C A C C A C A, twice over (32 requests).

Figures, per trace and policy:

  loads            model processes started (each stand-in writes a line when it listens);
  total s          from the first request sent to the last answer read;
  wait             from a request being sent to the first byte of its answer's body (its
                   first streamed chunk): the time it waited for its model, queued behind
                   others and loading, plus the model's time to its first token. An error
                   answer's wait is to its first byte too. p50 and p99 are nearest-rank
                   percentiles (with 48 or 32 waits, p99 is the longest); waits gather
                   at whole numbers of loads (about 0, 1.3, 2.7 and 4.2 s), so p50 may
                   jump from one to the next between runs;
  not answered     answers that were not 200 with a stream of the model asked for;
  ready → forwarded  for each load that a request was waiting for, from the stand-in's
                   first healthy answer to the first request it received (both stamped with
                   the wall clock by the stand-in itself, `--trace`), in milliseconds.

Targets (reported as met or missed, never asserted):

  - on the 24 GiB card, marlix makes fewer loads than both references, and its p99 wait is
    below both, on each trace;
  - on the 12 GiB card, marlix makes at most one load more than collate, and no request waits
    longer than its `wait_s` (20 s), all answered;
  - over all of marlix's loads, ready → forwarded p99 is at most 100 ms.

Run it from the checkout (the host, the stand-ins and the references run from python/ and
bench/ beside this file):

    .venv/bin/python bench/swap.py [--quick] [--keep DIR]

It takes about four and a half minutes on 2 cores (`--quick`: 2 repetitions and one agent
round, under two minutes). `--keep DIR` leaves each run's host log, events and stand-in trace
in DIR; SIGTERM ends it as Ctrl-C does, with every process it started.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import math
import os
import shlex
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import aiohttp
from first_line import first_line

ROOT = Path(__file__).resolve().parents[1]
MODELS = ("A", "B", "C")
MODEL_SIZE = "8GiB"
TWO_MODEL_CARD = "24GiB"
ONE_MODEL_CARD = "12GiB"
RESERVE_PCT = 10
LOAD_S = 1.0
TOKENS = 8
TOKEN_MS = 25
CLIENTS = 3
WAIT_S = 20  # marlix's [server] wait_s
HANDOFF_TARGET_MS = 100.0

START_TIMEOUT_S = 30.0
STOP_TIMEOUT_S = 30.0
REQUEST_TIMEOUT_S = 180.0  # a whole request, waiting included; longer than any policy needs
PATH = "/v1/chat/completions"


def interleaved(repetitions: int) -> list[str]:
    return list("ABAACABC") * repetitions


def agent(rounds: int) -> list[str]:
    def burst(other: str) -> list[str]:
        return ["A", other, "A", other, other, "A", other, "A"]

    return [name for _ in range(rounds) for other in "BC" for name in burst(other)]


@dataclass(frozen=True)
class Policy:
    key: str
    kind: str  # "marlix", or a reference scheduler's policy
    card: str  # what the card holds, as the table says it


POLICIES = (
    Policy("marlix 2", "marlix", TWO_MODEL_CARD),
    Policy("fifo", "fifo", "one model"),
    Policy("collate", "collate", "one model"),
    Policy("marlix 1", "marlix", ONE_MODEL_CARD),
)


@dataclass
class Sent:
    model: str
    sent: float  # wall clock, as the stand-ins stamp their lines
    first: float | None = None  # the first byte of the answer's body
    done: float | None = None
    ok: bool = False
    status: int = 0


@dataclass
class Run:
    trace: str
    policy: Policy
    requests: list[Sent]
    total_s: float
    events: list[dict[str, Any]]
    survivors: int = 0  # stand-ins still alive after their server ended, killed by the benchmark

    @property
    def loads(self) -> int:
        return sum(e["event"] == "listening" for e in self.events)

    @property
    def healthy_loads(self) -> int:
        return sum(e["event"] == "healthy" for e in self.events)

    @property
    def waits(self) -> list[float]:
        return [r.first - r.sent for r in self.requests if r.first is not None]

    @property
    def not_answered(self) -> int:
        return sum(not r.ok for r in self.requests)

    @property
    def longest_wait(self) -> float:
        # A request that got no byte at all waited until it gave up.
        waits = [(r.first or r.done or r.sent) - r.sent for r in self.requests]
        return max(waits, default=math.nan)

    def handoffs(self) -> tuple[list[float], int]:
        """Milliseconds from each load's first healthy answer to the first request its process
        received, for the loads a request was waiting for; and how many of those loads never
        received one."""
        by_pid: dict[int, list[dict[str, Any]]] = {}
        for event in self.events:
            by_pid.setdefault(event["pid"], []).append(event)
        found: list[float] = []
        missed = 0
        for events in by_pid.values():
            healthy = [e for e in events if e["event"] == "healthy"]
            if not healthy:
                continue
            at, model = healthy[0]["time"], healthy[0]["model"]
            waiting = any(
                r.model == model and r.sent < at and (r.first is None or r.first > at)
                for r in self.requests
            )
            if not waiting:
                continue
            received = [e["time"] for e in events if e["event"] == "request" and e["time"] >= at]
            if received:
                found.append((min(received) - at) * 1000)
            else:
                missed += 1
        return found, missed


# Processes.


def child_env() -> dict[str, str]:
    env = dict(os.environ)
    env.pop("CUDA_VISIBLE_DEVICES", None)
    python_dir = str(ROOT / "python")
    env["PYTHONPATH"] = python_dir + (os.pathsep + env["PYTHONPATH"] if "PYTHONPATH" in env else "")
    return env


def standin_command(name: str, trace: Path) -> list[str]:
    return [
        sys.executable,
        "-m",
        "marlix.standin",
        "--port",
        "{port}",
        "--model",
        name,
        "--load-s",
        f"{LOAD_S:g}",
        "--tokens",
        str(TOKENS),
        "--token-ms",
        str(TOKEN_MS),
        "--trace",
        str(trace),
    ]


def marlix_config(card: str, trace: Path) -> str:
    lines = [
        "[card]",
        f'size = "{card}"',
        f"reserve_pct = {RESERVE_PCT}",
        "[server]",
        'listen = "127.0.0.1:0"',
        "swap = true",
        f"wait_s = {WAIT_S}",
        "stop_grace_s = 5",
    ]
    for name in MODELS:
        lines += [
            "[[models]]",
            f'name = "{name}"',
            f'weights_bytes = "{MODEL_SIZE}"',
            f"command = {json.dumps(standin_command(name, trace))}",
            'load = "demand"',
        ]
    return "\n".join(lines) + "\n"


def start(argv: list[str], log: Path, prefix: bytes) -> tuple[subprocess.Popen[bytes], str]:
    """Starts a server in a process group of its own and answers it and the URL it printed on
    its first line of stdout, which starts with `prefix`."""
    with open(log, "ab") as err:
        process = subprocess.Popen(
            argv,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=err,
            env=child_env(),
            start_new_session=True,
        )
    try:
        line = first_line(process, START_TIMEOUT_S)
        if not line.startswith(prefix):
            raise RuntimeError(f"{argv[1:4]} did not start: {line!r}; see {log}")
        return process, line[len(prefix) :].split(b"\n")[0].decode().strip()
    except BaseException:
        stop(process)
        raise


def stop(process: subprocess.Popen[bytes]) -> None:
    """SIGTERM, then SIGKILL to its whole group if it has not ended within STOP_TIMEOUT_S."""
    if process.poll() is None:
        try:
            process.send_signal(signal.SIGTERM)
            process.wait(STOP_TIMEOUT_S)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    if process.poll() is None:
        process.wait(STOP_TIMEOUT_S)
    if process.stdout is not None:
        process.stdout.close()


def read_trace(path: Path) -> list[dict[str, Any]]:
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def end_survivors(events: list[dict[str, Any]], trace: Path) -> int:
    """Kills, by pid, any stand-in of this run still alive once its server has ended (it
    should have ended them all); answers how many there were."""
    killed = 0
    for pid in {e["pid"] for e in events}:
        try:
            argv = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if b"marlix.standin" in argv and str(trace).encode() in argv:
            try:
                os.kill(pid, signal.SIGKILL)
                killed += 1
            except ProcessLookupError:
                pass
    return killed


# The clients.


async def drive(url: str, trace: list[str]) -> tuple[list[Sent], float]:
    """Sends the trace from CLIENTS clients; answers each request's record, in trace order,
    and the seconds from the first sent to the last answered."""
    order = iter(enumerate(trace))
    records: list[Sent | None] = [None] * len(trace)
    timeout = aiohttp.ClientTimeout(total=REQUEST_TIMEOUT_S)
    async with aiohttp.ClientSession(timeout=timeout) as session:

        async def client() -> None:
            for index, model in order:  # shared: each client takes the next request
                records[index] = await one(session, url, model)

        began = time.perf_counter()
        await asyncio.gather(*(client() for _ in range(CLIENTS)))
        total = time.perf_counter() - began
    return [r for r in records if r is not None], total


async def one(session: aiohttp.ClientSession, url: str, model: str) -> Sent:
    body = {
        "model": model,
        "messages": [{"role": "user", "content": "Say something short."}],
        "stream": True,
    }
    record = Sent(model, time.time())
    try:
        async with session.post(url + PATH, json=body) as answer:
            record.status = answer.status
            received = await answer.content.readany()
            record.first = time.time()
            async for chunk in answer.content.iter_any():
                received += chunk
            record.done = time.time()
        named = f'"model": "{model}"'.encode()
        record.ok = answer.status == 200 and named in received and b"[DONE]" in received
    except (aiohttp.ClientError, asyncio.TimeoutError, OSError):
        record.done = time.time()
    return record


# One run: one policy on one trace.


def run_one(policy: Policy, name: str, trace: list[str], work: Path) -> Run:
    folder = work / f"{name}-{policy.key.replace(' ', '')}"
    folder.mkdir(parents=True)
    standins = folder / "standins.jsonl"
    log = folder / "server.log"
    if policy.kind == "marlix":
        config = folder / "serve.toml"
        config.write_text(marlix_config(policy.card, standins))
        argv = [sys.executable, "-m", "marlix", "serve", str(config)]
        argv += ["--events", str(folder / "events.jsonl")]
        prefix = b"marlix: serving on "
    else:
        models = folder / "models.json"
        models.write_text(json.dumps({m: standin_command(m, standins) for m in MODELS}))
        argv = [sys.executable, str(ROOT / "bench" / "reference_swappers.py")]
        argv += ["--policy", policy.kind, "--models", str(models), "--log", str(log)]
        prefix = b"listening on "
    process, url = start(argv, log, prefix)
    survivors = 0
    try:
        requests, total = asyncio.run(drive(url, trace))
    finally:
        stop(process)
        survivors = end_survivors(read_trace(standins), standins)
    return Run(name, policy, requests, total, read_trace(standins), survivors)


# Figures.


def percentile(values: Sequence[float], pct: float) -> float:
    ordered = sorted(values)
    if not ordered:
        return math.nan
    return ordered[max(math.ceil(pct / 100 * len(ordered)) - 1, 0)]


def fmt(value: float, digits: int = 2) -> str:
    return "—" if math.isnan(value) else f"{value:.{digits}f}"


def table(runs: list[Run]) -> str:
    head = (
        "| trace | policy | card | loads | total s | wait p50 s | wait p99 s | wait max s "
        "| not answered | ready → forwarded p50 / p99 ms |"
    )
    lines = [head, "|" + "---|" * 10]
    for run in runs:
        waits = run.waits
        handoffs, missed = run.handoffs()
        loads = str(run.loads)
        if run.healthy_loads != run.loads:
            loads += f" ({run.healthy_loads} became healthy)"
        handoff = f"{fmt(percentile(handoffs, 50), 1)} / {fmt(percentile(handoffs, 99), 1)}"
        if missed:
            handoff += f", {missed} never forwarded"
        cells = [
            run.trace,
            run.policy.key,
            run.policy.card,
            loads,
            fmt(run.total_s, 1),
            fmt(percentile(waits, 50)),
            fmt(percentile(waits, 99)),
            fmt(run.longest_wait),
            str(run.not_answered),
            handoff,
        ]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


def targets(runs: list[Run], traces: list[str]) -> list[str]:
    found = {(run.trace, run.policy.key): run for run in runs}
    lines = []
    for trace in traces:
        two, fifo, collate = (found[(trace, k)] for k in ("marlix 2", "fifo", "collate"))
        one = found[(trace, "marlix 1")]
        tail = {k: percentile(r.waits, 99) for k, r in (("m", two), ("f", fifo), ("c", collate))}
        fewer = two.loads < fifo.loads and two.loads < collate.loads
        lines.append(
            f"- {trace}, {TWO_MODEL_CARD} card: marlix loads {two.loads} < fifo {fifo.loads} "
            f"and collate {collate.loads}: {verdict(fewer)}; marlix wait p99 "
            f"{fmt(tail['m'])} s < fifo {fmt(tail['f'])} s and collate {fmt(tail['c'])} s: "
            f"{verdict(tail['m'] < tail['f'] and tail['m'] < tail['c'])}"
        )
        longest = one.longest_wait
        lines.append(
            f"- {trace}, {ONE_MODEL_CARD} card: marlix loads {one.loads} ≤ collate "
            f"{collate.loads} + 1: {verdict(one.loads <= collate.loads + 1)}; longest wait "
            f"{fmt(longest)} s ≤ wait_s {WAIT_S} s with every request answered "
            f"({one.not_answered} not): {verdict(longest <= WAIT_S and not one.not_answered)}"
        )
    handoffs: list[float] = []
    missed = 0
    for run in runs:
        if run.policy.kind == "marlix":
            found_ms, lost = run.handoffs()
            handoffs += found_ms
            missed += lost
    p99 = percentile(handoffs, 99)
    lines.append(
        f"- ready → forwarded over all of marlix's {len(handoffs) + missed} loads a request "
        f"waited for: p50 {fmt(percentile(handoffs, 50), 1)} ms, p99 {fmt(p99, 1)} ms "
        f"≤ {HANDOFF_TARGET_MS:g} ms"
        + (f", {missed} never forwarded" if missed else "")
        + f": {verdict(p99 <= HANDOFF_TARGET_MS and not missed)}"
    )
    return lines


def note(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def command_line() -> str:
    python = os.path.relpath(sys.executable) if sys.executable.startswith(str(ROOT)) else "python"
    words = [python, os.path.relpath(sys.argv[0]), *sys.argv[1:]]
    pythonpath = os.environ.get("PYTHONPATH")
    prefix = f"PYTHONPATH={shlex.quote(pythonpath)} " if pythonpath else ""
    return prefix + shlex.join(words)


def interrupted(signum: int, frame: object) -> None:
    # SIGTERM ends the benchmark as Ctrl-C does, through every run's `finally`, so that the
    # servers it started (and their model processes) are ended too.
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    signal.signal(signal.SIGTERM, interrupted)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--repetitions", type=int, default=6, help="of the interleaved pattern")
    parser.add_argument("--rounds", type=int, default=2, help="of the agent trace's bursts")
    parser.add_argument("--quick", action="store_true", help="2 repetitions and 1 agent round")
    parser.add_argument("--keep", metavar="DIR", help="leave each run's logs and traces here")
    args = parser.parse_args(argv)
    if args.quick:
        args.repetitions, args.rounds = 2, 1
    if not (1 <= args.repetitions <= 20 and 1 <= args.rounds <= 10):
        parser.error("--repetitions must be 1..20 and --rounds 1..10")
    traces = {"interleaved": interleaved(args.repetitions), "agent": agent(args.rounds)}

    runs: list[Run] = []
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="marlix-bench-swap-") as tmp:
        work = Path(args.keep) if args.keep else Path(tmp)
        work.mkdir(parents=True, exist_ok=True)
        for name, trace in traces.items():
            for policy in POLICIES:
                run = run_one(policy, name, trace, work)
                runs.append(run)
                note(
                    f"{name}, {policy.key}: {run.loads} loads, {run.total_s:.1f} s "
                    f"(at {time.monotonic() - began:.0f} s)"
                )
                if run.survivors:
                    note(f"  {run.survivors} stand-ins outlived their server and were killed")

    print(f"$ {command_line()}")
    print()
    print(
        f"{len(MODELS)} stand-in models of {MODEL_SIZE} loading in {LOAD_S:g} s, answers of "
        f"{TOKENS} tokens {TOKEN_MS} ms apart, {CLIENTS} clients; {os.cpu_count()} cores, "
        f"Python {sys.version.split()[0]}; wait: from sending to the answer's first byte"
    )
    print()
    print(table(runs))
    print()
    print("Targets:")
    print("\n".join(targets(runs, list(traces))))
    survivors = sum(run.survivors for run in runs)
    if survivors:
        print(f"\n{survivors} stand-ins outlived their server and were killed by the benchmark")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        note("interrupted: every process it started has been ended")
        sys.exit(130)
