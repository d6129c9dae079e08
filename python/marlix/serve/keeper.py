"""The keeper: the one process marlix starts for a model, which starts the model's command and
makes sure that nothing the command starts outlives marlix.

    python -I -S keeper.py GRACE_S REPORT_FD LIFE_FD

The command comes as a JSON array in the environment variable MARLIX_KEEPER_COMMAND (taken out
before the command sees its environment), so that it does not show twice in a process list.
The keeper writes `pid N` (or `error ERRNO` when the command cannot be executed) as one line on
REPORT_FD, and later `killed N` should it have to SIGKILL N processes of the tree after the
grace of a stop (so that marlix can say so); it watches:

- LIFE_FD, the read end of a pipe whose write end only marlix holds, and a parent-death signal:
  either one tells it marlix is gone, however marlix ended;
- SIGTERM (also SIGINT, SIGHUP, SIGQUIT): marlix asks for a stop;
- SIGCHLD: a process of the tree ended.

To end the tree it sends SIGTERM to every descendant, SIGKILL to whatever is left after
GRACE_S, and exits once it has no child left. It is a child subreaper, so a descendant orphaned
on the way (by a double fork, or after a setsid) is reparented to it and still found: its
descendants are read from /proc by their parent pids. When the command's process ends by
itself, whatever it left behind is killed at once and the keeper ends as that process ended:
the same exit status, or killed by the same signal, so that marlix reports the command's end.

Why not a cgroup per model: creating one needs a delegated cgroup v2 subtree, which a service
run by an unprivileged user, or inside a container, often does not get. A subreaper needs
nothing but Linux 3.4.

It runs as `python -I -S` and imports the standard library alone, so it starts in a few
milliseconds and sees nothing of the model's PYTHONPATH.
"""

from __future__ import annotations

import ctypes
import errno
import json
import os
import select
import signal
import sys
import time
from collections.abc import Sequence
from typing import NoReturn

COMMAND_VARIABLE = "MARLIX_KEEPER_COMMAND"
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)
PARENT_DEATH_SIGNAL = signal.SIGHUP

# How often the tree is swept again once it is being killed: a process may fork between a
# sweep and its SIGKILL.
SWEEP_S = 0.1
# How long it waits for SIGKILLed processes to go before it leaves them to init. A process in
# uninterruptible sleep dies only when it wakes; the SIGKILL is pending by then.
KILL_WAIT_S = 10.0
# While the tree runs nothing is due; waking now and then costs nothing and bounds every wait.
IDLE_S = 60.0

_PR_SET_PDEATHSIG = 1
_PR_SET_DUMPABLE = 4
_PR_SET_CHILD_SUBREAPER = 36


def _prctl(option: int, value: int) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(option, value, 0, 0, 0) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code))


def _children_by_parent() -> dict[int, list[int]]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as stat:
                # The name may hold spaces and parentheses: the fields follow its last ")".
                fields = stat.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue  # gone meanwhile
        children.setdefault(int(fields[1]), []).append(int(entry))
    return children


def descendants(root: int) -> list[int]:
    """Every process whose chain of parents leads to `root`, parents before their children."""
    children = _children_by_parent()
    found: list[int] = []
    queue = list(children.get(root, ()))
    while queue:
        pid = queue.pop(0)
        found.append(pid)
        queue.extend(children.get(pid, ()))
    return found


def sweep(sig: int, spared: set[int] | None = None) -> set[int]:
    """Sends `sig` to every descendant not in `spared`; the pids it reached."""
    reached: set[int] = set()
    for pid in descendants(os.getpid()):
        if spared is not None and pid in spared:
            continue
        try:
            os.kill(pid, sig)
            reached.add(pid)
        except (ProcessLookupError, PermissionError):
            pass
    return reached


