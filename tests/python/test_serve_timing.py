"""How the host gets where it ends, step by step and to the millisecond: probe failures in a
row, reload delays and their reset, load timeouts, one load at a time, waiters answered when a
load fails, Retry-After to the second. The clock is the test's (see virtual_host.py); what is
checked is what the Fleet is told and when, and what a client is answered."""

from __future__ import annotations

import asyncio
import sys

import pytest

pytest.importorskip("aiohttp")

from serve_host import config as roster  # noqa: E402
from serve_host import model  # noqa: E402
from virtual_host import Script, Stage, run_virtual  # noqa: E402


def chat(name: str) -> dict:
    return {"model": name, "messages": [{"role": "user", "content": "hi"}]}


@pytest.mark.parametrize(
    "failures, sick, lost_at_s",
    [
        # Ready at 1 s, probed every 5 s from then on: 6, 11, 16, 21, 26 ...
        (3, [(10, None)], 21.0),  # fails at 11, 16 and 21
        # Two failures, a good answer, one failure: the count started again.
        (3, [(10, 17), (25, 27)], None),
        (3, [(10, 17), (25, None)], 36.0),
        (1, [(10, 12)], 11.0),  # one failure is enough when one is all it takes
        (2, [(10, 12), (20, 22)], None),
    ],
)
def test_a_model_is_lost_only_after_its_probe_failures_in_a_row(failures, sick, lost_at_s):
    async def scenario() -> None:
        stage = Stage(
            roster(model("chat", probe_interval_s=5, probe_failures=failures)),
            {"chat": [Script(load_s=1, sick=sick), Script()]},
        )
        stage.start()
        await stage.until(50)
        assert stage.times("chat", "probe_ok")[0] == 1.0
        lost = stage.times("chat", "probe_failed")
        assert lost[:1] == ([] if lost_at_s is None else [lost_at_s])
        if lost_at_s is not None:
            # Its process is ended and it is loaded again after the first reload delay.
            assert stage.processes["chat"][0].signals == [(lost_at_s, "SIGTERM")]
            assert stage.times("chat", "load_started")[1] == lost_at_s + 1
        await stage.stop()

    run_virtual(scenario)


def test_reload_delays_double_to_five_minutes_and_start_again_after_ten_resident():
    fails = Script(load_s=5, exits_after_s=0.5)
    scripts = [fails] * 11 + [
        Script(load_s=1, exits_after_s=300),  # resident for 5 minutes: not recovered
        Script(load_s=1, exits_after_s=700),  # resident for over 10 minutes: recovered
        fails,
        Script(never_ready=True),
    ]

    async def scenario() -> None:
        stage = Stage(roster(model("bad")), {"bad": scripts})
        stage.start()
        await stage.until(5000)
        starts = stage.times("bad", "load_started")
        ends = sorted(stage.times("bad", "load_failed") + stage.times("bad", "process_exited"))
        delays = [start - end for end, start in zip(ends, starts[1:])]
        assert delays[:14] == [1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300, 300, 1, 2]
        # Each failed load ended when its process exited, half a second after it started.
        assert [e - s for s, e in zip(starts, ends)][:11] == [0.5] * 11
        await stage.stop()

    run_virtual(scenario)


@pytest.mark.parametrize(
    "script, kinds, failure",
    [
        (
            Script(never_ready=True),
            ["load_started", "load_failed"],
            "no healthy answer within 30 s",
        ),
        (
            # An exit during the load is a failed load, not a lost model.
            Script(load_s=10, exits_after_s=4, last_words="error: out of memory"),
            ["load_started", "load_failed"],
            "the process exited with status 1 during its load: error: out of memory",
        ),
        (
            Script(cannot_start=True),
            ["load_failed"],
            f"cannot start {sys.executable!r}: No such file or directory",
        ),
    ],
)
def test_a_load_that_does_not_come_good_fails_when_it_should(script, kinds, failure):
    async def scenario() -> None:
        stage = Stage(roster(model("m", load_timeout_s=30)), {"m": [script]})
        stage.start()
        await stage.until(0.5)
        failed_at = 30.0 if script.never_ready else 4.0 if script.exits_after_s else 0.0
        await stage.until(failed_at + 0.01)
        assert [kind for _, _, kind in stage.told("m")] == kinds
        assert stage.times("m", "load_failed") == [failed_at]
        assert stage.host.records["m"].last_failure == failure
        assert f"m: load failed: {failure}; next try in 1 s" in stage.log()
        await stage.stop()

    run_virtual(scenario)


def test_models_load_one_at_a_time_in_roster_order():
    async def scenario() -> None:
        stage = Stage(
            roster(model("a"), model("b"), model("c")),
            {"a": [Script(load_s=3)], "b": [Script(load_s=2)], "c": [Script(load_s=0)]},
        )
        stage.start()
        await stage.until(10)
        assert [(at, name, kind) for at, name, kind in stage.told()] == [
            (0.0, "a", "load_started"),
            (3.0, "a", "probe_ok"),
            (3.0, "b", "load_started"),
            (5.0, "b", "probe_ok"),
            (5.0, "c", "load_started"),
            (5.0, "c", "probe_ok"),
        ]
        await stage.stop()

    run_virtual(scenario)


def test_a_model_in_its_reload_delay_does_not_hold_back_the_next():
    async def scenario() -> None:
        stage = Stage(
            roster(model("bad"), model("good")),
            {"bad": [Script(exits_after_s=0.5, load_s=5)], "good": [Script(load_s=2)]},
        )
        stage.start()
        await stage.until(2.9)  # its second try fails at 3 s
        assert stage.times("bad", "load_failed") == [0.5]
        assert stage.times("good", "load_started") == [0.5]
        assert stage.times("good", "probe_ok") == [2.5]
        assert stage.times("bad", "load_started") == [0.0, 2.5]
        await stage.stop()

    run_virtual(scenario)


