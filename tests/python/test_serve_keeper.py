"""No model process outlives marlix, nor the model it belongs to: real `marlix serve`, real
process trees (a bash wrapper, a stand-in, a helper that left the session) and real signals.
Every wait is bounded, and whatever a test found running is killed when it ends."""

from __future__ import annotations

import json
import os
import shlex
import signal
import sys
import time

import pytest

pytest.importorskip("aiohttp")

from serve_host import STANDIN, config, model, serving  # noqa: E402

pytestmark = pytest.mark.host

# A helper that leaves the group and session: started from a subshell that exits at once, it
# is orphaned too.
MARK = "MARLIX_TEST_MARK"
SLEEPER = f"{shlex.quote(sys.executable)} -c 'import os, time; os.setsid(); time.sleep(300)'"


def wrapped(name: str, mark: str, *options: str, **keys: object) -> str:
    """A model whose command is a bash script: a setsid helper, then the stand-in as bash's
    child, then a last word. Each of its processes has `mark` in its environment."""
    standin = " ".join(shlex.quote(arg) for arg in [*STANDIN, "--model", name, *options])
    script = f"({SLEEPER} &); {standin}; echo done"
    lines = [
        "[[models]]",
        f"name = {json.dumps(name)}",
        'weights_bytes = "1GiB"',
        f"command = {json.dumps(['bash', '-c', script])}",
        f"env = {{ {MARK} = {json.dumps(mark)} }}",
    ]
    lines += [f"{key} = {json.dumps(value)}" for key, value in keys.items()]
    return "\n".join(lines) + "\n"


