import json
import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from marlix import plan
from serve_host import config, model, serving

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

GIB = 2**30
CARD = "24GiB"  # 21.6 GiB usable with the default 10 % reserve

# In roster order: a is admitted; b is rejected but would fit with a 1.6 GiB KV cache; c is
# admitted (snake_case key); d is rejected with no KV cache to give up; e is rejected, and its
# camelCase null hides the snake_case value, so it has no KV cache either.
ROSTER = [
    {"model": "a", "weightsBytes": 8 * GIB, "kvBytes": 2 * GIB},
    {"model": "b", "weightsBytes": 10 * GIB, "kvBytes": 6.0 * GIB},  # a float count
    {"model": "c", "weights_bytes": 4 * GIB, "kv_bytes": GIB},
    {"model": "d", "weightsBytes": 16 * GIB},
    {"model": "e", "weightsBytes": 12 * GIB, "kvBytes": None, "kv_bytes": 6 * GIB},
]
ROSTER_SUMMARY = (
    "2 of 5 admitted, 15.0 GiB committed of 21.6 GiB usable\n"
    "  REJECTED b — needs 16.0 GiB, 11.6 GiB free, short by 4.4 GiB\n"
    "  REJECTED d — needs 16.0 GiB, 6.6 GiB free, short by 9.4 GiB\n"
    "  REJECTED e — needs 12.0 GiB, 6.6 GiB free, short by 5.4 GiB\n"
    "  hint: b fits with a KV cache of 1.6 GiB (1717986926 bytes) instead of 6.0 GiB\n"
)
FITTING = [{"model": "a", "weightsBytes": 8 * GIB, "kvBytes": 2 * GIB}]


def marlix(*args, stdin="", env=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "marlix", *map(str, args)],
        input=stdin,
        capture_output=True,
        encoding="utf-8",
        env=env,
        cwd=cwd,
        timeout=120,
    )


def write(tmp_path, name, content):
    path = tmp_path / name
    path.write_text(content if isinstance(content, str) else json.dumps(content), "utf-8")
    return path


# --- plan -------------------------------------------------------------------------------


def test_plan_prints_the_summary_and_hints_and_exits_1_on_a_rejection(tmp_path):
    result = marlix("plan", write(tmp_path, "roster.json", ROSTER), "--card", CARD)
    assert (result.returncode, result.stdout, result.stderr) == (1, ROSTER_SUMMARY, "")


def test_plan_exits_0_when_the_roster_fits_and_reads_stdin():
    result = marlix(
        "plan", "-", "--card", "25769803776", "--reserve", "10", stdin=json.dumps(FITTING)
    )
    expected = "1 of 1 admitted, 10.0 GiB committed of 21.6 GiB usable\n"
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, "")


def test_plan_json_prints_the_module_document(tmp_path):
    roster = json.dumps(ROSTER)
    result = marlix("plan", write(tmp_path, "r.json", roster), "--card", CARD, "--json")
    assert result.returncode == 1
    assert result.stdout == plan(24 * GIB, 10, roster) + "\n"


def test_plan_reserve_is_passed_through():
    result = marlix("plan", "-", "--card", "24GiB", "--reserve", "50", stdin="[]")
    assert result.stdout == "0 of 0 admitted, 0.0 GiB committed of 12.0 GiB usable\n"


def test_no_hint_for_a_name_declared_twice():
    # The plan names the rejected "x" but not which of its two entries it was.
    roster = [
        {"model": "x", "weightsBytes": 12 * GIB},
        {"model": "x", "weightsBytes": 8 * GIB, "kvBytes": 4 * GIB},
        {"model": "y", "weightsBytes": 6 * GIB, "kvBytes": 4 * GIB},
    ]
    result = marlix("plan", "-", "--card", CARD, stdin=json.dumps(roster))
    assert result.returncode == 1
    assert result.stdout.splitlines()[1:] == [
        "  REJECTED x — needs 12.0 GiB, 9.6 GiB free, short by 2.4 GiB",
        "  REJECTED y — needs 10.0 GiB, 9.6 GiB free, short by 0.4 GiB",
        "  hint: y fits with a KV cache of 3.6 GiB (3865470574 bytes) instead of 4.0 GiB",
    ]


