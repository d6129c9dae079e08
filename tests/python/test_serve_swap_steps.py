"""Swapping, step by step on a clock the test moves (see virtual_host.py): which model leaves a
card, when it is stopped, which demand goes first, what one load serves, and what the card's
Fleet says of the models that stay."""

from __future__ import annotations

import asyncio

import pytest

pytest.importorskip("aiohttp")

from serve_host import config  # noqa: E402
from serve_host import model as standin_model  # noqa: E402
from virtual_host import Script, Stage, run_virtual  # noqa: E402

GIB = 2**30


def swapping(*models: str, **server: object) -> str:
    return config(*models, swap=True, wait_s=120, **server)


def model(name: str, size: str = "8GiB", **keys: object) -> str:
    return standin_model(name, size=size, **keys)


def chat(name: str) -> dict:
    return {"model": name, "messages": [{"role": "user", "content": "hi"}]}


# A 24 GiB card keeps 10% back: 21.6 GiB usable, room for two models of 8 GiB, not three.
THREE = swapping(model("a"), model("b"), model("c", load="demand"))


async def ask(stage: Stage, name: str, at_s: float, **headers: str) -> object:
    await stage.until(at_s)
    return await stage.post(chat(name), headers)


def test_a_model_outside_the_working_set_waits_and_the_least_recently_used_leaves():
    async def scenario() -> None:
        stage = Stage(THREE, {"c": [Script(load_s=2)]})
        stage.start()
        assert (stage.route("a"), stage.route("c")) == ("unknown", "swapped_out")
        await ask(stage, "a", 5)
        await ask(stage, "b", 6)
        before = stage.host.cards[0].fleet.route("b", stage.host.clock())
        answer = await ask(stage, "c", 10)
        # a leaves at once (nothing in flight); c loads from 10 s for 2 s, and the request
        # is forwarded within a tenth of a second of its first healthy answer.
        assert answer.status == 200 and answer.body["model"] == "c"
        assert 12.0 <= answer.at_s <= 12.1
        assert stage.processes["a"][0].signals == [(10.0, "SIGTERM")]
        assert stage.times("c", "load_started") == [10.0]
        card = stage.host.status()["cards"][0]
        assert card["working_set"] == ["c", "b"]
        assert stage.route("a") == "swapped_out"
        # b stayed: the new Fleet says of it what the old one said.
        assert stage.host.cards[0].fleet.route("b", stage.host.clock()) == before
        assert stage.host.cards[0].fleet.committed_bytes() == 16 * GIB
        assert stage.metrics.evictions.labels("a", "demand")._value.get() == 1
        assert "a: swapped out of card 0 to make room for c" in stage.log()
        await stage.stop()

    run_virtual(scenario)


def test_a_model_answering_is_stopped_only_once_its_answers_have_ended():
    async def scenario() -> None:
        stage = Stage(THREE, {"a": [Script(answer_s=20)], "c": [Script(load_s=1)]})
        stage.start()
        long = asyncio.ensure_future(ask(stage, "a", 5))
        await ask(stage, "b", 6)
        demand = asyncio.ensure_future(ask(stage, "c", 10))
        await stage.until(12)
        assert stage.route("a") == "draining"
        assert stage.host.status()["models"][0]["state"] == "draining"
        # A request for the model draining waits, as for any model outside the working set.
        assert stage.host.records["a"].in_flight == 1
        assert stage.times("c", "load_started") == []  # its memory is still held
        answer = await long
        assert answer.status == 200 and answer.at_s == 25.0
        served = await demand
        assert stage.processes["a"][0].signals == [(25.0, "SIGTERM")]
        assert stage.times("c", "load_started") == [25.0]
        assert served.status == 200 and 26.0 <= served.at_s <= 26.1
        await stage.stop()

    run_virtual(scenario)


def test_every_request_waiting_for_a_model_is_served_by_one_load():
    async def scenario() -> None:
        stage = Stage(THREE, {"c": [Script(load_s=3)]})
        stage.start()
        await stage.until(2)
        answers = await asyncio.gather(*(stage.post(chat("c")) for _ in range(10)))
        assert [a.status for a in answers] == [200] * 10
        assert len({a.at_s for a in answers}) == 1
        assert len(stage.processes["c"]) == 1 and stage.times("c", "load_started") == [2.0]
        await stage.stop()

    run_virtual(scenario)


def test_the_oldest_demand_goes_first_and_a_ready_model_serves_at_once():
    async def scenario() -> None:
        stage = Stage(
            swapping(model("a"), model("c", load="demand"), model("d", load="demand")),
            {"c": [Script(load_s=1)], "d": [Script(load_s=1)]},
            card_sizes=(12 * GIB,),
        )
        # 12 GiB keeps back 1.2 GiB: one model at a time.
        stage.start()
        d = asyncio.ensure_future(ask(stage, "d", 10))
        c = asyncio.ensure_future(ask(stage, "c", 10.5))
        first, second = await d, await c
        assert 11.0 <= first.at_s <= 11.1  # d waited longest: it goes first
        assert second.at_s >= first.at_s + 1
        assert stage.times("c", "load_started") == [pytest.approx(first.at_s, abs=0.001)]
        await stage.stop()

    run_virtual(scenario)