class Keeper:
    def __init__(self, grace_s: float, life_fd: int, report_fd: int | None = None) -> None:
        self.grace_s = grace_s
        self.life_fd: int | None = life_fd
        self.report_fd = report_fd
        self.main: int | None = None
        self.status: int | None = None  # the main process's wait status once it is reaped
        self.stop_asked = False
        self.kill_at: float | None = None  # set once the tree is being ended
        self.after_grace = False  # the tree had a grace to end in: a SIGKILL is worth a report
        self.give_up_at: float | None = None
        self.wake_r, wake_w = os.pipe()
        for fd in (self.wake_r, wake_w):
            os.set_blocking(fd, False)
        signal.set_wakeup_fd(wake_w, warn_on_full_buffer=False)
        # A handler of its own for each signal, so that each one writes to the wakeup pipe.
        signal.signal(signal.SIGCHLD, lambda number, frame: None)
        for number in STOP_SIGNALS:
            signal.signal(number, self._on_stop)

    def _on_stop(self, number: int, frame: object) -> None:
        self.stop_asked = True

    def start(self, argv: Sequence[str], env: dict[str, str]) -> int:
        return os.posix_spawnp(
            argv[0],
            list(argv),
            env,
            file_actions=[(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0)],
            # Python ignores these; the command gets them as any program would.
            setsigdef=(signal.SIGPIPE, signal.SIGXFSZ),
        )

    def reap(self) -> bool:
        """Reaps every child that ended; False once it has no child left."""
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return False
            if pid == 0:
                return True
            if pid == self.main:
                self.status = status

    def end_tree(self, now: float, grace_s: float) -> None:
        if self.kill_at is not None:
            return
        self.kill_at = now + grace_s
        self.after_grace = grace_s > 0
        if grace_s > 0:
            # Again while a sweep finds someone new (a process may fork while one runs), but
            # one SIGTERM each: some servers take a second one as "quit now".
            signalled: set[int] = set()
            for _ in range(5):
                reached = sweep(signal.SIGTERM, signalled)
                if not reached:
                    break
                signalled |= reached

    def run(self) -> int:
        """Runs until the tree is gone; the main process's wait status."""
        while True:
            children_left = self.reap()
            now = time.monotonic()
            if self.status is not None:
                # What the main process left behind goes with it, at once.
                self.end_tree(now, 0.0)
            elif self.stop_asked or self.life_fd is None:
                self.end_tree(now, self.grace_s)
            if not children_left:
                break
            timeout = IDLE_S
            if self.kill_at is not None:
                if now >= self.kill_at:
                    first = self.give_up_at is None
                    if first:
                        self.give_up_at = now + KILL_WAIT_S
                    elif self.give_up_at is not None and now >= self.give_up_at:
                        break
                    reached = sweep(signal.SIGKILL)
                    if first and reached and self.after_grace and self.report_fd is not None:
                        _report(self.report_fd, f"killed {len(reached)}")
                    timeout = SWEEP_S
                else:
                    timeout = self.kill_at - now
            self._wait(timeout)
        # Given up on a main process that would not go: it was SIGKILLed all the same.
        return self.status if self.status is not None else int(signal.SIGKILL)

    def _wait(self, timeout: float) -> None:
        watched = [self.wake_r] if self.life_fd is None else [self.wake_r, self.life_fd]
        try:
            ready, _, _ = select.select(watched, [], [], timeout)
        except InterruptedError:  # retried by Python itself; kept for older ones
            return
        if self.wake_r in ready:
            try:
                while os.read(self.wake_r, 512):
                    pass
            except BlockingIOError:
                pass
        if self.life_fd is not None and self.life_fd in ready:
            try:
                data = os.read(self.life_fd, 512)
            except OSError:
                data = b""
            if not data:  # marlix is gone
                os.close(self.life_fd)
                self.life_fd = None


def end_as(status: int) -> NoReturn:
    """Ends this process as the wait status `status` says its main process ended."""
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        # Killed by the same signal, without leaving a core of its own.
        try:
            _prctl(_PR_SET_DUMPABLE, 0)
        except OSError:
            pass
        try:
            signal.signal(number, signal.SIG_DFL)
        except (OSError, ValueError):
            pass  # SIGKILL and SIGSTOP keep theirs
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [number])
        os.kill(os.getpid(), number)
        os._exit(128 + number)  # a signal whose default is not to terminate
    if os.WIFEXITED(status):
        os._exit(os.WEXITSTATUS(status))
    os._exit(1)


def _report(fd: int, line: str) -> None:
    # The pipe stays open until the keeper exits: marlix reads it to its end then.
    try:
        os.write(fd, line.encode() + b"\n")
    except OSError:
        pass  # marlix is gone; the life pipe says so too


def main(args: Sequence[str]) -> NoReturn:
    if len(args) != 3:
        print("usage: keeper.py GRACE_S REPORT_FD LIFE_FD", file=sys.stderr)
        os._exit(2)
    grace_s, report_fd, life_fd = float(args[0]), int(args[1]), int(args[2])
    env = dict(os.environ)
    argv = json.loads(env.pop(COMMAND_VARIABLE, "[]"))
    if not isinstance(argv, list) or not argv or not all(isinstance(a, str) for a in argv):
        print(f"keeper: no command in {COMMAND_VARIABLE}", file=sys.stderr)
        os._exit(2)
    # Neither pipe goes on to the command.
    os.set_inheritable(report_fd, False)
    os.set_inheritable(life_fd, False)
    _prctl(_PR_SET_CHILD_SUBREAPER, 1)
    keeper = Keeper(grace_s, life_fd, report_fd)
    # From here on the death of marlix is a stop asked. Should it have died already, the life
    # pipe is closed and says so on the first turn.
    _prctl(_PR_SET_PDEATHSIG, PARENT_DEATH_SIGNAL)
    try:
        keeper.main = keeper.start(argv, env)
    except OSError as error:
        _report(report_fd, f"error {error.errno or errno.ENOEXEC}")
        try:
            print(f"cannot start {argv[0]!r}: {error.strerror or error}", file=sys.stderr)
            sys.stderr.flush()
        except OSError:
            pass
        os._exit(127)
    _report(report_fd, f"pid {keeper.main}")
    end_as(keeper.run())


if __name__ == "__main__":
    main(sys.argv[1:])
