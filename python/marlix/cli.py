"""The marlix command line: serve the models of GPU cards, plan cards, replay a host's event
log, write a roster from model files, or take the tour.

Exit status: 0 on success (for `plan`: the roster fits), 1 when `plan` rejects a model (on
several cards: when no card admits it), 2 for bad input, reported on stderr as "marlix: <text>".
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Sequence
from typing import Any, Callable, NoReturn, TypeVar

from _marlix import Fleet, __version__

from marlix import demo
from marlix.errors import InputError
from marlix.files import KV_TYPES, Estimate, MissingReaderError, estimate
from marlix.nvml import all_gpu_total_bytes
from marlix.placement import CardPlacement, Placement, place
from marlix.replay import replay
from marlix.sizes import MAX_U64, SizeHint, parse_size
from marlix.summary import card_heading, card_report, format_gib, indented, kv_hints, render_plan

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_BAD_INPUT = 2
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, what a shell reports for such a writer

STDIN = "-"
DEFAULT_RESERVE_PCT = 10
MAX_CARDS = 4096  # far beyond any machine, and a typo's count cannot hang the command

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
    roster_json, cards, reserve = roster_and_cards(args)
    placement = _module_call(_display_name(args.roster), place, cards, reserve, roster_json)
    if len(placement.cards) == 1:
        # One card is the plan itself: its document, or its summary with hints.
        (card,) = placement.cards
        print(card.plan_json if args.json else render_plan(card.plan, roster_json))
    elif args.json:
        print(placement_json(placement))
    else:
        print(render_placement(placement))
    return EXIT_REJECTED if placement.unplaced else EXIT_OK


def run_replay(args: argparse.Namespace) -> int:
    if args.roster == STDIN and args.events == STDIN:
        raise InputError("ROSTER and EVENTS cannot both be read from stdin")
    roster_json, cards, reserve = roster_and_cards(args)
    source = _display_name(args.roster)
    placement = _module_call(source, place, cards, reserve, roster_json)
    fleets = [
        _module_call(source, Fleet, card.total_bytes, reserve, fleet_roster(placement, card))
        for card in placement.cards
    ]

    def rebuild(index: int, roster: str) -> Fleet:
        fleet: Fleet = _module_call(source, Fleet, cards[index], reserve, roster)
        return fleet

    last_now = replay(fleets, read_text(args.events), _display_name(args.events), rebuild)
    now = args.at if args.at is not None else (last_now or 0)
    if len(fleets) == 1:
        sys.stdout.write(fleets[0].report(now))
    else:
        for card, fleet in zip(placement.cards, fleets):
            sys.stdout.write(card_report(card.index, card.total_bytes, fleet.report(now)))
    for model in args.route:
        # The card whose Fleet declares it: after a swap, not always the one placed first.
        routes = [fleet.route(model, now) for fleet in fleets]
        declared = [r for r in routes if '"route":"not_declared"' not in r]
        held_by = placement.card_of(model)
        print(declared[0] if declared else routes[-1 if held_by is None else held_by])
    return EXIT_OK


def roster_and_cards(args: argparse.Namespace) -> tuple[str, list[int], int]:
    """The roster JSON, the card sizes and the reserve that `plan` and `replay` work on. A serve
    configuration brings its roster and its [card], as `marlix serve` would place them; --card,
    --cards and --reserve override the card's."""
    # The cards given are read first, so that a bad size is reported whatever the roster.
    cards = card_sizes(args.cards)
    if not is_config(args.roster):
        reserve = DEFAULT_RESERVE_PCT if args.reserve is None else args.reserve
        return read_text(args.roster), cards, reserve
    try:
        from marlix.serve.config import load_config
    except ImportError as error:
        raise InputError(
            f"reading {args.roster} needs {error.name or 'tomli'}; install it with: "
            "pip install 'marlix[serve]'"
        ) from None
    config = load_config(args.roster, programs=False)
    if not cards:
        if config.card.auto:
            cards = all_gpu_total_bytes(f'{args.roster}: card.size = "auto"')
        else:
            cards = list(config.card.sizes)
    reserve = config.card.reserve_pct if args.reserve is None else args.reserve
    return config.roster_json(), cards, reserve


