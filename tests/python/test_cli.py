import json
import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from marlix import plan

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


@pytest.mark.parametrize(
    "roster",
    ['[{"weightsBytes": 1}]', "[", '{"model": "a"}', '[{"model": "a", "weightsBytes": -1}]'],
)
def test_plan_reports_the_module_error_and_exits_2(roster):
    with pytest.raises(ValueError) as caught:
        plan(24 * GIB, 10, roster)
    result = marlix("plan", "-", "--card", CARD, stdin=roster)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"marlix: {caught.value}\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.json", "--card", CARD], "marlix: missing.json: No such file or directory\n"),
        (["-", "--card", "24G"], "marlix: --card: invalid size '24G': unknown unit 'G'; "),
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
    ],
)
def test_usage_errors_exit_2_after_the_usage_line(args, message):
    result = marlix("plan", *args, stdin="[]")
    assert result.returncode == 2
    usage, error = result.stderr.splitlines(keepends=True)
    assert usage.startswith("usage: marlix plan ")
    assert error == message


def test_plan_refuses_a_roster_that_is_not_utf8(tmp_path):
    path = tmp_path / "latin1.json"
    path.write_bytes(b'[{"model": "caf\xe9", "weightsBytes": 1}]')
    result = marlix("plan", path, "--card", CARD)
    assert (result.returncode, result.stderr) == (2, f"marlix: {path}: not UTF-8 text (byte 15)\n")


# --- --card auto ------------------------------------------------------------------------

# Stand-ins for pynvml. Each fails at a later step than the one before it; an NVML that comes up
# starts from WORKING_NVML and says what GPU 0 does.
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
    "no gpu": WORKING_NVML
    + """
    def nvmlDeviceGetHandleByIndex(index):
        raise NVMLError('Invalid Argument')
    """,
    "24 GiB gpu": WORKING_NVML
    + """
    def nvmlDeviceGetHandleByIndex(index):
        return index
    def nvmlDeviceGetMemoryInfo(handle):
        assert handle == 0
        return types.SimpleNamespace(total=24 * 2**30, free=0, used=0)
    """,
}


def with_fake_nvml(tmp_path, kind):
    # A pynvml module of our own, ahead of any installed one on the path.
    (tmp_path / "pynvml.py").write_text(textwrap.dedent(FAKE_NVML[kind]), "utf-8")
    return {**os.environ, "PYTHONPATH": str(tmp_path)}


@pytest.mark.parametrize(
    "kind, message",
    [
        ("absent", "--card auto needs NVML; install it with: pip install 'marlix[nvml]'"),
        ("no driver", "--card auto: NVML is not available: Driver Not Loaded"),
        ("no gpu", "--card auto: cannot read the memory of GPU 0: Invalid Argument"),
    ],
)
def test_card_auto_without_a_gpu_exits_2(tmp_path, kind, message):
    result = marlix("plan", "-", "--card", "auto", stdin="[]", env=with_fake_nvml(tmp_path, kind))
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"marlix: {message}\n")


def test_card_auto_reads_the_size_of_gpu_0(tmp_path):
    env = with_fake_nvml(tmp_path, "24 GiB gpu")
    result = marlix("plan", "-", "--card", "auto", stdin="[]", env=env)
    assert result.stdout == "0 of 0 admitted, 0.0 GiB committed of 21.6 GiB usable\n"


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
        "marlix: could not read the roster: expected an array of declared models\n"
    )


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