@pytest.mark.parametrize("command", [["plan"], ["replay", "events.jsonl"]])
@pytest.mark.parametrize("given", ["file", "stdin"])
@pytest.mark.parametrize(
    "roster",
    ['[{"weightsBytes": 1}]', "[", '{"model": "a"}', '[{"model": "a", "weightsBytes": -1}]'],
)
def test_the_module_error_comes_after_the_name_of_the_roster_and_exits_2(
    roster, given, command, tmp_path
):
    with pytest.raises(ValueError) as caught:
        plan(24 * GIB, 10, roster)
    write(tmp_path, "roster.json", roster)
    write(tmp_path, "events.jsonl", "")
    name, stdin = ("roster.json", "") if given == "file" else ("-", roster)
    source = "roster.json" if given == "file" else "<stdin>"
    verb, *events = command
    result = marlix(verb, name, *events, "--card", CARD, stdin=stdin, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"marlix: {source}: {caught.value}\n"


def test_a_roster_that_is_not_json_is_named_with_the_reason(tmp_path):
    write(tmp_path, "roster.json", "[\n")
    result = marlix("plan", "roster.json", "--card", CARD, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (
        2,
        "",
        "marlix: roster.json: bad json: EOF while parsing a list at line 2 column 0\n",
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.json", "--card", CARD], "marlix: missing.json: No such file or directory\n"),
        (["-", "--card", "24X"], "marlix: --card: invalid size '24X': unknown unit 'X'; "),
        (["-", "--card", "-1"], "marlix: --card: invalid size '-1': expected a byte count"),
    ],
)
def test_plan_bad_input_exits_2(args, message, tmp_path):
    result = marlix("plan", *args, stdin="[]", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(message)


@pytest.mark.parametrize(
    "args, message",
    [
        (["-"], "marlix: the following arguments are required: --card\n"),
        (
            ["-", "--card", CARD, "--reserve", "101"],
            "marlix: argument --reserve: expected a whole percentage from 0 to 100, not '101'\n",
        ),
        ([], "marlix: the following arguments are required: ROSTER, --card\n"),
        (["roster.json"], "marlix: the following arguments are required: --card\n"),
    ],
)
def test_usage_errors_exit_2_after_the_usage_line(args, message, tmp_path):
    write(tmp_path, "roster.json", "[]")
    result = marlix("plan", *args, stdin="[]", cwd=tmp_path)
    assert result.returncode == 2
    usage, error = result.stderr.splitlines(keepends=True)
    assert usage.startswith("usage: marlix plan ")
    assert error == message


def test_plan_refuses_a_roster_that_is_not_utf8(tmp_path):
    path = tmp_path / "latin1.json"
    path.write_bytes(b'[{"model": "caf\xe9", "weightsBytes": 1}]')
    result = marlix("plan", path, "--card", CARD)
    assert (result.returncode, result.stderr) == (2, f"marlix: {path}: not UTF-8 text (byte 15)\n")


# --- sizes that were meant otherwise -----------------------------------------------------


@pytest.mark.parametrize("command", [["plan", "-"], ["replay", "-", "events.jsonl"]])
@pytest.mark.parametrize(
    "cards, message",
    [
        (["--card", "24"], "--card: 24 bytes is not a card: did you mean 24GiB?"),
        (["--card", "1"], "--card: 1 byte is not a card: did you mean 1GiB?"),
        (["--card", "1.5"], "--card: 1.5 bytes is not a card: did you mean 1.5GiB?"),
        (["--card", "1048575"], "--card: 1048575 bytes is not a card: did you mean 1048575GiB?"),
        (["--cards", "2x24"], "--cards: 24 bytes is not a card: did you mean 2x24GiB?"),
        (["--card", "24G"], "--card: 24G is not a size: did you mean 24GiB or 24GB?"),
        (["--card", "24g"], "--card: 24g is not a size: did you mean 24GiB or 24GB?"),
        (["--card", "24gib"], "--card: 24gib is not a size: did you mean 24GiB or 24GB?"),
        (["--card", "24Gb"], "--card: 24Gb is not a size: did you mean 24GiB or 24GB?"),
        (["--cards", "2x24G"], "--cards: 24G is not a size: did you mean 2x24GiB or 2x24GB?"),
        (
            ["--card", CARD, "--card", "80"],
            "--card: 80 bytes is not a card: did you mean 80GiB?",
        ),
    ],
)
def test_a_card_size_without_its_unit_is_refused_with_what_was_meant(
    cards, message, command, tmp_path
):
    write(tmp_path, "events.jsonl", "")
    result = marlix(*command, *cards, stdin=json.dumps(FITTING), cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"marlix: {message}\n")


@pytest.mark.parametrize(
    "card, usable",
    [("1048576", "0.0 GiB"), ("25769803776", "21.6 GiB"), ("24GiB", "21.6 GiB")],
)
def test_a_card_of_a_mebibyte_or_more_may_be_given_in_bytes(card, usable):
    result = marlix("plan", "-", "--card", card, stdin="[]")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"0 of 0 admitted, 0.0 GiB committed of {usable} usable\n"


# --- several cards ----------------------------------------------------------------------

# ROSTER on a 24 GiB card and then a 16 GiB one (14.4 GiB usable): the second card takes e of
# the three the first rejects; b and d fit neither, and b would fit the last with less KV cache.
TWO_CARDS = (
    "card 0 (24.0 GiB):\n"
    "  2 of 5 admitted, 15.0 GiB committed of 21.6 GiB usable\n"
    "    REJECTED b — needs 16.0 GiB, 11.6 GiB free, short by 4.4 GiB\n"
    "    REJECTED d — needs 16.0 GiB, 6.6 GiB free, short by 9.4 GiB\n"
    "    REJECTED e — needs 12.0 GiB, 6.6 GiB free, short by 5.4 GiB\n"
    "card 1 (16.0 GiB):\n"
    "  1 of 3 admitted, 12.0 GiB committed of 14.4 GiB usable\n"
    "    REJECTED b — needs 16.0 GiB, 14.4 GiB free, short by 1.6 GiB\n"
    "    REJECTED d — needs 16.0 GiB, 14.4 GiB free, short by 1.6 GiB\n"
    "3 of 5 placed on 2 cards\n"
    "  UNPLACED b — needs 16.0 GiB, short by 1.6 GiB on card 1\n"
    "  UNPLACED d — needs 16.0 GiB, short by 1.6 GiB on card 1\n"
    "  hint: b fits with a KV cache of 4.4 GiB (4724464034 bytes) instead of 6.0 GiB\n"
)


def test_plan_on_several_cards_prints_each_card_then_the_unplaced_models():
    result = marlix("plan", "-", "--card", CARD, "--card", "16GiB", stdin=json.dumps(ROSTER))
    assert (result.returncode, result.stdout, result.stderr) == (1, TWO_CARDS, "")


def test_plan_json_on_several_cards_holds_each_cards_document_as_the_module_wrote_it():
    result = marlix(
        "plan", "-", "--card", CARD, "--card", "16GiB", "--json", stdin=json.dumps(ROSTER)
    )
    left_to_card_1 = json.dumps([ROSTER[1], ROSTER[3], ROSTER[4]])
    unplaced = [
        {"model": "b", "needed_bytes": 16 * GIB, "short_bytes": 1717986910},
        {"model": "d", "needed_bytes": 16 * GIB, "short_bytes": 1717986910},
    ]
    assert result.returncode == 1
    cards = [plan(24 * GIB, 10, json.dumps(ROSTER)), plan(16 * GIB, 10, left_to_card_1)]
    compact = json.dumps(unplaced, separators=(",", ":"))
    assert result.stdout == f'{{"cards":[{",".join(cards)}],"unplaced":{compact}}}\n'


def test_a_line_break_other_than_newline_in_a_name_stays_in_its_line():
    roster = json.dumps([{"model": "a\u2028b", "weightsBytes": 2 * GIB}])
    result = marlix("plan", "-", "--cards", "2x1GiB", stdin=roster)
    assert result.stdout.split("\n")[2] == (
        "    REJECTED a\u2028b — needs 2.0 GiB, 0.0 GiB free, short by 2.0 GiB"
    )


def test_plan_exits_0_when_every_model_is_placed():
    roster = json.dumps([{"model": "é", "weightsBytes": 20 * GIB}, *FITTING])
    text = marlix("plan", "-", "--cards", "2x24GiB", stdin=roster)
    document = marlix("plan", "-", "--cards", "2x24GiB", "--json", stdin=roster)
    assert (text.returncode, document.returncode) == (0, 0)
    assert text.stdout.endswith("\n2 of 2 placed on 2 cards\n")
    assert [card["admitted"] for card in json.loads(document.stdout)["cards"]] == [["é"], ["a"]]
    assert json.loads(document.stdout)["unplaced"] == []


@pytest.mark.parametrize("output", [[], ["--json"]])
@pytest.mark.parametrize(
    "cards, same_as",
    [
        (["--cards", "2x24GiB"], ["--card", CARD, "--card", CARD]),
        (
            ["--card", "8GiB", "--cards", "2x16GiB"],
            ["--card", "8GiB", "--card", "16GiB", "--card", "16GiB"],
        ),
        (["--cards", "1x24GiB"], ["--card", CARD]),
    ],
)
def test_cards_n_x_size_is_n_cards_in_the_order_given(cards, same_as, output):
    roster = json.dumps(ROSTER)
    result, expected = (
        marlix("plan", "-", *args, *output, stdin=roster) for args in (cards, same_as)
    )
    assert (result.returncode, result.stdout, result.stderr) == (
        expected.returncode,
        expected.stdout,
        "",
    )


def test_the_order_of_the_cards_decides_the_placement():
    roster = json.dumps(ROSTER)
    small_first = marlix("plan", "-", "--card", "8GiB", "--card", CARD, "--json", stdin=roster)
    large_first = marlix("plan", "-", "--card", CARD, "--card", "8GiB", "--json", stdin=roster)
    assert json.loads(small_first.stdout)["unplaced"] != json.loads(large_first.stdout)["unplaced"]


@pytest.mark.parametrize(
    "cards, message",
    [
        ("2", "--cards: invalid cards '2': expected a count and a size such as 2x24GiB"),
        ("twox24GiB", "--cards: invalid cards 'twox24GiB': expected a count and a size such as"),
        ("0x24GiB", "--cards: invalid cards '0x24GiB': the count must be from 1 to 4096"),
        (
            "99999999999x1GiB",
            "--cards: invalid cards '99999999999x1GiB': the count must be from 1 to 4096",
        ),
        ("2x24X", "--cards: invalid size '24X': unknown unit 'X'; "),
        ("2xauto", "--cards: invalid size 'auto': expected a byte count"),
    ],
)
def test_bad_cards_exit_2(cards, message):
    result = marlix("plan", "-", "--card", CARD, "--cards", cards, stdin="[]")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"marlix: {message}")


def test_cards_alone_stand_for_card():
    result = marlix("plan", "-", "--cards", "3x1GiB", stdin="[]")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.count("0 of 0 admitted, 0.0 GiB committed of 0.0 GiB usable\n") == 3


# --- --card auto ------------------------------------------------------------------------

# Stand-ins for pynvml. Each fails at a later step than the one before it; an NVML that comes up
# starts from WORKING_NVML and says how many GPUs there are and what each does.
WORKING_NVML = """
    import types
    class NVMLError(Exception):
        pass
    def nvmlInit():
        pass
    def nvmlShutdown():
        pass
"""
FAKE_NVML = {
    "absent": "raise ImportError('no module named pynvml')",
    "no driver": """
        class NVMLError(Exception):
            pass
        def nvmlInit():
            raise NVMLError('Driver Not Loaded')
    """,
    "uncountable": WORKING_NVML
    + """
    def nvmlDeviceGetCount():
        raise NVMLError('Unknown Error')
    """,
    "no gpu": WORKING_NVML
    + """
    def nvmlDeviceGetCount():
        return 0
    def nvmlDeviceGetHandleByIndex(index):
        raise NVMLError('Invalid Argument')
    """,
    "unreadable gpu 1": WORKING_NVML
    + """
    def nvmlDeviceGetCount():
        return 2
    def nvmlDeviceGetHandleByIndex(index):
        if index == 1:
            raise NVMLError('GPU is lost')
        return index
    def nvmlDeviceGetMemoryInfo(handle):
        return types.SimpleNamespace(total=24 * 2**30, free=0, used=0)
    """,
    "24 GiB gpu": WORKING_NVML
    + """
    def nvmlDeviceGetCount():
        return 1
    def nvmlDeviceGetHandleByIndex(index):
        return index
    def nvmlDeviceGetMemoryInfo(handle):
        assert handle == 0
        return types.SimpleNamespace(total=24 * 2**30, free=0, used=0)
    """,
    # Handles are not indexes in the real NVML: the sizes must be asked by handle.
    "two gpus": WORKING_NVML
    + """
    def nvmlDeviceGetCount():
        return 2
    def nvmlDeviceGetHandleByIndex(index):
        return ('handle', index)
    def nvmlDeviceGetMemoryInfo(handle):
        return types.SimpleNamespace(total={('handle', 0): 24, ('handle', 1): 48}[handle] * 2**30)
    """,
}


def with_fake_nvml(tmp_path, kind):
    # A pynvml module of our own, ahead of any installed one on the path.
    (tmp_path / "pynvml.py").write_text(textwrap.dedent(FAKE_NVML[kind]), "utf-8")
    path = [str(tmp_path), *filter(None, [os.environ.get("PYTHONPATH")])]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path)}