def is_config(path: str) -> bool:
    """Whether ROSTER names a serve configuration rather than a roster JSON file."""
    return path != STDIN and path.lower().endswith(".toml")


def fleet_roster(placement: Placement, card: CardPlacement) -> str:
    """The roster of a card's Fleet: the entries placed on it. The last card's Fleet holds every
    entry left to it, so that a model no card admits is answered as not admitted there, with its
    shortfall on that card (and one card's Fleet holds the whole roster, as `plan` saw it)."""
    if card is placement.cards[-1]:
        return card.roster_json
    return json.dumps(list(card.entries), separators=(",", ":"))


def placement_json(placement: Placement) -> str:
    """{"cards": [...], "unplaced": [...]}: each card's plan document as the module wrote it,
    and the models no card admits."""
    cards = ",".join(card.plan_json for card in placement.cards)
    unplaced = json.dumps(list(placement.unplaced), ensure_ascii=False, separators=(",", ":"))
    return f'{{"cards":[{cards}],"unplaced":{unplaced}}}'


def render_placement(placement: Placement) -> str:
    """Each card's summary under its heading, then how many models were placed, each model no
    card admits with its shortfall on the last card, and the hints for that card."""
    lines: list[str] = []
    for card in placement.cards:
        lines.append(card_heading(card.index, card.total_bytes))
        lines.append(indented(card.plan["explain"]))
    last = placement.cards[-1]
    declared = placement.cards[0].plan["declared"]
    lines.append(
        f"{declared - len(placement.unplaced)} of {declared} placed on {len(placement.cards)} cards"
    )
    for entry in placement.unplaced:
        lines.append(
            f"  UNPLACED {entry['model']} — needs {format_gib(entry['needed_bytes'])} GiB,"
            f" short by {format_gib(entry['short_bytes'])} GiB on card {last.index}"
        )
    lines += kv_hints(last.plan, last.roster_json)
    return "\n".join(lines)


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


def run_roster(args: argparse.Namespace) -> int:
    if args.name is not None and len(args.inputs) != 1:
        raise InputError(f"roster: --name names one model, and {len(args.inputs)} were given")
    if args.name == "":
        raise InputError("roster: --name is empty")
    # Every input is read before anything is printed, and every bad one is reported at once.
    problems: list[str] = []
    found: list[tuple[str, Estimate]] = []
    first_input: dict[str, str] = {}
    for path in args.inputs:
        try:
            figures = estimate(path, args.ctx, args.parallel, args.kv_type)
        except MissingReaderError as error:
            raise InputError(
                f"marlix roster needs {error.module}; install it with: pip install 'marlix[files]'"
            ) from None
        except InputError as error:
            problems.append(str(error))
            continue
        name = args.name if args.name is not None else model_name(path)
        if name in first_input:
            problems.append(f"{path}: named {name!r}, as {first_input[name]} is (give --name)")
            continue
        first_input[name] = path
        found.append((name, figures))
    if problems:
        raise InputError("; ".join(problems))
    if args.explain:
        for name, figures in found:
            print(f"{name}: {figures.explain()}", file=sys.stderr)
    entries = [
        json.dumps(
            {"model": name, "weightsBytes": f.weights_bytes, "kvBytes": f.kv_bytes},
            ensure_ascii=False,
        )
        for name, f in found
    ]
    print("[\n" + ",\n".join("  " + entry for entry in entries) + "\n]")
    return EXIT_OK


def model_name(path: str) -> str:
    """A model's name in the roster: its file's stem, or its folder's name."""
    base = os.path.basename(os.path.normpath(path))
    stem, dot, _ = base.rpartition(".")
    return stem if dot and stem and not os.path.isdir(path) else base


def run_demo(args: argparse.Namespace) -> int:
    demo.run(sys.stdout)
    return EXIT_OK