def test_a_request_waiting_for_a_load_is_answered_as_soon_as_it_fails():
    async def scenario() -> None:
        stage = Stage(
            roster(model("bad", load_timeout_s=300), wait_s=120),
            {"bad": [Script(load_s=10, exits_after_s=4)]},
        )
        stage.start()
        await stage.until(0.5)
        answers = await asyncio.gather(*(stage.post(chat("bad")) for _ in range(3)))
        for answer in answers:
            assert (answer.status, answer.body["error"]["code"]) == (503, "model_failed")
            assert answer.at_s == 4.0
            # The rest of its reload delay (1 s), and then a whole load: before any load has
            # succeeded, its timeout.
            assert answer.headers["Retry-After"] == "301"
        assert stage.host.waiting == 0
        await stage.stop()

    run_virtual(scenario)


@pytest.mark.parametrize(
    "at_s, status, code, retry_after",
    [
        (1.0, 503, "model_loading", "299"),  # its first load: its whole timeout from 0 s
        (3.5, 503, "model_loading", "297"),
        (10.2, 503, "model_lost", "5"),  # exited at 10 s: 0.8 s of delay, then a load of 4 s
        (10.9, 503, "model_lost", "5"),  # 0.1 s of delay and 4 s: rounded up
        (11.2, 503, "model_loading", "4"),  # the reload started at 11 s and takes 4 s
        (13.5, 503, "model_loading", "2"),
        (14.5, 503, "model_loading", "1"),  # overdue: at least a second
    ],
)
def test_retry_after_says_when_the_model_is_expected_to_serve(at_s, status, code, retry_after):
    async def scenario() -> None:
        stage = Stage(
            roster(model("slow", load_timeout_s=300, probe_interval_s=60)),
            {"slow": [Script(load_s=4, exits_after_s=10), Script(load_s=10)]},
        )
        stage.start()
        await stage.until(at_s)
        answer = await stage.post(chat("slow"), {"Prefer": "wait=0"})
        assert answer.at_s == at_s
        assert (answer.status, answer.body["error"]["code"]) == (status, code)
        assert answer.headers["Retry-After"] == retry_after
        await stage.stop()

    run_virtual(scenario)


@pytest.mark.parametrize(
    "prefer, answered_at_s",
    [("wait=0", 2.0), ("wait=7", 9.0), ("wait=100", 22.0), (None, 22.0)],
)
def test_a_request_waits_as_long_as_it_asked_and_no_longer_than_wait_s(prefer, answered_at_s):
    async def scenario() -> None:
        stage = Stage(
            roster(model("never", load_timeout_s=600), wait_s=20),
            {"never": [Script(never_ready=True)]},
        )
        stage.start()
        await stage.until(2)
        answer = await stage.post(chat("never"), {"Prefer": prefer} if prefer else {})
        assert (answer.status, answer.body["error"]["code"]) == (503, "model_loading")
        assert answer.at_s == answered_at_s
        assert answer.headers["Retry-After"] == str(600 - int(answered_at_s))
        await stage.stop()

    run_virtual(scenario)


def test_a_model_stopped_by_hand_is_refused_until_it_is_loaded_again():
    async def scenario() -> None:
        stage = Stage(roster(model("chat")), {"chat": [Script(load_s=1)]})
        stage.start()
        await stage.until(2)
        await stage.supervisor.unload(stage.host.records["chat"])
        assert stage.processes["chat"][0].signals == [(2.0, "SIGTERM")]
        await stage.until(100)  # nothing loads it again by itself
        assert stage.times("chat", "load_started") == [0.0]
        answer = await stage.post(chat("chat"))
        assert (answer.status, answer.body["error"]["code"], answer.at_s) == (
            503,
            "model_stopped",
            100.0,
        )
        assert "Retry-After" not in answer.headers
        stage.supervisor.load(stage.host.records["chat"])
        await stage.until(105)
        assert stage.times("chat", "load_started") == [0.0, 100.0]
        assert stage.times("chat", "probe_ok") == [1.0, 101.0]
        await stage.stop()

    run_virtual(scenario)


def test_restarts_count_only_models_that_had_been_ready_and_failed_loads_apart():
    fails = Script(load_s=5, exits_after_s=0.5)
    scripts = [fails, fails, Script(load_s=1, exits_after_s=10), Script(load_s=1)]

    async def scenario() -> None:
        stage = Stage(roster(model("m")), {"m": scripts})
        stage.start()
        await stage.until(2.1)  # failed at 0.5 and at 2.0 (started 1.5): 2 s to its next try
        row = stage.host.model_status(stage.host.records["m"], stage.host.clock())
        assert (row["state"], row["failed_loads"], row["restarts"]) == ("failed", 2, 0)
        assert row["next_try_ms"] == 1900
        # Ready at 5 s, lost at 14 s: its delay goes on doubling, to 4 s (it was not resident
        # long enough to count as recovered).
        await stage.until(14.5)
        row = stage.host.model_status(stage.host.records["m"], stage.host.clock())
        assert (row["state"], row["next_try_ms"], row["restarts"]) == ("lost", 3500, 0)
        await stage.until(20)
        row = stage.host.model_status(stage.host.records["m"], stage.host.clock())
        assert (row["state"], row["failed_loads"], row["restarts"]) == ("ready", 2, 1)
        assert row["next_try_ms"] is None and row["vram_bytes"] == 2**30
        await stage.stop()

    run_virtual(scenario)