@pytest.mark.parametrize(
    "kind, message",
    [
        ("absent", "--card auto needs NVML; install it with: pip install 'marlix[nvml]'"),
        ("no driver", "--card auto: NVML is not available: Driver Not Loaded"),
        ("uncountable", "--card auto: cannot count the GPUs: Unknown Error"),
        ("no gpu", "--card auto: NVML sees no GPU"),
        ("unreadable gpu 1", "--card auto: cannot read the memory of GPU 1: GPU is lost"),
    ],
)
def test_card_auto_without_a_gpu_exits_2(tmp_path, kind, message):
    result = marlix("plan", "-", "--card", "auto", stdin="[]", env=with_fake_nvml(tmp_path, kind))
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"marlix: {message}\n")


def test_card_auto_reads_the_size_of_gpu_0(tmp_path):
    env = with_fake_nvml(tmp_path, "24 GiB gpu")
    result = marlix("plan", "-", "--card", "auto", stdin="[]", env=env)
    assert result.stdout == "0 of 0 admitted, 0.0 GiB committed of 21.6 GiB usable\n"


def test_card_auto_is_every_gpu_in_nvml_order_among_the_cards_given(tmp_path):
    env = with_fake_nvml(tmp_path, "two gpus")
    result = marlix("plan", "-", "--card", "8GiB", "--card", "auto", stdin="[]", env=env)
    headings = [line for line in result.stdout.splitlines() if line.startswith("card ")]
    assert (result.returncode, result.stderr) == (0, "")
    assert headings == ["card 0 (8.0 GiB):", "card 1 (24.0 GiB):", "card 2 (48.0 GiB):"]