def test_a_pinned_model_is_never_swapped_out():
    async def scenario() -> None:
        stage = Stage(
            swapping(model("a", pinned=True), model("b"), model("c", load="demand")),
            {"c": [Script(load_s=1)]},
        )
        stage.start()
        await ask(stage, "a", 5)  # used before b: still not the one to leave
        await ask(stage, "b", 6)
        answer = await ask(stage, "c", 10)
        assert answer.status == 200
        assert stage.host.status()["cards"][0]["working_set"] == ["a", "c"]
        assert stage.route("b") == "swapped_out" and stage.route("a") == "ready"
        await stage.stop()

    run_virtual(scenario)


def test_a_model_no_card_could_hold_alone_is_not_admitted_at_once():
    async def scenario() -> None:
        stage = Stage(
            swapping(model("a", pinned=True), model("b"), model("huge", size="14GiB")),
            {},
        )
        stage.start()
        answer = await ask(stage, "huge", 3)  # 8 GiB pinned and 14 GiB do not fit in 21.6
        assert (answer.status, answer.body["error"]["code"]) == (404, "model_not_admitted")
        assert answer.at_s == 3.0 and answer.body["marlix"]["short_bytes"] > 0
        await stage.stop()

    run_virtual(scenario)


def test_an_idle_model_leaves_and_its_next_request_loads_it_again():
    async def scenario() -> None:
        stage = Stage(swapping(model("a", idle_unload_s=60), model("b")), {"a": [Script(load_s=1)]})
        stage.start()
        await ask(stage, "a", 5)
        await stage.until(64.9)
        assert stage.route("a") == "ready"
        await stage.until(65.1)
        assert stage.route("a") == "swapped_out"
        assert stage.processes["a"][0].signals == [(65.0, "SIGTERM")]
        assert stage.metrics.evictions.labels("a", "idle")._value.get() == 1
        assert stage.route("b") == "ready"  # b has no idle time of its own
        answer = await ask(stage, "a", 100)
        assert answer.status == 200 and 101.0 <= answer.at_s <= 101.1
        assert stage.times("a", "load_started") == [0.0, 100.0]
        await stage.stop()

    run_virtual(scenario)


def test_with_several_cards_room_is_taken_where_nothing_must_leave():
    async def scenario() -> None:
        stage = Stage(
            swapping(model("a"), model("b"), model("c", load="demand"), card=["24GiB", "24GiB"]),
            {},
            card_sizes=(24 * GIB, 24 * GIB),
        )
        stage.start()
        await stage.until(5)
        # a and b fill card 0 as placed at start; c fits on card 1 beside nothing.
        answer = await ask(stage, "c", 6)
        assert answer.status == 200
        cards = stage.host.status()["cards"]
        assert [c["working_set"] for c in cards] == [["a", "b"], ["c"]]
        assert not any(p.signals for ps in stage.processes.values() for p in ps)
        await stage.stop()

    run_virtual(scenario)


def test_a_load_asked_by_hand_of_a_swapped_out_model_is_a_demand():
    async def scenario() -> None:
        stage = Stage(THREE, {"c": [Script(load_s=1)]})
        stage.start()
        await ask(stage, "a", 5)
        await ask(stage, "b", 6)
        await stage.until(10)
        stage.supervisor.load(stage.host.records["c"])
        await stage.until(12)
        assert stage.route("c") == "ready" and stage.route("a") == "swapped_out"
        assert stage.times("c", "load_started") == [10.0]
        await stage.stop()

    run_virtual(scenario)


def test_room_is_made_by_what_models_hold_when_they_hold_more_than_declared():
    async def scenario() -> None:
        # Both declare 8 GiB; b holds 14 GiB. With a gone, b still leaves 7.6 GiB of 21.6: not
        # room for c's 8, though the plan by declared sizes says there is.
        stage = Stage(
            THREE,
            {"a": [Script(vram_bytes=5 * GIB)], "b": [Script(vram_bytes=14 * GIB)]},
        )
        stage.start()
        await ask(stage, "a", 5)
        await ask(stage, "b", 6)
        answer = await ask(stage, "c", 10)
        assert answer.status == 200 and 11.0 <= answer.at_s <= 11.1
        assert (stage.route("a"), stage.route("b")) == ("swapped_out", "swapped_out")
        assert stage.host.status()["cards"][0]["working_set"] == ["c"]
        assert "as the models there hold more than they declared" in stage.log()
        await stage.stop()

    run_virtual(scenario)
