"""The module lives inside the host process: no input and no call sequence may crash it, leak,
or leave a Fleet in a state its own queries contradict."""

import gc
import json
import pathlib
import sys
import threading

import _marlix
import pytest

GIB = 2**30
CARD = 64 * GIB
ROSTER = json.dumps(
    [
        {"model": "a", "weightsBytes": 8 * GIB, "kvBytes": GIB},
        {"model": "b", "weights_bytes": 16 * GIB},
        {"model": "c", "weightsBytes": 4 * GIB, "kv_bytes": 2 * GIB},
        {"model": "huge", "weightsBytes": 512 * GIB},
    ]
)
NAMES = ("a", "b", "c", "huge")
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}

CORPUS = (
    pathlib.Path(__file__).resolve().parents[2].parent
    / "shared"
    / "data"
    / "JSONTestSuite"
    / "test_parsing"
)


def usable_bytes(total_bytes, reserve_pct):
    return json.loads(_marlix.plan(total_bytes, reserve_pct, "[]"))["usable_bytes"]


def check_consistent(fleet, names=NAMES, usable=None):
    """Every query answers, and the answers agree with one another."""
    usable = usable_bytes(CARD, 10) if usable is None else usable
    committed = fleet.committed_bytes()
    free = fleet.free_bytes()
    if committed <= usable:
        assert committed + free == usable
    else:
        assert free == 0
    for name in (*names, "undeclared"):
        doc = json.loads(fleet.route(name, 10**6))
        assert doc["model"] == name
        assert doc["ready"] == (doc["route"] == "ready")
        assert doc["try_elsewhere"] == (doc["route"] not in ("ready", "warming"))
    report = fleet.report(10**6)
    assert report.endswith("\n")
    assert report.count("\n") == len(names) + 1
    assert fleet.next_to_load() in (None, *names)


# The JSON conformance corpus, as the detail of an observation (which takes any JSON value).


def corpus_cases():
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"{CORPUS} is absent"))]
    cases = []
    for path in sorted(CORPUS.iterdir()):
        try:
            text = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue  # a Python str cannot carry it
        cases.append(pytest.param((path.name, text), id=path.name))
    return cases


@pytest.mark.parametrize("case", corpus_cases())
@pytest.mark.parametrize("kind", ["probe_ok", "probe_failed", "load_failed", "stop"])
def test_corpus_file_as_observation_detail(case, kind):
    name, text = case
    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    try:
        fleet.observe("a", kind, text, 1000)
        accepted = True
    except ValueError as e:
        assert type(e) is ValueError
        assert str(e).startswith("bad json: ")
        accepted = False
    if name.startswith("y_"):
        assert accepted, name
    elif name.startswith("n_"):
        assert not accepted, name
    check_consistent(fleet)


# Input size: nesting deep enough to exhaust any stack, and a roster of 50 MB.

DEPTH = 1_000_000


