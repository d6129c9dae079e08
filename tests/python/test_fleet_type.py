"""The `Fleet` class: its type object, documentation, argument handling and access counting."""

import inspect
import json
import sys
import weakref

import _marlix
import pytest
from samples import CARD, GIB, Index

Fleet = _marlix.Fleet
ROSTER = json.dumps(
    [
        {"model": "a", "weightsBytes": 8 * GIB, "kvBytes": 2 * GIB},
        {"model": "b", "weightsBytes": 16 * GIB},
    ]
)

OBSERVE_DOC = "\n".join(
    [
        "kind: load_started \u00b7 probe_ok \u00b7 probe_failed \u00b7 process_exited \u00b7",
        "      load_failed \u00b7 stop",
        "Record something observed. `kind` is one of:",
        "load_started \u00b7 probe_ok \u00b7 probe_failed \u00b7 process_exited \u00b7 load_failed"
        " \u00b7 stop",
        "",
        "Either key spelling is accepted (`gpu_present` or `gpuPresent`,",
        "`vram_bytes` or `vramBytes`) because the mapping lives in the core now,",
        "once. It used to live here AND in the Node binding with different",
        "spellings, so a dict written the other language's way silently lost its",
        "most important field.",
        "",
        "Raises on an unrecognised `kind`; it used to return silently, which made",
        "a typo indistinguishable from a model that never changed state.",
    ]
)

SIGNATURES = {
    "set_endpoint": "($self, model, endpoint)",
    "observe": "($self, model, kind, detail_json, now)",
    "route": "($self, model, now)",
    "next_to_load": "($self)",
    "committed_bytes": "($self)",
    "free_bytes": "($self)",
    "report": "($self, now)",
}


@pytest.fixture
def fleet():
    return Fleet(CARD, 10, ROSTER)


class Reenter:
    """An integer whose conversion calls back into the module and records what happened."""

    def __init__(self, call, value=7):
        self.call = call
        self.value = value
        self.seen = []

    def __index__(self):
        try:
            self.seen.append(("returned", self.call()))
        except (RuntimeError, TypeError) as error:
            self.seen.append((type(error).__name__, str(error)))
        return self.value


def test_type_object():
    assert Fleet.__module__ == "builtins"
    assert Fleet.__name__ == "Fleet"
    assert Fleet.__qualname__ == "Fleet"
    assert repr(Fleet) == "<class 'builtins.Fleet'>"
    assert Fleet.__doc__ == ""
    assert Fleet.__bases__ == (object,)
    assert isinstance(Fleet(CARD, 10, "[]"), Fleet)


def test_method_table_and_docs():
    methods = [name for name in vars(Fleet) if not name.startswith("_")]
    assert methods == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        method = getattr(Fleet, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == (OBSERVE_DOC if name == "observe" else None)
    assert list(inspect.signature(Fleet.route).parameters) == ["self", "model", "now"]
    assert list(inspect.signature(Fleet.observe).parameters) == [
        "self",
        "model",
        "kind",
        "detail_json",
        "now",
    ]


def test_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("G", (Fleet,), {})


def test_no_instance_without_a_native_record():
    # Only the constructor makes instances, so every instance holds a built record.
    with pytest.raises(TypeError):
        object.__new__(Fleet)
    with pytest.raises(TypeError):
        Fleet.__new__(Fleet)


def test_no_weak_references_and_no_instance_attributes(fleet):
    with pytest.raises(TypeError):
        weakref.ref(fleet)
    with pytest.raises(AttributeError):
        fleet.extra = 1
    assert not hasattr(fleet, "__dict__")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda f: Fleet(1),
            "Fleet.__new__() missing 2 required positional arguments: "
            "'reserve_pct' and 'declared_json'",
        ),
        (
            lambda f: Fleet(1, 2, "[]", 4),
            "Fleet.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda f: Fleet(1, 2, "[]", total_bytes=1),
            "Fleet.__new__() got multiple values for argument 'total_bytes'",
        ),
        (lambda f: f.report(1, 2), "Fleet.report() takes 1 positional arguments but 2 were given"),
        (
            lambda f: f.route("m", 0, 1),
            "Fleet.route() takes 2 positional arguments but 3 were given",
        ),
        (lambda f: f.report(), "Fleet.report() missing 1 required positional argument: 'now'"),
        (
            lambda f: f.observe("m"),
            "Fleet.observe() missing 3 required positional arguments: "
            "'kind', 'detail_json', and 'now'",
        ),
        (
            lambda f: f.set_endpoint(model="m", url="x"),
            "Fleet.set_endpoint() got an unexpected keyword argument 'url'",
        ),
        (
            lambda f: f.route(5, 0),
            "argument 'model': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda f: f.route(b"m", 0),
            "argument 'model': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda f: f.observe("m", "stop", None, 0),
            "argument 'detail_json': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda f: f.set_endpoint("a", None),
            "argument 'endpoint': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda f: f.report(1.5),
            "argument 'now': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda f: Fleet("x", 2, "[]"),
            "argument 'total_bytes': 'str' object cannot be interpreted as an integer",
        ),
    ],
)
def test_argument_type_errors(fleet, call, message):
    with pytest.raises(TypeError) as caught:
        call(fleet)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("name", ["next_to_load", "committed_bytes", "free_bytes"])