@pytest.mark.parametrize(
    "kind, expected",
    [
        ("two gpus", str(24 * GIB)),
        ("no gpu", "x: cannot read the memory of GPU 0: Invalid Argument"),
    ],
)
def test_gpu0_total_bytes_reads_gpu_0_alone(tmp_path, kind, expected):
    code = (
        "from marlix.errors import InputError\n"
        "from marlix.nvml import gpu0_total_bytes\n"
        "try:\n    print(gpu0_total_bytes('x'))\n"
        "except InputError as error:\n    print(error)\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=with_fake_nvml(tmp_path, kind),
        timeout=60,
    )
    assert (result.stdout, result.stderr) == (expected + "\n", "")


# --- replay -----------------------------------------------------------------------------

REPLAY_ROSTER = [
    {"model": "chat", "weightsBytes": 8 * GIB, "kvBytes": 2 * GIB},
    {"model": "coder", "weightsBytes": 4 * GIB},
    {"model": "huge", "weightsBytes": 30 * GIB},
]
EVENTS = (
    '{"model": "chat", "kind": "load_started", "now": 1000}\n'
    '{"model": "chat", "kind": "probe_ok", "detail": {"vramBytes": 10737418240}, "now": 31000}\n'
    "\n"
    '{"model": "chat", "endpoint": "http://127.0.0.1:8001"}\n'
    '{"model": "coder", "kind": "load_started", "now": 40000}\n'
    '{"model": "coder", "kind": "load_failed", "detail": {"detail": "no weights"}, "now": 42500}\n'
)
REPORT_AT_42500 = (
    "10.0 / 21.6 GiB held  (3 declared, 2 admitted)\n"
    "  chat                         resident for 11s\n"
    "  coder                        failed to load: no weights\n"
    "  huge                         not admitted — short by 22.4 GiB\n"
)


