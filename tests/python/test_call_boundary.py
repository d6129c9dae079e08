"""Argument matching, conversion and error mapping, seen through `plan`."""

import ctypes
import json
import sys

import _marlix
import pytest
from samples import Index

plan = _marlix.plan
CARD = 2**34


class Raises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text form")


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, 2), {}, "plan() missing 1 required positional argument: 'declared_json'"),
        (
            (1,),
            {},
            "plan() missing 2 required positional arguments: 'reserve_pct' and 'declared_json'",
        ),
        (
            (),
            {},
            "plan() missing 3 required positional arguments: "
            "'total_bytes', 'reserve_pct', and 'declared_json'",
        ),
        (
            (),
            {"reserve_pct": 1},
            "plan() missing 2 required positional arguments: 'total_bytes' and 'declared_json'",
        ),
        ((1, 2, "[]", 4), {}, "plan() takes 3 positional arguments but 4 were given"),
        (
            (1, 2, "[]", 4, 5),
            {"nope": 1},
            "plan() takes 3 positional arguments but 5 were given",
        ),
        (
            (1, 2, "[]"),
            {"total_bytes": 1},
            "plan() got multiple values for argument 'total_bytes'",
        ),
        ((1, 2, "[]"), {"extra": 1}, "plan() got an unexpected keyword argument 'extra'"),
        # The unknown keyword is reported before the missing arguments.
        ((1,), {"extra": 1}, "plan() got an unexpected keyword argument 'extra'"),
        # Keywords compare byte for byte: no case folding.
        (
            (1, 2),
            {"Declared_json": "[]"},
            "plan() got an unexpected keyword argument 'Declared_json'",
        ),
        (
            (1, 2),
            {"x\udc80y": "[]"},
            "plan() got an unexpected keyword argument 'x\ufffd\ufffd\ufffdy'",
        ),
        (
            (1, 2),
            {"\ud83d\ude00": "[]"},
            "plan() got an unexpected keyword argument '" + "\ufffd" * 6 + "'",
        ),
        ((1, 2), {"\U0001f600": "[]"}, "plan() got an unexpected keyword argument '\U0001f600'"),
        # A key that is not a str reaches matching too, shown by its text form.
        ((1, 2, "[]"), {1: 2}, "plan() got an unexpected keyword argument '1'"),
    ],
)
def test_argument_matching_messages(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        plan(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


def test_matching_comes_before_conversion():
    # A bad value is not looked at when the call does not match.
    with pytest.raises(TypeError, match="missing 1 required"):
        plan(Raises(ValueError("converted")), 2)


def test_unexpected_keyword_uses_the_key_text_form():
    class Key(str):
        def __str__(self):
            return "shown"

    with pytest.raises(TypeError) as caught:
        plan(1, 2, "[]", **{Key("hidden"): 1})
    assert str(caught.value) == "plan() got an unexpected keyword argument 'shown'"


def test_str_subclass_key_matches_by_its_bytes():
    class Key(str):
        pass

    assert plan(CARD, 10, **{Key("declared_json"): "[]"}) == plan(CARD, 10, "[]")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (
            ("x", 2, "[]"),
            "argument 'total_bytes': 'str' object cannot be interpreted as an integer",
        ),
        (
            (1.5, 2, "[]"),
            "argument 'total_bytes': 'float' object cannot be interpreted as an integer",
        ),
        (
            (1, None, "[]"),
            "argument 'reserve_pct': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            (1, 2, None),
            "argument 'declared_json': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            (1, 2, b"[]"),
            "argument 'declared_json': 'bytes' object cannot be converted to 'PyString'",
        ),
        ((1, 2, 3), "argument 'declared_json': 'int' object cannot be converted to 'PyString'"),
        # The first bad argument in parameter order is the one reported.
        (
            ("x", "y", None),
            "argument 'total_bytes': 'str' object cannot be interpreted as an integer",
        ),
    ],
)
def test_conversion_type_errors_name_the_argument(args, message):
    with pytest.raises(TypeError) as caught:
        plan(*args)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


def test_type_name_is_the_qualified_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as caught:
        plan(1, 2, Outer.Inner())
    assert str(caught.value) == (
        "argument 'declared_json': 'test_type_name_is_the_qualified_name.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyString'"
    )


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((-1, 2, "[]"), "can't convert negative int to unsigned"),
        ((2**64, 2, "[]"), "int too big to convert"),
        ((Index(-1), 2, "[]"), "can't convert negative int to unsigned"),
        ((CARD, 256, "[]"), "out of range integral type conversion attempted"),
        ((CARD, -1, "[]"), "out of range integral type conversion attempted"),
        ((CARD, Index(300), "[]"), "out of range integral type conversion attempted"),
        ((CARD, 2**70, "[]"), "Python int too large to convert to C long"),
    ],
)
def test_overflow_is_not_prefixed(args, message):
    with pytest.raises(OverflowError) as caught:
        plan(*args)
    assert type(caught.value) is OverflowError
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "args",
    [
        (2**64 - 1, 2, "[]"),
        (True, 2, "[]"),
        (Index(CARD), Index(10), "[]"),
        (CARD, 255, "[]"),
        (CARD, 0, "[]"),
        (CARD, False, "[]"),
    ],
)
def test_accepted_arguments(args):
    assert plan(*args).startswith('{"admitted":[]')


def test_subclasses_of_int_and_str_are_accepted():
    class Int(int):
        def __index__(self):
            raise AssertionError("an int subclass is read directly")

    class Str(str):
        pass

    assert plan(Int(CARD), Int(10), Str("[]")) == plan(CARD, 10, "[]")


def test_reserve_above_100_is_clamped_by_the_operation():
    assert plan(CARD, 255, "[]") == plan(CARD, 100, "[]")


