"""Answers to `route` stay right through every change to the fleet.

A long-lived fleet may hand out an answer it gave before; after each step of a session its
answers must equal those of a fleet built afresh and taken through the same steps.
"""

import json
import random

import _marlix
import pytest
from samples import CARD
from samples import WORKED_ROSTER as ROSTER

NAMES = ("a", "b", "c", "z")
TIMES = (0, 1_500, 9_000)

STEPS = [
    ("observe", "a", "load_started", "{}", 1_000),
    ("observe", "a", "probe_ok", '{"vramBytes": 1024}', 2_000),
    ("set_endpoint", "a", "http://127.0.0.1:9000"),
    ("set_endpoint", "a", "http://127.0.0.1:9001"),
    ("observe", "c", "load_started", "{}", 3_000),
    ("observe", "b", "probe_ok", "{}", 3_500),
    ("observe", "a", "process_exited", "{}", 4_000),
    ("observe", "c", "load_failed", '{"detail": "out of memory"}', 5_000),
    ("observe", "a", "load_started", "{}", 6_000),
    ("observe", "a", "probe_ok", "{}", 7_000),
    ("observe", "c", "stop", "{}", 8_000),
    ("observe", "a", "probe_failed", '{"gpuPresent": false}', 8_500),
]


def apply(fleet, step):
    getattr(fleet, step[0])(*step[1:])


def answers(fleet):
    return [fleet.route(name, now) for name in NAMES for now in TIMES]


def test_answers_follow_every_change():
    live = _marlix.Fleet(CARD, 10, ROSTER)
    answers(live)
    for done in range(1, len(STEPS) + 1):
        apply(live, STEPS[done - 1])
        fresh = _marlix.Fleet(CARD, 10, ROSTER)
        for step in STEPS[:done]:
            apply(fresh, step)
        expected = answers(fresh)
        # Asked twice: the second time may be answered from what the first one kept.
        assert answers(live) == expected, STEPS[done - 1]
        assert answers(live) == expected, STEPS[done - 1]


def test_a_loading_model_is_answered_for_each_time():
    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    fleet.observe("a", "load_started", "{}", 1_000)
    assert [json.loads(fleet.route("a", now))["for_ms"] for now in (1_000, 4_500, 9_000)] == [
        0,
        3_500,
        8_000,
    ]


@pytest.mark.parametrize(
    "change",
    [
        lambda f: f.set_endpoint("a", "http://127.0.0.1:9002"),
        lambda f: f.observe("a", "stop", "{}", 3_000),
    ],
)
def test_a_refused_observation_keeps_the_answer_and_a_change_renews_it(change):
    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    fleet.observe("a", "load_started", "{}", 1_000)
    fleet.observe("a", "probe_ok", "{}", 2_000)
    fleet.set_endpoint("a", "http://127.0.0.1:9000")
    before = fleet.route("a", 2_500)
    # A refused observation takes exclusive access and changes nothing.
    with pytest.raises(ValueError):
        fleet.observe("a", "no_such_kind", "{}", 2_600)
    assert fleet.route("a", 2_500) == before
    change(fleet)
    assert fleet.route("a", 3_500) != before


@pytest.mark.parametrize("seed", range(5))
def test_answers_follow_a_random_session(seed):
    rng = random.Random(seed)
    kinds = ["load_started", "probe_ok", "probe_failed", "process_exited", "load_failed", "stop"]
    details = ["{}", '{"vramBytes": 4096}', '{"gpuPresent": false}', '{"detail": "oom"}']
    live = _marlix.Fleet(CARD, 10, ROSTER)
    done = []
    for _ in range(60):
        if rng.random() < 0.2:
            step = ("set_endpoint", rng.choice(NAMES), f"http://h:{rng.randrange(3)}")
        else:
            step = (
                "observe",
                rng.choice(NAMES),
                rng.choice(kinds),
                rng.choice(details),
                rng.randrange(10_000),
            )
        apply(live, step)
        done.append(step)
        fresh = _marlix.Fleet(CARD, 10, ROSTER)
        for earlier in done:
            apply(fresh, earlier)
        assert answers(live) == answers(fresh), done