def test_replay_prints_the_report_at_the_last_event_and_the_routes(tmp_path):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    events = write(tmp_path, "events.jsonl", EVENTS)
    result = marlix("replay", roster, events, "--card", CARD, "--route", "chat", "coder")
    routes = [json.loads(line) for line in result.stdout.splitlines()[4:]]
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith(REPORT_AT_42500)
    assert [route["route"] for route in routes] == ["ready", "failed"]
    assert routes[0]["endpoint"] == "http://127.0.0.1:8001"
    assert routes[1]["reason"] == "no weights"


def test_replay_at_a_given_time_reads_events_from_stdin(tmp_path):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    events = EVENTS.splitlines(keepends=True)[0]
    result = marlix(
        "replay", roster, "-", "--card", CARD, "--at", "4500", "--route", "chat",
        "--route", "nobody", stdin=events,
    )  # fmt: skip
    lines = result.stdout.splitlines()
    assert result.returncode == 0
    assert lines[1] == "  chat                         loading for 3s"
    assert json.loads(lines[4]) == {
        "for_ms": 3500, "model": "chat", "operator_fault": False, "ready": False,
        "route": "warming", "try_elsewhere": False,
    }  # fmt: skip
    assert json.loads(lines[5])["route"] == "not_declared"


def test_replay_without_events_reports_at_time_0(tmp_path):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    result = marlix("replay", roster, "-", "--card", CARD, stdin="\n\n")
    assert result.stdout.splitlines()[1] == "  chat                         never probed"


@pytest.mark.parametrize(
    "line, reason",
    [
        ("not json", "not JSON: Expecting value: line 1 column 1 (char 0)"),
        ('{"model": "chat", "kind": "stop", "now": NaN}', "not JSON: NaN is not a JSON value"),
        ("[1, 2]", "expected a JSON object"),
        ('{"kind": "stop", "now": 1}', 'missing "model"'),
        ('{"model": "chat", "now": 1}', 'missing "kind" (or "endpoint" on an endpoint line)'),
        ('{"model": "chat", "kind": "stop"}', 'missing "now"'),
        ('{"model": 7, "kind": "stop", "now": 1}', '"model" must be a string'),
        ('{"model": "chat", "endpoint": null}', '"endpoint" must be a string'),
        (
            '{"model": "chat", "kind": "stop", "endpoint": "e"}',
            'a line has either "kind" or "endpoint", not both',
        ),
        ('{"model": "chat", "kind": "stop", "now": true}', '"now" must be a whole number'),
        ('{"model": "chat", "kind": "stop", "now": -1}', '"now" must be a whole number'),
        ('{"model": "chat", "kind": "stop", "now": 1.5}', '"now" must be a whole number'),
        ('{"model": "chat", "endpoint": "e", "now": "1"}', '"now" must be a whole number'),
        ('{"model": "chat", "kind": "stop", "detail": "{}", "now": 1}', '"detail" must be a'),
    ],
)
def test_replay_stops_at_a_bad_line_with_its_number(tmp_path, line, reason):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    events = write(tmp_path, "events.jsonl", EVENTS + "\n" + line + "\n")
    result = marlix("replay", roster, events, "--card", CARD)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"marlix: {events}:8: {reason}")
    assert result.stderr.count("\n") == 1