def card_sizes(given: Sequence[tuple[str, str]]) -> list[int]:
    """The byte count of every card that `--card` and `--cards` name, in the order given."""
    sizes: list[int] = []
    for option, text in given:
        if option == "--cards":
            sizes += _card_count(text)
        elif text == "auto":
            sizes += all_gpu_total_bytes()
        else:
            sizes.append(_card_size(option, text))
    return sizes


def _card_count(text: str) -> list[int]:
    count, times, size = text.partition("x")
    if not times or not _is_whole(count):
        raise InputError(
            f"--cards: invalid cards {text!r}: expected a count and a size such as 2x24GiB"
        )
    if not 1 <= int(count) <= MAX_CARDS:
        raise InputError(
            f"--cards: invalid cards {text!r}: the count must be from 1 to {MAX_CARDS}"
        )
    return [_card_size("--cards", size, f"{count}x")] * int(count)


def _card_size(option: str, text: str, before: str = "") -> int:
    # A hint offers the option's whole value, as it would be typed again: 2x24GiB.
    try:
        return parse_size(text, of="card")
    except SizeHint as hint:
        raise InputError(f"{option}: {hint.offering(before)}") from None
    except ValueError as error:
        raise InputError(f"{option}: {error}") from None


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
    parser = _Parser(prog="marlix", description="Plan, track and serve the models of GPU cards.")
    parser.add_argument("--version", action="version", version=f"marlix {__version__}")
    commands = parser.add_subparsers(title="commands", dest="command", required=True)

    plan_cmd = commands.add_parser(
        "plan",
        usage=f"%(prog)s [-h] {_CARDS_USAGE} [--reserve PCT] [--json] ROSTER",
        help="check whether a roster fits the cards",
        description="Print the plan's summary (or its JSON document) for a roster on the cards "
        "given. ROSTER may be a serve configuration (.toml): its models, on its [card] "
        "unless --card, --cards or --reserve are given. "
        "On several cards, each card plans the models the cards before it rejected, and each "
        "card's summary is printed, then the models no card admits (--json: "
        '{"cards": [plan documents], "unplaced": [...]}). '
        "Exit status 0 when every model fits, 1 when some model is rejected by every card.",
    )
    _add_card_arguments(plan_cmd)
    plan_cmd.add_argument("--json", action="store_true", help="print the plan document")
    plan_cmd.set_defaults(run=run_plan)

    replay_cmd = commands.add_parser(
        "replay",
        usage=f"%(prog)s [-h] {_CARDS_USAGE} [--reserve PCT] [--at NOW] [--route MODEL ...]"
        " ROSTER EVENTS",
        help="rebuild the cards' state from an event log",
        description="Build a Fleet from ROSTER, feed it the events of EVENTS and print its "
        "report, then the route document of each --route model. ROSTER may be a serve "
        "configuration (.toml), as for marlix plan. On several cards, ROSTER is "
        "placed as marlix plan places it, each card's Fleet holds the models placed on it (the "
        "last card's also those no card admits), and each card's report is printed; a --route "
        "model is answered by the card that holds it, or else by the last card.",
        epilog='EVENTS holds one JSON object a line: {"model": ..., "kind": ..., '
        '"detail": {...}, "now": MS} for an observation ("detail" optional), '
        '{"model": ..., "endpoint": ...} (optional "now") for an endpoint; either may name '
        'its "card" (an index, default 0). '
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
        help="run the cards' models and route every request to them",
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
    serve_cmd.add_argument(
        "--access-log",
        action="store_true",
        help="log every request, not only those that failed, were cut short or waited",
    )
    serve_cmd.set_defaults(run=run_serve)

    roster_cmd = commands.add_parser(
        "roster",
        help="write a roster from model files",
        description="Read each model's weights and KV-cache bytes from its GGUF file or its "
        "Hugging Face folder (config.json and *.safetensors) and print the roster JSON that "
        "marlix plan reads, one entry per input. The KV cache holds CTX x PARALLEL tokens of "
        "every layer's K and V rows.",
        epilog="Reading GGUF needs the gguf package: pip install 'marlix[files]'. "
        "--explain writes the arithmetic to stderr, so stdout stays pipeable: "
        "marlix roster m.gguf | marlix plan - --card 24GiB",
    )
    roster_cmd.add_argument(
        "inputs", metavar="FILE_OR_DIR", nargs="+", help="a GGUF file or a model folder"
    )
    roster_cmd.add_argument(
        "--ctx",
        type=_positive,
        metavar="N",
        help="tokens of context (default: the model's own training context)",
    )
    roster_cmd.add_argument(
        "--parallel",
        type=_positive,
        default=1,
        metavar="P",
        help="sequences served at once, each with its own context (default 1)",
    )
    roster_cmd.add_argument(
        "--kv-type", choices=tuple(KV_TYPES), default="f16", help="KV cache type (default f16)"
    )
    roster_cmd.add_argument(
        "--name", metavar="NAME", help="the model's name (default: the file's stem); one input"
    )
    roster_cmd.add_argument(
        "--explain", action="store_true", help="write the arithmetic of each entry to stderr"
    )
    roster_cmd.set_defaults(run=run_roster)

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
    roster = parser.add_argument(
        "roster",
        action=_RosterArgument,
        metavar="ROSTER",
        help="roster JSON file, a serve configuration (.toml), or - for stdin",
    )
    card = parser.add_argument(
        "--card",
        action=_CardOption,
        dest="cards",
        default=[],
        required=True,
        metavar="SIZE",
        help="card size with its unit (24GiB, 80GB), a byte count of 1 MiB or more, or auto for "
        "every GPU via NVML; repeat it for several cards",
    )
    assert isinstance(roster, _RosterArgument)
    roster.card = card
    parser.add_argument(
        "--cards",
        action=_CardOption,
        dest="cards",
        stands_for=card,
        metavar="NxSIZE",
        help="N cards of SIZE, such as 2x24GiB; with --card, the cards go in the order given",
    )
    parser.add_argument(
        "--reserve",
        type=_percentage,
        metavar="PCT",
        help="percentage of each card held back (default 10, or a serve configuration's "
        "reserve_pct; at least 1 GiB is)",
    )


# The cards in one term: argparse would write the two options apart, as if each stood alone.
_CARDS_USAGE = "(--card SIZE | --cards NxSIZE)..."


class _CardOption(argparse.Action):
    """--card SIZE and --cards NxSIZE: each given (option, text) is kept in one list, in the
    order given, and read once parsing is done (so that a bad size is reported as "--card:
    ..." rather than with the usage line, and NVML is asked only for a good command line)."""

    def __init__(self, *args: Any, stands_for: argparse.Action | None = None, **kwargs: Any):
        super().__init__(*args, **kwargs)
        self.stands_for = stands_for

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        given = [*(getattr(namespace, self.dest, None) or []), (option_string, values)]
        setattr(namespace, self.dest, given)
        if self.stands_for is not None:
            # argparse asks for --card unless it saw that very option; --cards gives it too.
            # The parser is built for one command line, so this changes no other.
            self.stands_for.required = False


class _RosterArgument(argparse.Action):
    """ROSTER: a serve configuration brings its own [card], so that --card is then not asked
    for; any other roster needs the cards given."""

    card: argparse.Action | None = None

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        setattr(namespace, self.dest, values)
        if isinstance(values, str) and is_config(values) and self.card is not None:
            # As with --cards: the parser is built for one command line.
            self.card.required = False


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


def _positive(text: str) -> int:
    if not _is_whole(text) or not 1 <= int(text) <= MAX_U64:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 up, not {text!r}")
    return int(text)


def _is_whole(text: str) -> bool:
    return text.isascii() and text.isdigit()


def _module_call(source: str, function: Callable[..., T], *args: object) -> T:
    # The module's own error text is the message the user needs, after the file it is about.
    try:
        return function(*args)
    except ValueError as error:
        raise InputError(f"{source}: {error}") from None


def _display_name(path: str) -> str:
    return "<stdin>" if path == STDIN else path


def _utf8_output() -> None:
    # Documents, reports and model names are UTF-8 whatever the locale says.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(encoding="utf-8")