def test_methods_without_parameters_refuse_arguments(fleet, name):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(fleet, name)(1)


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.report(-1),
        lambda f: f.report(2**64),
        lambda f: f.route("a", -1),
        lambda f: f.observe("a", "stop", "{}", 2**64),
        lambda f: Fleet(CARD, 256, "[]"),
        lambda f: Fleet(-1, 10, "[]"),
    ],
)
def test_overflow_errors_are_not_prefixed(fleet, call):
    with pytest.raises(OverflowError) as caught:
        call(fleet)
    assert not str(caught.value).startswith("argument")


def test_integers_accepted(fleet):
    assert fleet.report(2**64 - 1) == fleet.report(True) == fleet.report(Index(5))
    assert fleet.route("a", Index(3)) == fleet.route("a", 3)


def test_reserve_255_is_100():
    assert Fleet(CARD, 255, ROSTER).report(0) == Fleet(CARD, 100, ROSTER).report(0)


def test_failed_calls_give_access_back_and_change_nothing(fleet):
    fleet.observe("a", "load_started", "{}", 1000)
    before = fleet.route("a", 2000)
    with pytest.raises(ValueError, match="unknown observation kind"):
        fleet.observe("a", "probe_okay", "{}", 1500)
    with pytest.raises(ValueError, match="bad json"):
        fleet.observe("a", "stop", "{", 1500)
    with pytest.raises(OverflowError):
        fleet.observe("a", "stop", "{}", -1)
    with pytest.raises(TypeError):
        fleet.set_endpoint("a", 5)
    assert fleet.route("a", 2000) == before
    # Exclusive access is only possible when every earlier call gave its access back.
    fleet.set_endpoint("a", "http://x")
    fleet.observe("a", "probe_ok", "{}", 2000)
    assert json.loads(fleet.route("a", 2000))["route"] == "ready"


def test_route_inside_observe_is_refused(fleet):
    now = Reenter(lambda: fleet.route("a", 0), value=1000)
    assert fleet.observe("a", "load_started", "{}", now) is None
    assert now.seen == [("RuntimeError", "Already mutably borrowed")]
    # The outer call went through and the instance is free again.
    assert json.loads(fleet.route("a", 4500))["for_ms"] == 3500


@pytest.mark.parametrize(
    "inner",
    [
        lambda f: f.observe("a", "stop", "{}", 0),
        lambda f: f.set_endpoint("a", "x"),
    ],
)
def test_changes_inside_route_are_refused(fleet, inner):
    now = Reenter(lambda: inner(fleet))
    result = fleet.route("a", now)
    assert now.seen == [("RuntimeError", "Already borrowed")]
    assert json.loads(result)["route"] == "unknown"
    inner(fleet)  # free again


def test_changes_inside_observe_are_refused(fleet):
    now = Reenter(lambda: fleet.observe("a", "stop", "{}", 0))
    fleet.observe("a", "load_started", "{}", now)
    assert now.seen == [("RuntimeError", "Already borrowed")]


def test_reads_inside_reads_are_allowed(fleet):
    now = Reenter(lambda: fleet.report(Reenter(lambda: fleet.free_bytes())))
    fleet.route("a", now)
    assert now.seen == [("returned", fleet.report(7))]


def test_access_is_taken_after_matching_and_before_conversion(fleet):
    # A call that does not match fails on its arguments; one that matches is refused access
    # before its arguments are looked at.
    now = Reenter(lambda: fleet.route("a"))
    fleet.observe("a", "stop", "{}", now)
    assert now.seen == [
        ("TypeError", "Fleet.route() missing 1 required positional argument: 'now'")
    ]
    now = Reenter(lambda: fleet.route(5, 0))
    fleet.observe("a", "stop", "{}", now)
    assert now.seen == [("RuntimeError", "Already mutably borrowed")]


def test_access_is_counted_per_instance(fleet):
    other = Fleet(CARD, 10, ROSTER)
    now = Reenter(lambda: other.observe("a", "load_started", "{}", 5))
    fleet.observe("a", "stop", "{}", now)
    assert now.seen == [("returned", None)]
    assert json.loads(other.route("a", 6))["route"] == "warming"


def test_create_and_drop_many(resident_memory):
    for _ in range(10_000):
        Fleet(CARD, 10, ROSTER)
    type_refs = sys.getrefcount(Fleet)
    memory = resident_memory.now()
    for i in range(100_000):
        fleet = Fleet(CARD, 10, ROSTER)
        fleet.observe("a", "load_failed", '{"detail": "out of memory"}', i)
        del fleet
    with pytest.raises(ValueError):
        Fleet(CARD, 10, "[")
    assert sys.getrefcount(Fleet) == type_refs
    assert resident_memory.now() - memory < resident_memory.slack