# REPLAY_ROSTER on an 8 GiB card, then a 24 GiB one: coder goes on card 0, chat on card 1, and
# huge fits neither. The stop without a "card" goes to card 0, which does not hold chat.
CARD_EVENTS = (
    '{"model": "chat", "kind": "load_started", "now": 1000, "card": 1}\n'
    '{"model": "chat", "kind": "probe_ok", "detail": {"vramBytes": 10737418240}, "now": 31000, '
    '"card": 1}\n'
    '{"model": "chat", "endpoint": "http://127.0.0.1:8001", "card": 1}\n'
    '{"model": "chat", "kind": "stop", "now": 32000}\n'
    '{"model": "coder", "kind": "load_started", "now": 40000, "card": 0}\n'
    '{"model": "coder", "kind": "load_failed", "detail": {"detail": "no weights"}, "now": 42500}\n'
)


def test_replay_on_several_cards_feeds_each_card_its_events(tmp_path):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    events = write(tmp_path, "events.jsonl", CARD_EVENTS)
    result = marlix(
        "replay", roster, events, "--card", "8GiB", "--card", CARD,
        "--route", "chat", "coder", "huge", "nobody",
    )  # fmt: skip
    lines = result.stdout.splitlines()
    assert (result.returncode, result.stderr) == (0, "")
    assert lines[:7] == [
        "card 0 (8.0 GiB):",
        "  0.0 / 7.0 GiB held  (1 declared, 1 admitted)",
        "    coder                        failed to load: no weights",
        "card 1 (24.0 GiB):",
        "  10.0 / 21.6 GiB held  (2 declared, 1 admitted)",
        "    chat                         resident for 11s",
        "    huge                         not admitted — short by 18.4 GiB",
    ]
    routes = [json.loads(line) for line in lines[7:]]
    assert [route["route"] for route in routes] == [
        "ready",
        "failed",
        "not_admitted",
        "not_declared",
    ]
    assert routes[0]["endpoint"] == "http://127.0.0.1:8001"
    # A model no card admits is answered by the last card, with its shortfall there.
    assert routes[2]["short_bytes"] == 30 * GIB - (23192823406 - 10 * GIB)


def test_replay_on_one_card_takes_card_0_and_prints_as_before(tmp_path):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    tagged = "".join(
        line[:-2] + ', "card": 0}\n' for line in EVENTS.splitlines(keepends=True) if line.strip()
    )
    events = write(tmp_path, "events.jsonl", tagged)
    result = marlix("replay", roster, events, "--cards", "1x24GiB")
    assert (result.returncode, result.stdout, result.stderr) == (0, REPORT_AT_42500, "")


@pytest.mark.parametrize(
    "cards, card, reason",
    [
        (["--cards", "2x24GiB"], "2", '"card" must be a card index from 0 to 1'),
        (["--cards", "2x24GiB"], "-1", '"card" must be a card index from 0 to 1'),
        (["--cards", "2x24GiB"], "true", '"card" must be a card index from 0 to 1'),
        (["--cards", "2x24GiB"], '"1"', '"card" must be a card index from 0 to 1'),
        (["--cards", "2x24GiB"], "1.0", '"card" must be a card index from 0 to 1'),
        (["--cards", "2x24GiB"], "null", '"card" must be a card index from 0 to 1'),
        (["--card", CARD], "1", '"card" must be 0: there is one card'),
    ],
)
def test_replay_stops_at_a_line_for_no_card(tmp_path, cards, card, reason):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    line = f'{{"model": "chat", "endpoint": "http://127.0.0.1:8001", "card": {card}}}\n'
    result = marlix("replay", roster, "-", *cards, stdin=EVENTS + line)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"marlix: <stdin>:7: {reason}\n"


def test_replay_refuses_stdin_for_both_inputs():
    result = marlix("replay", "-", "-", "--card", CARD, stdin="[]")
    assert (result.returncode, result.stderr) == (
        2,
        "marlix: ROSTER and EVENTS cannot both be read from stdin\n",
    )


def test_replay_reports_the_module_text_for_an_unknown_kind(tmp_path):
    roster = write(tmp_path, "roster.json", REPLAY_ROSTER)
    line = '{"model": "chat", "kind": "Probe_OK", "now": 1}\n'
    result = marlix("replay", roster, "-", "--card", CARD, stdin=line)
    assert result.returncode == 2
    assert result.stderr == (
        'marlix: <stdin>:1: unknown observation kind "Probe_OK" — expected one of: '
        "load_started, probe_ok, probe_failed, process_exited, load_failed, stop\n"
    )


def test_replay_reports_a_bad_roster_with_the_module_text(tmp_path):
    events = write(tmp_path, "events.jsonl", "")
    result = marlix("replay", "-", events, "--card", CARD, stdin="{}")
    assert result.stderr == (
        "marlix: <stdin>: could not read the roster: expected an array of declared models\n"
    )


# --- a serve configuration as the roster -----------------------------------------------