def test_lone_surrogate_text_is_a_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        plan(CARD, 10, "[\ud800]")


def test_index_type_error_is_prefixed_and_keeps_its_cause():
    cause = KeyError("why")
    error = TypeError("bad index")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        plan(Raises(error), 2, "[]")
    assert caught.value is not error
    assert str(caught.value) == "argument 'total_bytes': bad index"
    assert caught.value.__cause__ is cause


def test_index_type_error_subclass_passes_unchanged():
    class Special(TypeError):
        pass

    error = Special("not wrapped")
    with pytest.raises(Special) as caught:
        plan(1, Raises(error), "[]")
    assert caught.value is error


def test_other_index_errors_pass_unchanged():
    error = ZeroDivisionError("from __index__")
    with pytest.raises(ZeroDivisionError) as caught:
        plan(Raises(error), 2, "[]")
    assert caught.value is error


def test_unprintable_type_error(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(TypeError) as caught:
        plan(Raises(TypeError(Unprintable())), 2, "[]")
    assert str(caught.value) == "argument 'total_bytes': <unprintable TypeError object>"
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError


def test_internal_failure(run_python):
    # Without a test hook the one way to reach an internal failure from Python is to make a
    # native allocation fail: the address-space limit leaves room for the slices a long text is
    # encoded in, but neither for a copy of the roster (where the text cannot be read in place)
    # nor for the entries its braces could open.
    result = run_python(
        """
        import resource
        import _marlix

        size = 256 * 1024 * 1024
        text = "[" + "{" * size
        with open("/proc/self/status") as status:
            in_use = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
        limit = in_use + size // 2
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        try:
            try:
                _marlix.Fleet(1, 0, text)
            except Exception:
                print("caught by except Exception")
        except BaseException as error:
            kind = type(error)
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print(kind.__module__, kind.__qualname__, kind.__name__)
            print([base.__name__ for base in kind.__mro__])
            print(error.args)
            print(repr(kind.__doc__))
            print(hasattr(_marlix, kind.__name__))
            # Raised again, it is the same type: created once per process.
            resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
            try:
                _marlix.Fleet(1, 0, text)
            except BaseException as again:
                print(type(again) is kind)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "marlix InternalError InternalError"
    assert lines[1] == "['InternalError', 'BaseException', 'object']"
    assert lines[2] == "('std::bad_alloc',)"
    assert "fails unrecoverably" in lines[3]
    assert "BaseException" in lines[3] and "SystemExit" in lines[3]
    assert lines[4:] == ["False", "True"]
    assert "_marlix: internal failure: std::bad_alloc" in result.stderr


@pytest.mark.parametrize("keywords", [[1], ("total_bytes", 1)])
def test_keywords_that_are_not_a_dict_raise_the_interpreters_error(keywords):
    # Only C code can pass such keywords; the interpreter's own complaint must come back as the
    # call's exception, not as a result with an exception left pending.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    fleet = _marlix.Fleet(CARD, 10, "[]")
    for callable_, args in [(plan, (CARD, 2, "[]")), (_marlix.Fleet, (CARD, 2, "[]"))]:
        with pytest.raises(SystemError, match="bad argument to internal function"):
            call(callable_, args, keywords)
    with pytest.raises(SystemError, match="bad argument to internal function"):
        call(fleet.report, (0,), keywords)
    assert fleet.route("m", 0).startswith('{"model":"m"')


def test_long_texts_arrive_whole():
    # Long texts are encoded in slices: characters of every width across the slice boundaries.
    name = ("é€😀a" * 40_000)[:150_001]
    roster = f'[{{"model": "{name}", "weightsBytes": 1}}]'
    assert len(roster) > 2 * 2**16
    assert json.loads(plan(CARD, 10, roster))["admitted"] == [name]


def test_long_text_with_a_lone_surrogate_names_its_place_in_the_whole():
    text = "[" + " " * 100_000 + "\udc80]"
    with pytest.raises(UnicodeEncodeError) as raised:
        plan(CARD, 10, text)
    assert raised.value.start == 100_001
    assert str(raised.value) == str(pytest.raises(UnicodeEncodeError, text.encode).value)


# Names on both sides of the length below which texts are encoded without the interpreter's
# encoder, in characters of every UTF-8 width.
SHORT_AND_LONGER = [
    ch * n + tail for ch in ("a", "é", "€", "😀") for n in (1, 63, 64, 65) for tail in ("", "z")
]


@pytest.mark.parametrize("name", SHORT_AND_LONGER + ["", "\x00", "\U0010ffff", "\ud7ff\ue000"])
def test_texts_of_every_width_arrive_exactly(name):
    roster = json.dumps([{"model": name or "m", "weightsBytes": 0}], ensure_ascii=False)
    assert json.loads(plan(CARD, 10, roster))["admitted"] == [name or "m"]
    fleet = _marlix.Fleet(CARD, 10, "[]")
    assert json.loads(fleet.route(name, 0))["model"] == name


@pytest.mark.parametrize("length", [1, 2, 63, 64, 65, 200])
@pytest.mark.parametrize("place", ["first", "middle", "last"])
def test_a_surrogate_is_reported_as_the_encoder_reports_it(length, place):
    at = {"first": 0, "middle": length // 2, "last": length - 1}[place]
    name = "é" * at + "\udc80" + "a" * (length - at - 1)
    expected = pytest.raises(UnicodeEncodeError, name.encode).value
    fleet = _marlix.Fleet(CARD, 10, "[]")
    with pytest.raises(UnicodeEncodeError) as raised:
        fleet.route(name, 0)
    assert str(raised.value) == str(expected)
    assert (raised.value.start, raised.value.end) == (expected.start, expected.end)