def stat_of(pid: int) -> list[str] | None:
    """The fields of /proc/PID/stat after the name (state first), or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None


def cmdline_of(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            return cmdline.read().replace(b"\0", b" ").decode()
    except OSError:
        return ""


def descendants(root: int) -> set[int]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        fields = stat_of(int(entry)) if entry.isdigit() else None
        if fields is not None:
            children.setdefault(int(fields[1]), []).append(int(entry))
    found: set[int] = set()
    queue = list(children.get(root, ()))
    while queue:
        pid = queue.pop()
        found.add(pid)
        queue.extend(children.get(pid, ()))
    return found


def marked(mark: str) -> set[int]:
    """The processes with `mark` in their environment."""
    found = set()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                if f"{MARK}={mark}".encode() in environ.read().split(b"\0"):
                    found.add(int(entry))
        except OSError:
            pass
    return found


class Seen:
    """Processes found while marlix runs, each known by its pid and start time (so a pid used
    again is not taken for it), and `mark`: what the models of a test have in their
    environment, which finds even a process that escaped."""

    def __init__(self, mark: str) -> None:
        self.mark = mark
        self.started: dict[int, str] = {}

    def add(self, pids: set[int]) -> set[int]:
        for pid in pids:
            fields = stat_of(pid)
            if fields is not None:
                self.started.setdefault(pid, fields[19])
        return pids

    def running(self, pids: set[int]) -> set[int]:
        """Those of `pids` still running (a zombie counts as gone)."""
        left = set()
        for pid in pids:
            fields = stat_of(pid)
            if fields is not None and fields[0] != "Z" and fields[19] == self.started.get(pid):
                left.add(pid)
        return left

    def wait_gone(self, pids: set[int], timeout: float = 15) -> set[int]:
        """Those of `pids` still running after up to `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while self.running(pids) and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.running(pids)

    def kill_all(self) -> None:
        for pid in self.running(set(self.started)) | marked(self.mark):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


@pytest.fixture
def seen(tmp_path):
    found = Seen(str(tmp_path))
    try:
        yield found
    finally:
        found.kill_all()


def whole_tree(seen: Seen, pid: int, timeout: float = 15) -> set[int]:
    """The keeper of the command whose main process is `pid` and every process under it, once
    the helper has left its session and the stand-in runs."""
    fields = stat_of(pid)
    assert fields is not None, f"{pid} is gone"
    keeper = int(fields[1])
    assert "keeper.py" in cmdline_of(keeper)
    deadline = time.monotonic() + timeout
    while True:
        tree = seen.add({keeper} | descendants(keeper))
        sessions = {int(f[3]) for f in map(stat_of, tree) if f is not None}
        standins = [p for p in tree if "marlix.standin" in cmdline_of(p)]
        if pid in tree and len(sessions) >= 2 and standins:
            return tree
        assert time.monotonic() < deadline, f"tree of {keeper} incomplete: {tree}"
        time.sleep(0.05)


@pytest.mark.parametrize(
    "ending",
    [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGKILL],
    ids=lambda number: signal.Signals(number).name,
)
def test_no_model_process_outlives_marlix(tmp_path, seen, ending):
    events = tmp_path / "events.jsonl"
    text = config(wrapped("chat", seen.mark, "--load-s", "0"), stop_grace_s=2)
    with serving(tmp_path, text, "--events", str(events)) as host:
        pid = host.wait_for("chat", "ready")["pid"]
        tree = whole_tree(seen, pid)
        assert len(tree) >= 4  # the keeper, bash, the stand-in and the helper
        host.process.send_signal(ending)
        code = host.process.wait(30)
        if ending == signal.SIGKILL:
            assert code == -signal.SIGKILL
            assert not seen.wait_gone(tree)
        else:
            # marlix waits for every keeper, and a keeper for its whole tree.
            assert code == 0
            assert not seen.running(tree)
            log = host.log()
            assert f"{signal.Signals(ending).name}: stopping" in log
            assert "every model process has ended; bye" in log
            kinds = [json.loads(line).get("kind") for line in open(events)]
            assert kinds[-1] == "stop"
        assert not marked(seen.mark)  # nothing of the model's, found or not


@pytest.mark.parametrize(
    "options, grace_s, waits_out_the_grace",
    [(("--load-s", "0"), 5, False), (("--load-s", "0", "--ignore-sigterm"), 1, True)],
    ids=["ends-on-sigterm", "ignores-sigterm"],
)
def test_an_unload_ends_the_whole_tree(tmp_path, seen, options, grace_s, waits_out_the_grace):
    text = config(wrapped("chat", seen.mark, *options), stop_grace_s=grace_s)
    with serving(tmp_path, text) as host:
        pid = host.wait_for("chat", "ready")["pid"]
        assert cmdline_of(pid).startswith("bash -c")  # the command's own process
        tree = whole_tree(seen, pid)
        asked = time.monotonic()
        code, _, _ = host.post("/models/chat/unload")
        took = time.monotonic() - asked
        assert code == 200
        # The answer comes once the stop is done.
        assert not seen.running(tree)
        if waits_out_the_grace:
            assert took >= grace_s * 0.9  # SIGKILL came only after the grace
        else:
            assert took < grace_s  # SIGTERM was enough
        assert host.process.poll() is None
        host.wait_for_log("chat: stopped by hand")
        # The operator is told when a stop had to become a kill, and only then.
        killed = f"chat: did not end within {grace_s} s of SIGTERM; killed"
        assert (killed in host.log()) == waits_out_the_grace


def test_a_lost_model_takes_what_it_started_with_it(tmp_path, seen):
    text = config(wrapped("chat", seen.mark, "--load-s", "0"), stop_grace_s=5)
    with serving(tmp_path, text) as host:
        pid = host.wait_for("chat", "ready")["pid"]
        tree = whole_tree(seen, pid)
        os.kill(pid, signal.SIGKILL)  # bash goes; the stand-in and the helper are left
        host.wait_for_log("chat: lost: the process was killed by SIGKILL")
        assert not seen.wait_gone(tree)
        assert host.process.poll() is None


def test_a_failed_load_ends_the_whole_tree(tmp_path, seen):
    text = config(wrapped("chat", seen.mark, "--never-ready", load_timeout_s=2), stop_grace_s=5)
    with serving(tmp_path, text) as host:
        pid = host.wait_for("chat", "warming")["pid"]
        tree = whole_tree(seen, pid)
        row = host.wait_for("chat", "failed", timeout=20)
        assert row["last_failure"] == "no healthy answer within 2 s"
        assert not seen.wait_gone(tree)
        assert host.process.poll() is None


def test_a_killed_keeper_takes_its_process_group_with_it(tmp_path, seen):
    text = config(
        model("chat", "--load-s", "0") + f"env = {{ {MARK} = {json.dumps(seen.mark)} }}\n"
    )
    with serving(tmp_path, text) as host:
        pid = host.wait_for("chat", "ready")["pid"]
        assert "marlix.standin" in cmdline_of(pid)  # the stand-in itself, not its keeper
        fields = stat_of(pid)
        assert fields is not None
        keeper = int(fields[1])
        seen.add({pid, keeper})
        os.kill(keeper, signal.SIGKILL)
        host.wait_for_log("chat: lost: the process was killed by SIGKILL")
        assert not seen.wait_gone({pid, keeper})


@pytest.mark.parametrize(
    "first_line, reason",
    [
        (b"#!/nonexistent/interpreter\n", "No such file or directory"),
        (b"\x7fnot a program\n", "Exec format error"),
    ],
    ids=["interpreter-missing", "not-a-program"],
)
def test_a_command_that_cannot_be_executed_fails_its_load(tmp_path, first_line, reason):
    # An executable file, as the configuration asks, that the kernel still refuses to run.
    program = tmp_path / "model-server"
    program.write_bytes(first_line)
    program.chmod(0o755)
    text = config() + "\n".join(
        [
            "[[models]]",
            'name = "chat"',
            "weights_bytes = 1",
            f"command = {json.dumps([str(program), '--port', '{port}'])}",
        ]
    )
    failure = f"cannot start {str(program)!r}: {reason}"
    with serving(tmp_path, text) as host:
        row = host.wait_for("chat", "failed", timeout=20)
        assert row["last_failure"] == failure
        host.wait_for_log(f"chat: load failed: {failure}")