# REPLAY_ROSTER as a host declares it, on a 24 GiB card with 20 % held back. Its programs need
# not exist where it is planned.
LAB = """
[card]
size = "24GiB"
reserve_pct = 20

[[models]]
name = "chat"
weights_bytes = "8GiB"
kv_bytes = 2147483648
command = ["no-such-server", "--port", "{port}"]

[[models]]
name = "coder"
weights_bytes = "4GiB"
command = ["no-such-server", "--port", "{port}"]

[[models]]
name = "huge"
weights_bytes = "30GiB"
command = ["no-such-server", "--port", "{port}"]
"""


@pytest.mark.parametrize("output", [[], ["--json"]])
@pytest.mark.parametrize(
    "options, same_as",
    [
        ([], ["--card", CARD, "--reserve", "20"]),
        (["--reserve", "5"], ["--card", CARD, "--reserve", "5"]),
        (["--card", "16GiB"], ["--card", "16GiB", "--reserve", "20"]),
        (["--cards", "2x16GiB", "--reserve", "0"], ["--cards", "2x16GiB", "--reserve", "0"]),
    ],
)
def test_plan_of_a_serve_configuration_is_the_plan_of_its_roster_on_its_card(
    options, same_as, output, tmp_path
):
    write(tmp_path, "lab.toml", LAB)
    write(tmp_path, "roster.json", REPLAY_ROSTER)
    result = marlix("plan", "lab.toml", *options, *output, cwd=tmp_path)
    expected = marlix("plan", "roster.json", *same_as, *output, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (1, expected.stdout, "")


def test_plan_of_a_serve_configuration_takes_each_of_its_cards(tmp_path):
    write(tmp_path, "lab.toml", LAB.replace('size = "24GiB"', 'size = ["8GiB", 25769803776]'))
    result = marlix("plan", "lab.toml", cwd=tmp_path)
    headings = [line for line in result.stdout.splitlines() if line.startswith("card ")]
    assert (result.returncode, result.stderr) == (1, "")
    assert headings == ["card 0 (8.0 GiB):", "card 1 (24.0 GiB):"]


def test_a_serve_configuration_on_every_gpu_asks_nvml(tmp_path):
    write(tmp_path, "lab.toml", LAB.replace('size = "24GiB"', 'size = "auto"'))
    env = with_fake_nvml(tmp_path, "two gpus")
    result = marlix("plan", "lab.toml", env=env, cwd=tmp_path)
    headings = [line for line in result.stdout.splitlines() if line.startswith("card ")]
    assert (result.returncode, result.stderr) == (0, "")
    assert headings == ["card 0 (24.0 GiB):", "card 1 (48.0 GiB):"]


def test_replay_of_a_serve_configuration_is_the_replay_of_its_roster_on_its_card(tmp_path):
    write(tmp_path, "lab.toml", LAB)
    write(tmp_path, "roster.json", REPLAY_ROSTER)
    write(tmp_path, "events.jsonl", EVENTS)
    result = marlix("replay", "lab.toml", "events.jsonl", "--route", "chat", cwd=tmp_path)
    expected = marlix(
        "replay", "roster.json", "events.jsonl", "--card", CARD, "--reserve", "20",
        "--route", "chat", cwd=tmp_path,
    )  # fmt: skip
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == expected.stdout
    assert result.stdout.startswith("10.0 / 19.2 GiB held  (3 declared, 2 admitted)\n")


@pytest.mark.parametrize("command", [["plan"], ["replay", "-"]])
@pytest.mark.parametrize(
    "change, message",
    [
        (
            ("[card]", "[card"),
            "lab.toml: not valid TOML: Expected ']' at the end of a table declaration"
            " (at line 2, column 6)",
        ),
        (
            ('"8GiB"', '"8"'),
            "lab.toml: models[0].weights_bytes: 8 bytes is not a model: did you mean 8GiB?",
        ),
        (
            ("2147483648", '"512"'),
            "lab.toml: models[0].kv_bytes: 512 bytes is not a KV cache: did you mean 512GiB?",
        ),
        (
            ('"4GiB"', '"4gb"'),
            "lab.toml: models[1].weights_bytes: 4gb is not a size: did you mean 4GiB or 4GB?",
        ),
        (
            ('size = "24GiB"', 'size = "24"'),
            "lab.toml: card.size: 24 bytes is not a card: did you mean 24GiB?",
        ),
        (
            ('size = "24GiB"', "size = 24"),
            "lab.toml: card.size: 24 bytes is not a card: did you mean 24GiB?",
        ),
        (
            ('size = "24GiB"', 'size = ["24GiB", "24G"]'),
            "lab.toml: card.size[1]: 24G is not a size: did you mean 24GiB or 24GB?",
        ),
        (
            ('size = "24GiB"', 'size = "auto"'),
            'lab.toml: card.size = "auto" needs NVML;'
            " install it with: pip install 'marlix[nvml]'",
        ),
    ],
)
def test_a_bad_serve_configuration_is_named_with_its_place_and_exits_2(
    change, message, command, tmp_path
):
    write(tmp_path, "lab.toml", LAB.replace(*change))
    verb, *events = command
    env = with_fake_nvml(tmp_path, "absent")
    result = marlix(verb, "lab.toml", *events, cwd=tmp_path, env=env)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"marlix: {message}\n")