@pytest.mark.parametrize(
    ("text", "column"),
    [
        ("[" * DEPTH, 128),
        ("[" * DEPTH + "]" * DEPTH, 128),
        ('{"a":' * DEPTH, 127 * 5 + 1),
        ('[{"a":' * (DEPTH // 2), 63 * 6 + 2),
    ],
    ids=["arrays", "closed arrays", "objects", "mixed"],
)
@pytest.mark.parametrize("where", ["plan", "Fleet", "observe"])
def test_deep_nesting_is_refused(text, column, where):
    expected = f"bad json: recursion limit exceeded at line 1 column {column}"
    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    calls = {
        "plan": lambda: _marlix.plan(CARD, 10, text),
        "Fleet": lambda: _marlix.Fleet(CARD, 10, text),
        "observe": lambda: fleet.observe("a", "probe_ok", text, 0),
    }
    with pytest.raises(ValueError) as caught:
        calls[where]()
    assert caught.value.args == (expected,)
    check_consistent(fleet)


def test_a_50_mb_roster_is_planned():
    # Both key spellings, some float byte counts, escapes in names; the last entry does not fit.
    entry = '{{"model":"model-{0:07d}\\t\\u00e9","weightsBytes":{1},"kv_bytes":{2}.0}}'
    count = 720_000
    parts = [entry.format(i, (i % 97 + 1) * 4096, i % 13) for i in range(count)]
    parts.append('{"model":"last","weights_bytes":18446744073709551615,"kvBytes":1}')
    roster = "[" + ",".join(parts) + "]"
    assert len(roster) >= 50_000_000
    doc = json.loads(_marlix.plan(2**50, 10, roster))
    assert doc["declared"] == count + 1
    assert len(doc["admitted"]) == count
    assert doc["admitted"][-1] == f"model-{count - 1:07d}\t\u00e9"
    assert [r["model"] for r in doc["rejected"]] == ["last"]
    assert doc["committed_bytes"] + doc["headroom_bytes"] == doc["usable_bytes"]
    assert doc["committed_bytes"] == sum((i % 97 + 1) * 4096 + i % 13 for i in range(count))


# Memory: a long run of every kind of call, failures included, must leave the footprint flat.


def mixed_calls(fleet):
    """One round of calls covering every method, with and without errors."""

    def raises(exc, fn, *args):
        try:
            fn(*args)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")

    return [
        lambda: fleet.observe("a", "load_started", "{}", 1),
        lambda: fleet.observe("a", "probe_ok", '{"vramBytes": 9663676416}', 2),
        lambda: fleet.observe("b", "probe_failed", '{"gpu_present": false, "detail": "x"}', 3),
        lambda: fleet.observe("c", "load_failed", '{"detail": "out of memory"}', 4),
        lambda: fleet.observe("c", "process_exited", '{"code": -9}', 5),
        lambda: fleet.observe("huge", "stop", "null", 6),
        lambda: fleet.observe("nobody", "probe_ok", "{}", 7),
        lambda: raises(ValueError, fleet.observe, "a", "probe_ok", "{", 8),
        lambda: raises(ValueError, fleet.observe, "a", "Probe_OK\u00a0", "{}", 8),
        lambda: raises(TypeError, fleet.observe, "a", "stop", None, 8),
        lambda: raises(OverflowError, fleet.report, -1),
        lambda: fleet.set_endpoint("a", "http://10.0.0.1:8000"),
        lambda: fleet.route("a", 10),
        lambda: fleet.route("c", 10),
        lambda: fleet.route("nobody", 10),
        lambda: fleet.report(10),
        lambda: fleet.next_to_load(),
        lambda: fleet.committed_bytes(),
        lambda: fleet.free_bytes(),
        lambda: _marlix.plan(CARD, 10, ROSTER),
        lambda: raises(ValueError, _marlix.plan, CARD, 10, '[{"model": ""}]'),
        lambda: raises(ValueError, _marlix.Fleet, CARD, 10, "[1,]"),
        lambda: _marlix.Fleet(CARD, 10, ROSTER),
    ]


def run_calls(calls, total):
    n = len(calls)
    for i in range(total):
        calls[i % n]()


def test_memory_stays_flat_over_a_million_calls(resident_memory):
    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    calls = mixed_calls(fleet)
    run_calls(calls, 200_000)  # warm-up: allocator pools, caches, interned texts
    gc.collect()
    before = resident_memory.now()
    run_calls(calls, 1_000_000)
    gc.collect()
    grown = resident_memory.now() - before
    assert grown < resident_memory.slack, f"resident memory grew by {grown} bytes"
    check_consistent(fleet)


def test_dropped_fleets_and_big_texts_are_released(resident_memory):
    roster = json.dumps([{"model": f"m{i}" * 50, "weightsBytes": i} for i in range(2000)])
    fleet = _marlix.Fleet(CARD, 10, roster)
    for _ in range(20):
        _marlix.Fleet(CARD, 10, roster).report(0)
    gc.collect()
    before = resident_memory.now()
    for i in range(300):
        f = _marlix.Fleet(CARD, 10, roster)
        f.observe("m1" * 50, "load_failed", json.dumps({"detail": "x" * 100_000}), i)
        f.report(i)
        fleet.observe("m2" * 50, "load_failed", json.dumps({"detail": "y" * 100_000}), i)
        _marlix.plan(CARD, 10, roster)
    del f
    gc.collect()
    grown = resident_memory.now() - before
    assert grown < resident_memory.slack, f"resident memory grew by {grown} bytes"


# Threads: one Fleet shared by several threads whose integer arguments re-enter it.

WAIT = 30  # seconds; a bound on every wait, never reached unless something is broken

ACCESS = {
    "route": "shared",
    "report": "shared",
    "next_to_load": "shared",
    "committed_bytes": "shared",
    "free_bytes": "shared",
    "observe": "exclusive",
    "set_endpoint": "exclusive",
}
OTHER_CALLS = {
    "route": lambda f: f.route("b", 10),
    "report": lambda f: f.report(10),
    "next_to_load": lambda f: f.next_to_load(),
    "committed_bytes": lambda f: f.committed_bytes(),
    "free_bytes": lambda f: f.free_bytes(),
    "observe": lambda f: f.observe("b", "stop", "{}", 10),
    "set_endpoint": lambda f: f.set_endpoint("b", "http://other"),
}
HOLDING_CALLS = {
    "observe": lambda f, now: f.observe("a", "load_started", "{}", now),
    "route": lambda f, now: f.route("a", now),
    "report": lambda f, now: f.report(now),
}
# What a call meets while another thread's call holds its access (None: it is served).
REFUSAL = {
    ("exclusive", "shared"): "Already mutably borrowed",
    ("exclusive", "exclusive"): "Already borrowed",
    ("shared", "exclusive"): "Already borrowed",
    ("shared", "shared"): None,
}


class HeldIndex:
    """An integer whose conversion, while its call holds the Fleet, hands the interpreter to
    another thread and waits until that thread has made its call."""

    def __init__(self, value):
        self.value = value
        self.holding = threading.Event()
        self.other_done = threading.Event()
        self.other_ran = None

    def __index__(self):
        self.holding.set()
        # Waiting releases the interpreter lock, so the other thread's call runs now, entirely
        # inside this call's access (the module never lets go of the lock in a call).
        self.other_ran = self.other_done.wait(WAIT)
        return self.value


def sessions():
    """A Fleet and a fresh twin given the same observations."""
    fleets = []
    for _ in range(2):
        fleet = _marlix.Fleet(CARD, 10, ROSTER)
        fleet.observe("b", "probe_ok", '{"vramBytes": 1073741824}', 0)
        fleets.append(fleet)
    return fleets


def answers(fleet):
    return [fleet.route(name, 100) for name in NAMES], fleet.report(100), fleet.committed_bytes()


@pytest.mark.parametrize("other", OTHER_CALLS)
@pytest.mark.parametrize("holder", HOLDING_CALLS)
def test_a_call_from_another_thread_meets_the_held_access(holder, other):
    fleet, twin = sessions()
    now = HeldIndex(50)
    outcome = []

    def call_from_other_thread():
        try:
            if not now.holding.wait(WAIT):
                outcome.append(("the holding call never converted its argument",))
                return
            try:
                outcome.append(("returned", OTHER_CALLS[other](fleet)))
            except Exception as e:
                outcome.append(("raised", type(e), str(e)))
        finally:
            now.other_done.set()

    thread = threading.Thread(target=call_from_other_thread)
    thread.start()
    try:
        HOLDING_CALLS[holder](fleet, now)  # the holding call itself is not disturbed
    finally:
        # Whatever failed, the thread neither waits nor outlives the test.
        now.holding.set()
        now.other_done.set()
        thread.join(WAIT)
    assert not thread.is_alive()
    assert now.other_ran

    message = REFUSAL[ACCESS[holder], ACCESS[other]]
    if message is None:
        assert outcome == [("returned", OTHER_CALLS[other](twin))]
    else:
        assert outcome == [("raised", RuntimeError, message)]
    # A refused call left no trace, the holding call took effect, and access is free again.
    HOLDING_CALLS[holder](twin, 50)
    assert answers(fleet) == answers(twin)
    fleet.set_endpoint("c", "http://after")
    twin.set_endpoint("c", "http://after")
    assert answers(fleet) == answers(twin)
    check_consistent(fleet)


class ReentrantIndex:
    """An integer whose conversion calls back into the Fleet (and gives other threads a turn)."""

    def __init__(self, fleet, value, action):
        self.fleet = fleet
        self.value = value
        self.action = action

    def __index__(self):
        self.action(self.fleet)
        # Some bytecode while the outer call holds its access, so that other threads get the
        # interpreter in the middle of it.
        spin = 0
        for i in range(8):
            spin += i
        return self.value + spin - 28


REENTRY = [
    lambda f: f.route("a", 1),
    lambda f: f.report(2),
    lambda f: f.committed_bytes(),
    lambda f: f.observe("b", "load_started", "{}", 3),
    lambda f: f.set_endpoint("c", "inner"),
    lambda f: f.next_to_load(),
]


def hammer(fleet, seed, rounds, seen, failures):
    try:
        for i in range(rounds):
            now = ReentrantIndex(fleet, seed * rounds + i, REENTRY[(seed + i) % len(REENTRY)])
            name = NAMES[i % len(NAMES)]
            step = (seed + i) % 6
            try:
                if step == 0:
                    fleet.observe(name, "probe_ok", '{"vram_bytes": 1073741824}', now)
                elif step == 1:
                    fleet.observe(name, "load_started", "{}", now)
                elif step == 2:
                    json.loads(fleet.route(name, now))
                elif step == 3:
                    fleet.report(now)
                elif step == 4:
                    fleet.set_endpoint(name, f"http://host-{seed}:{i}")
                    fleet.observe(name, "probe_failed", '{"gpuPresent": true}', now)
                else:
                    fleet.next_to_load()
                    fleet.free_bytes()
            except RuntimeError as e:
                assert type(e) is RuntimeError
                assert str(e) in BORROW_ERRORS, str(e)
                seen.append(str(e))
    except Exception as e:  # anything else is a failure for the main thread to report
        failures.append(e)


def test_threads_sharing_a_fleet_see_only_borrow_errors():
    # A stress check: which conflicts come from another thread is up to the scheduler, so only
    # what must hold whatever the interleaving is asserted here.
    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    seen, failures = [], []
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [
            threading.Thread(target=hammer, args=(fleet, seed, 3000, seen, failures))
            for seed in range(4)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10 * WAIT)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads)
    assert not failures, failures
    # An observe whose argument re-enters with a shared call is refused in every interleaving.
    assert seen
    check_consistent(fleet)

    # The borrow counter is back at rest: exclusive calls succeed, and the Fleet answers as a
    # fresh one given the same observations would.
    for name in NAMES:
        fleet.observe(name, "stop", "{}", 10)
        fleet.observe(name, "probe_ok", '{"vramBytes": 1024}', 20)
        fleet.set_endpoint(name, "e")
    assert fleet.committed_bytes() == 4096
    assert json.loads(fleet.route("a", 30))["route"] == "ready"
    assert json.loads(fleet.route("huge", 30))["route"] == "not_admitted"
    check_consistent(fleet)


@pytest.mark.parametrize(
    ("outer", "inner", "message"),
    [
        ("observe", lambda f: f.route("a", 0), "Already mutably borrowed"),
        ("observe", lambda f: f.report(0), "Already mutably borrowed"),
        ("observe", lambda f: f.observe("a", "stop", "{}", 0), "Already borrowed"),
        ("route", lambda f: f.observe("a", "stop", "{}", 0), "Already borrowed"),
        ("route", lambda f: f.set_endpoint("a", "x"), "Already borrowed"),
        ("report", lambda f: f.observe("a", "stop", "{}", 0), "Already borrowed"),
    ],
)
def test_conflicting_reentry_fails_and_leaves_the_fleet_usable(outer, inner, message):
    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    fleet.observe("a", "probe_ok", '{"vramBytes": 5}', 0)
    before = (fleet.route("a", 100), fleet.report(100), fleet.committed_bytes())
    errors = []

    def action(f):
        try:
            inner(f)
        except RuntimeError as e:
            errors.append(str(e))
            raise

    now = ReentrantIndex(fleet, 7, action)
    calls = {
        "observe": lambda: fleet.observe("a", "stop", "{}", now),
        "route": lambda: fleet.route("a", now),
        "report": lambda: fleet.report(now),
    }
    with pytest.raises(RuntimeError) as caught:
        calls[outer]()
    assert errors == [message]
    assert str(caught.value) == message
    assert (fleet.route("a", 100), fleet.report(100), fleet.committed_bytes()) == before
    fleet.observe("a", "stop", "{}", 1)  # exclusive access is free again
    check_consistent(fleet)
