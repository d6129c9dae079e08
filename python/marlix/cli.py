"""The marlix command line: serve a card's models, plan a card, replay a host's event log, or
take the tour.

Exit status: 0 on success (for `plan`: the roster fits), 1 when `plan` rejects a model, 2 for
bad input, reported on stderr as "marlix: <text>".
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Sequence
from typing import Callable, NoReturn, TypeVar

from _marlix import Fleet, __version__, plan

from marlix import demo
from marlix.documents import PlanDocument
from marlix.errors import InputError
from marlix.nvml import gpu0_total_bytes
from marlix.replay import replay
from marlix.sizes import MAX_U64, parse_size
from marlix.summary import render_plan

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_BAD_INPUT = 2
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, what a shell reports for such a writer

STDIN = "-"

T = TypeVar("T")


def main(argv: Sequence[str] | None = None) -> int:
    _utf8_output()
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        status = run(args)
        sys.stdout.flush()  # inside the try, so a reader that went away is reported here
        return status
    except InputError as error:
        print(f"marlix: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader went away (`marlix demo | head`): stop quietly, as other tools do, and keep
        # the interpreter from complaining again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE


def run_plan(args: argparse.Namespace) -> int:
    card = card_bytes(args.card)
    roster_json = read_text(args.roster)
    document_json = _module_call(plan, card, args.reserve, roster_json)
    document: PlanDocument = json.loads(document_json)
    if args.json:
        print(document_json)
    else:
        print(render_plan(document, roster_json))
    return EXIT_OK if document["fits"] else EXIT_REJECTED


def run_replay(args: argparse.Namespace) -> int:
    if args.roster == STDIN and args.events == STDIN:
        raise InputError("ROSTER and EVENTS cannot both be read from stdin")
    card = card_bytes(args.card)
    fleet = _module_call(Fleet, card, args.reserve, read_text(args.roster))
    last_now = replay(fleet, read_text(args.events), _display_name(args.events))
    now = args.at if args.at is not None else (last_now or 0)
    sys.stdout.write(fleet.report(now))
    for model in args.route:
        print(fleet.route(model, now))
    return EXIT_OK


def run_serve(args: argparse.Namespace) -> int:
    if args.demo == (args.config is not None):
        raise InputError("serve: give either CONFIG or --demo")
    try:
        from marlix.serve import main as serve
    except ImportError as error:
        raise InputError(
            f"marlix serve needs {error.name or 'aiohttp'}; install it with: "
            "pip install 'marlix[serve]'"
        ) from None
    return serve.run(args)


def run_demo(args: argparse.Namespace) -> int:
    demo.run(sys.stdout)
    return EXIT_OK


def card_bytes(text: str) -> int:
    if text == "auto":
        return gpu0_total_bytes()
    try:
        return parse_size(text)
    except ValueError as error:
        raise InputError(f"--card: {error}") from None


def read_text(path: str) -> str:
    """The whole of a file, or of stdin for "-", as UTF-8 text."""
    name = _display_name(path)
    try:
        if path == STDIN:
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as file:
                data = file.read()
    except OSError as error:
        raise InputError(f"{name}: {error.strerror}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(f"{name}: not UTF-8 text (byte {error.start})") from None


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="marlix", description="Plan and track the models on one GPU card.")
    parser.add_argument("--version", action="version", version=f"marlix {__version__}")
    commands = parser.add_subparsers(title="commands", dest="command", required=True)

    plan_cmd = commands.add_parser(
        "plan",
        help="check whether a roster fits a card",
        description="Print the plan's summary (or its JSON document) for a roster on a card. "
        "Exit status 0 when every model fits, 1 when some model is rejected.",
    )
    _add_card_arguments(plan_cmd)
    plan_cmd.add_argument("--json", action="store_true", help="print the plan document")
    plan_cmd.set_defaults(run=run_plan)

    replay_cmd = commands.add_parser(
        "replay",
        help="rebuild a card's state from an event log",
        description="Build a Fleet from ROSTER, feed it the events of EVENTS and print its "
        "report, then the route document of each --route model.",
        epilog='EVENTS holds one JSON object a line: {"model": ..., "kind": ..., '
        '"detail": {...}, "now": MS} for an observation ("detail" optional), '
        '{"model": ..., "endpoint": ...} (optional "now") for an endpoint. '
        "Blank lines are skipped; a bad line stops with EVENTS:LINE: and the reason.",
    )
    _add_card_arguments(replay_cmd)
    replay_cmd.add_argument("events", metavar="EVENTS", help="event log file, or - for stdin")
    replay_cmd.add_argument(
        "--at",
        type=_milliseconds,
        metavar="NOW",
        help="time of the report and routes in ms (default: the last event's)",
    )
    replay_cmd.add_argument(
        "--route",
        action="extend",
        nargs="+",
        default=[],
        metavar="MODEL",
        help="also print where a request for MODEL goes",
    )
    replay_cmd.set_defaults(run=run_replay)

    serve_cmd = commands.add_parser(
        "serve",
        help="run the card's models and route every request to them",
        description="Start the model servers of CONFIG, probe them, and serve one "
        "OpenAI-compatible front door for them until SIGINT or SIGTERM.",
    )
    serve_cmd.add_argument("config", metavar="CONFIG", nargs="?", help="the TOML configuration")
    serve_cmd.add_argument(
        "--demo", action="store_true", help="serve built-in stand-in models instead of CONFIG"
    )
    serve_cmd.add_argument(
        "--listen", metavar="HOST:PORT", help="where to listen (overrides [server] listen)"
    )
    serve_cmd.add_argument(
        "--events", metavar="FILE", help="append every observation to FILE, for marlix replay"
    )
    serve_cmd.add_argument(
        "--roster",
        action="store_true",
        help="print the roster JSON that CONFIG declares (for marlix plan and replay) and exit",
    )
    serve_cmd.add_argument(
        "--log-format", choices=("text", "json"), default="text", help="stderr log lines"
    )
    serve_cmd.set_defaults(run=run_serve)

    demo_cmd = commands.add_parser(
        "demo", help="run a host's sequence of calls on a built-in sample"
    )
    demo_cmd.set_defaults(run=run_demo)
    return parser


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_BAD_INPUT, f"marlix: {message}\n")


def _add_card_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("roster", metavar="ROSTER", help="roster JSON file, or - for stdin")
    parser.add_argument(
        "--card",
        required=True,
        metavar="SIZE",
        help="card size: bytes, or with a unit (24GiB, 80GB), or auto for GPU 0 via NVML",
    )
    parser.add_argument(
        "--reserve",
        type=_percentage,
        default=10,
        metavar="PCT",
        help="percentage of the card held back (default 10; at least 1 GiB is)",
    )


def _percentage(text: str) -> int:
    if not _is_whole(text) or int(text) > 100:
        raise argparse.ArgumentTypeError(f"expected a whole percentage from 0 to 100, not {text!r}")
    return int(text)


def _milliseconds(text: str) -> int:
    if not _is_whole(text) or int(text) > MAX_U64:
        raise argparse.ArgumentTypeError(
            f"expected a whole number of milliseconds from 0 to {MAX_U64}, not {text!r}"
        )
    return int(text)


def _is_whole(text: str) -> bool:
    return text.isascii() and text.isdigit()


def _module_call(function: Callable[..., T], *args: object) -> T:
    # The module's own error text is the message the user needs.
    try:
        return function(*args)
    except ValueError as error:
        raise InputError(str(error)) from None


def _display_name(path: str) -> str:
    return "<stdin>" if path == STDIN else path


def _utf8_output() -> None:
    # Documents, reports and model names are UTF-8 whatever the locale says.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(encoding="utf-8")