def test_a_serve_configuration_declares_exact_byte_counts_as_numbers(tmp_path):
    # A number in the file is a byte count as written: stand-ins declare a byte or two.
    write(tmp_path, "lab.toml", LAB.replace('"8GiB"', "1").replace('"4GiB"', "0"))
    result = marlix("plan", "lab.toml", "--json", cwd=tmp_path)
    assert json.loads(result.stdout)["committed_bytes"] == 1 + 2 * GIB


# --- examples/serve.toml and the host's words -------------------------------------------


def test_the_example_serve_configuration_loads_as_it_stands():
    serve_config = pytest.importorskip("marlix.serve.config")
    loaded = serve_config.load_config(str(EXAMPLES / "serve.toml"))
    assert (loaded.server.host, loaded.server.port) == ("127.0.0.1", 8080)
    assert [m.name for m in loaded.models] == ["chat-8b", "coder-7b"]
    assert all(m.command[:3] == ("python3", "-m", "marlix.standin") for m in loaded.models)
    result = marlix("plan", EXAMPLES / "serve.toml")
    assert (result.returncode, result.stdout, result.stderr) == (
        0,
        "2 of 2 admitted, 15.0 GiB committed of 21.6 GiB usable\n",
        "",
    )


def python3_on_path() -> dict[str, str]:
    # The example runs "python3": this interpreter's, which has marlix, comes first.
    return {"PATH": os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]])}


@pytest.mark.host
def test_the_example_serve_configuration_serves_a_chat_and_stops_on_sigterm(tmp_path):
    pytest.importorskip("aiohttp")
    text = (EXAMPLES / "serve.toml").read_text("utf-8")
    listen = ("--listen", "127.0.0.1:0")
    with serving(tmp_path, text, *listen, env=python3_on_path()) as host:
        body = {"model": "chat-8b", "messages": [{"role": "user", "content": "Hello"}]}
        code, _, answer = host.post("/v1/chat/completions", body)
        assert code == 200, answer
        assert json.loads(answer)["choices"][0]["message"]["content"].startswith("This is")
        assert host.stop() == 0


@pytest.mark.host
@pytest.mark.parametrize(
    "card, logged",
    [
        ("8GiB", "huge: the card cannot hold it (short by 24696061952 bytes)\n"),
        (
            ["8GiB", "8GiB"],
            "huge: no card can hold it (short by 24696061952 bytes on the last)\n",
        ),
    ],
)
def test_the_host_says_which_card_cannot_hold_a_model(card, logged, tmp_path):
    pytest.importorskip("aiohttp")
    with serving(tmp_path, config(model("huge", size="30GiB"), card=card)) as host:
        assert logged in host.log()
        assert host.stop() == 0


# --- demo and entry points --------------------------------------------------------------


def test_demo_tours_plan_and_fleet():
    result = marlix("demo")
    out = result.stdout
    assert (result.returncode, result.stderr) == (0, "")
    assert out.startswith(
        "A 24 GiB card with a 10% reserve and 4 declared models.\n\n"
        "plan(25769803776, 10, roster):\n"
        "3 of 4 admitted, 15.5 GiB committed of 21.6 GiB usable\n"
        "  REJECTED vision-13b — needs 16.0 GiB, 11.6 GiB free, short by 4.4 GiB\n"
        "  hint: vision-13b fits with a KV cache of 1.6 GiB (1717986926 bytes) instead of 6.0 GiB\n"
    )
    assert out.count("GiB held  (4 declared, 3 admitted)\n") == 7
    assert (
        "[107.0s] coder-7b's serving process exits\n"
        "9.5 / 21.6 GiB held  (4 declared, 3 admitted)\n"
        "  chat-8b                      resident for 86s\n"
        "  vision-13b                   not admitted — short by 4.4 GiB\n"
        "  coder-7b                     the serving process exited\n"
        "  embed-small                  failed to load: weights file not found\n"
    ) in out
    routes = [line.split(" -> ")[1] for line in out.splitlines() if line.startswith("route(")]
    assert [json.loads(route)["route"] for route in routes] == [
        "warming", "ready", "warming", "ready", "ready", "lost", "not_admitted", "failed",
    ]  # fmt: skip
    # The lost model comes before the failed one in the roster, so it is offered first.
    assert out.endswith("next_to_load() -> 'coder-7b'\n")


def test_console_script_and_version():
    script = Path(sysconfig.get_path("scripts")) / "marlix"
    result = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "marlix 0.5.0\n")


def test_a_reader_that_goes_away_stops_the_output_quietly():
    command = [sys.executable, "-m", "marlix", "demo"]
    read_end, write_end = os.pipe()
    os.close(read_end)  # gone before the child starts: every write finds no reader
    try:
        result = subprocess.run(command, stdout=write_end, stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(write_end)
    assert (result.returncode, result.stderr) == (141, b"")
