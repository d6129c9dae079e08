"""The host's configuration: one TOML file read once into frozen records.

Every problem in the file is collected before anything starts and reported together, each with
its place (`models[2].weights_bytes: ...`), as the roster reader reports every bad entry. A key
the host does not know is a problem too: a misspelt key must not be silently ignored.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Callable, TypeVar

from marlix.errors import InputError
from marlix.files import KV_TYPES, EstimateError, estimate
from marlix.sizes import MAX_U64, parse_size

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised under 3.9 and 3.10 only
    import tomli as tomllib

PORT_PLACEHOLDER = "{port}"
AUTO = "auto"

T = TypeVar("T")


@dataclass(frozen=True)
class CardConfig:
    sizes: tuple[int, ...]  # one byte count per card, in order; empty with `auto`
    auto: bool = False  # every GPU NVML sees, at the sizes it reports
    reserve_pct: int = 10


@dataclass(frozen=True)
class ServerConfig:
    host: str = "127.0.0.1"
    port: int = 8080
    api_key: str = ""
    max_body_bytes: int = 16 * 2**20
    wait_s: float = 120.0
    max_waiting: int = 512
    request_timeout_s: float = 600.0
    stop_grace_s: float = 10.0
    ready: str = "any"  # /v2/health/ready: once "any" admitted model is ready, or "all" are
    swap: bool = False  # more models than fit: load on demand, make room by the card's plan
    idle_unload_s: float = 0.0  # every model's, unless its own: unload when idle this long
    log_dir: str = ""  # a file of each model's output in it; "": kept in memory only
    log_max_bytes: int = 10 * 2**20  # a model's log file is rotated past this size
    log_keep: int = 3  # rotated files kept: <name>.log.1 to <name>.log.N


@dataclass(frozen=True)
class ModelConfig:
    name: str
    weights_bytes: int
    kv_bytes: int
    command: tuple[str, ...]
    health: str = "/health"
    load_timeout_s: float = 300.0
    probe_interval_s: float = 5.0
    probe_failures: int = 3
    env: Mapping[str, str] = field(default_factory=dict)
    load: str = "start"  # "start": loaded when marlix starts; "demand": by its first request
    pinned: bool = False  # never swapped out, never unloaded for idleness
    idle_unload_s: float | None = None  # None: the server's

    @property
    def need_bytes(self) -> int:
        return min(self.weights_bytes + self.kv_bytes, MAX_U64)

    def argv(self, port: int) -> list[str]:
        return [arg.replace(PORT_PLACEHOLDER, str(port)) for arg in self.command]


@dataclass(frozen=True)
class Config:
    card: CardConfig
    server: ServerConfig
    models: tuple[ModelConfig, ...]

    def idle_unload_s(self, model: ModelConfig) -> float:
        """How long the model may go without a request before it is unloaded (0: never)."""
        if model.pinned:
            return 0.0
        return self.server.idle_unload_s if model.idle_unload_s is None else model.idle_unload_s

    def roster_json(self) -> str:
        """The roster the Fleet is built from: the models in file order, byte counts resolved."""
        return json.dumps(
            [
                {"model": m.name, "weightsBytes": m.weights_bytes, "kvBytes": m.kv_bytes}
                for m in self.models
            ]
        )


def load_config(path: str, programs: bool = True) -> Config:
    """Read and check the file at `path`; every problem raises one InputError. With
    `programs`, each model's program must be found and executable here."""
    try:
        with open(path, "rb") as file:
            data = tomllib.load(file)
    except OSError as error:
        raise InputError(f"{path}: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise InputError(f"{path}: not valid TOML: {error}") from None
    return parse_config(data, path, programs)


def parse_config(data: Mapping[str, Any], source: str, programs: bool = False) -> Config:
    reader = _Reader(programs)
    config = reader.config(data)
    if reader.problems:
        raise InputError(f"{source}: " + "; ".join(reader.problems))
    assert config is not None
    return config


_CARD_KEYS = ("size", "reserve_pct")
_SERVER_KEYS = (
    "listen",
    "api_key",
    "max_body_bytes",
    "wait_s",
    "max_waiting",
    "request_timeout_s",
    "stop_grace_s",
    "ready",
    "swap",
    "idle_unload_s",
    "log_dir",
    "log_max_bytes",
    "log_keep",
)
READY_RULES = ("any", "all")
LOAD_RULES = ("start", "demand")
_MODEL_KEYS = (
    "name",
    "weights_bytes",
    "kv_bytes",
    "file",
    "ctx",
    "parallel",
    "kv_type",
    "command",
    "health",
    "load_timeout_s",
    "probe_interval_s",
    "probe_failures",
    "env",
    "load",
    "pinned",
    "idle_unload_s",
)


class _Missing:
    pass


_MISSING = _Missing()


class _Reader:
    """Reads each value into its field, noting a problem and going on where one is bad."""

    def __init__(self, programs: bool = False) -> None:
        self.problems: list[str] = []
        self.programs = programs

    def problem(self, place: str, text: str) -> None:
        self.problems.append(f"{place}: {text}")

    def config(self, data: Mapping[str, Any]) -> Config | None:
        self.known_keys(data, "", ("card", "server", "models"))
        card = self.card(self.table(data, "card", required=True))
        server = self.server(self.table(data, "server", required=False))
        models = self.models(data.get("models", _MISSING))
        if server is not None and not server.swap:
            # Without swapping nothing is ever loaded later or unloaded for idleness.
            if server.idle_unload_s > 0:
                self.problem("server.idle_unload_s", "needs [server] swap = true")
            for index, model in enumerate(models or ()):
                if model.load == "demand":
                    self.problem(f"models[{index}].load", '"demand" needs [server] swap = true')
                if (model.idle_unload_s or 0) > 0:
                    self.problem(f"models[{index}].idle_unload_s", "needs [server] swap = true")
        if card is None or server is None or models is None or self.problems:
            return None
        return Config(card, server, models)

    def table(self, data: Mapping[str, Any], key: str, required: bool) -> Mapping[str, Any]:
        value = data.get(key, _MISSING)
        if isinstance(value, _Missing):
            if required:
                self.problem(key, "missing (a [" + key + "] table is needed)")
            return {}
        if not isinstance(value, dict):
            self.problem(key, "must be a table ([" + key + "])")
            return {}
        return value

    def known_keys(self, data: Mapping[str, Any], place: str, keys: tuple[str, ...]) -> None:
        for key in data:
            if key not in keys:
                where = f"{place}.{key}" if place else key
                self.problem(where, "unknown key (expected one of: " + ", ".join(keys) + ")")

    def card(self, data: Mapping[str, Any]) -> CardConfig | None:
        self.known_keys(data, "card", _CARD_KEYS)
        reserve = self.whole(data, "reserve_pct", "card", 10, low=0, high=100)
        value = data.get("size", _MISSING)
        if isinstance(value, _Missing):
            self.problem(
                "card.size",
                'missing (a byte count, a size such as "24GiB", a list of them, or "auto")',
            )
            return None
        if value == AUTO:
            return None if reserve is None else CardConfig((), True, reserve)
        if isinstance(value, list):
            if not value:
                self.problem("card.size", "an empty list names no card")
                return None
            sizes = [self.size(item, f"card.size[{i}]", "card") for i, item in enumerate(value)]
        else:
            sizes = [self.size(value, "card.size", "card", allow_auto=True)]
        if reserve is None or any(size is None for size in sizes):
            return None
        return CardConfig(tuple(_known(size) for size in sizes), False, reserve)

    def server(self, data: Mapping[str, Any]) -> ServerConfig | None:
        self.known_keys(data, "server", _SERVER_KEYS)
        defaults = ServerConfig()
        host, port = defaults.host, defaults.port
        listen = self.text(data, "listen", "server", f"{host}:{port}")
        if listen is not None:
            address = parse_listen(listen)
            if address is None:
                self.problem(
                    "server.listen",
                    f"{listen!r} is not HOST:PORT with a port from 0 to 65535"
                    ' (for example "127.0.0.1:8080")',
                )
            else:
                host, port = address
        api_key = self.text(data, "api_key", "server", defaults.api_key)
        max_body = self.whole(data, "max_body_bytes", "server", defaults.max_body_bytes, low=1)
        wait_s = self.seconds(data, "wait_s", "server", defaults.wait_s, allow_zero=True)
        max_waiting = self.whole(data, "max_waiting", "server", defaults.max_waiting, low=0)
        timeout = self.seconds(data, "request_timeout_s", "server", defaults.request_timeout_s)
        grace = self.seconds(data, "stop_grace_s", "server", defaults.stop_grace_s, True)
        ready = self.text(data, "ready", "server", defaults.ready)
        if ready is not None and ready not in READY_RULES:
            self.problem("server.ready", f'{_shown(ready)} is not "any" or "all"')
            ready = None
        swap = self.flag(data, "swap", "server", defaults.swap)
        idle = self.seconds(data, "idle_unload_s", "server", defaults.idle_unload_s, True)
        log_dir = self.text(data, "log_dir", "server", defaults.log_dir)
        if log_dir and self.programs:
            self.writable_folder(log_dir, "server.log_dir")
        log_max: int | None = defaults.log_max_bytes
        if "log_max_bytes" in data:
            log_max = self.size(data["log_max_bytes"], "server.log_max_bytes", None)
            if log_max is not None and log_max < 1:
                self.problem("server.log_max_bytes", "must be 1 byte or more")
                log_max = None
        log_keep = self.whole(data, "log_keep", "server", defaults.log_keep, low=0, high=99)
        values = (api_key, max_body, wait_s, max_waiting, timeout, grace, ready, swap, idle)
        logs = (log_dir, log_max, log_keep)
        if listen is None or any(v is None for v in values + logs):
            return None
        return ServerConfig(
            host=host,
            port=port,
            api_key=_known(api_key),
            max_body_bytes=_known(max_body),
            wait_s=_known(wait_s),
            max_waiting=_known(max_waiting),
            request_timeout_s=_known(timeout),
            stop_grace_s=_known(grace),
            ready=_known(ready),
            swap=_known(swap),
            idle_unload_s=_known(idle),
            log_dir=_known(log_dir),
            log_max_bytes=_known(log_max),
            log_keep=_known(log_keep),
        )

    def models(self, value: object) -> tuple[ModelConfig, ...] | None:
        if isinstance(value, _Missing):
            self.problem("models", "none declared (add a [[models]] table for each model)")
            return None
        if not isinstance(value, list):
            self.problem("models", "must be an array of tables ([[models]])")
            return None
        if not value:
            self.problem("models", "none declared (add a [[models]] table for each model)")
            return None
        models: list[ModelConfig] = []
        first_place: dict[str, str] = {}
        for index, entry in enumerate(value):
            place = f"models[{index}]"
            if not isinstance(entry, dict):
                self.problem(place, "must be a table")
                continue
            model = self.model(entry, place)
            if model is None:
                continue
            if model.name in first_place:
                self.problem(
                    f"{place}.name",
                    f"{model.name!r} is declared twice (first as {first_place[model.name]})",
                )
                continue
            first_place[model.name] = place
            models.append(model)
        return tuple(models)

    def model(self, data: Mapping[str, Any], place: str) -> ModelConfig | None:
        self.known_keys(data, place, _MODEL_KEYS)
        name = self.text(data, "name", place, None)
        if name == "":
            self.problem(f"{place}.name", "is empty")
            name = None
        if "file" in data:
            weights, kv = self.model_file(data, place)
        else:
            for key in ("ctx", "parallel", "kv_type"):
                if key in data:
                    self.problem(f"{place}.{key}", "only with file (the model file to read)")
            weights = None
            if "weights_bytes" not in data:
                self.problem(f"{place}.weights_bytes", "missing")
            else:
                weights = self.size(data["weights_bytes"], f"{place}.weights_bytes", "model")
            kv = self.size(data.get("kv_bytes", 0), f"{place}.kv_bytes", "KV cache")
        command = self.command(data, place)
        health = self.text(data, "health", place, "/health")
        if health is not None and not health.startswith("/"):
            self.problem(f"{place}.health", f'{health!r} must be a path starting with "/"')
            health = None
        load_timeout = self.seconds(data, "load_timeout_s", place, 300.0)
        probe_interval = self.seconds(data, "probe_interval_s", place, 5.0)
        failures = self.whole(data, "probe_failures", place, 3, low=1)
        env = self.env(data, place)
        load = self.text(data, "load", place, "start")
        if load is not None and load not in LOAD_RULES:
            self.problem(f"{place}.load", f'{_shown(load)} is not "start" or "demand"')
            load = None
        pinned = self.flag(data, "pinned", place, False)
        idle: float | None = None
        if "idle_unload_s" in data:
            idle = self.seconds(data, "idle_unload_s", place, 0.0, allow_zero=True)
            if idle is None:
                load = None  # reported; the model is not made
        if command is not None and env is not None and self.programs:
            self.program(command[0], env, f"{place}.command")
        parts = (
            name,
            weights,
            kv,
            command,
            health,
            load_timeout,
            probe_interval,
            failures,
            env,
            load,
            pinned,
        )
        if any(part is None for part in parts):
            return None
        return ModelConfig(
            name=_known(name),
            weights_bytes=_known(weights),
            kv_bytes=_known(kv),
            command=_known(command),
            health=_known(health),
            load_timeout_s=_known(load_timeout),
            probe_interval_s=_known(probe_interval),
            probe_failures=_known(failures),
            env=_known(env),
            load=_known(load),
            pinned=_known(pinned),
            idle_unload_s=idle,
        )

    def model_file(self, data: Mapping[str, Any], place: str) -> tuple[int | None, int | None]:
        """weights_bytes and kv_bytes read from the model's file, as `marlix roster` reads
        them. A relative path is taken from the current directory, as in `command`."""
        where = f"{place}.file"
        given = [key for key in ("weights_bytes", "kv_bytes") if key in data]
        if given:
            self.problem(where, f"give either file or {' and '.join(given)}")
            return None, None
        path = self.text(data, "file", place, None)
        if path == "":
            self.problem(where, "is empty")
            path = None
        ctx = self.whole(data, "ctx", place, 0, low=1) if "ctx" in data else None
        parallel = self.whole(data, "parallel", place, 1, low=1)
        kv_type = self.text(data, "kv_type", place, "f16")
        if kv_type is not None and kv_type not in KV_TYPES:
            self.problem(f"{place}.kv_type", f"{kv_type!r} is not one of: {', '.join(KV_TYPES)}")
            kv_type = None
        if path is None or ("ctx" in data and ctx is None) or parallel is None or not kv_type:
            return None, None
        try:
            figures = estimate(path, ctx, parallel, kv_type)
        except EstimateError as error:
            self.problem(where, str(error))
            return None, None
        return figures.weights_bytes, figures.kv_bytes

    def command(self, data: Mapping[str, Any], place: str) -> tuple[str, ...] | None:
        where = f"{place}.command"
        if "command" not in data:
            self.problem(where, 'missing (an array of texts, with "{port}" where the port goes)')
            return None
        value = data["command"]
        if not isinstance(value, list) or not value or not all(isinstance(a, str) for a in value):
            self.problem(where, "must be a non-empty array of texts")
            return None
        if value[0] == "":
            self.problem(where, "the program's name is empty")
            return None
        if not any(PORT_PLACEHOLDER in arg for arg in value):
            self.problem(
                where,
                'has no "{port}": marlix gives each model a free port and probes it there',
            )
            return None
        return tuple(value)

    def program(self, program: str, env: Mapping[str, str], place: str) -> None:
        """A program that cannot be started would fail every load, for ever: found before
        anything starts, on the PATH the model's process is given."""
        if os.sep in program:
            if not os.path.isfile(program):
                self.problem(place, f"no program {program!r}")
            elif not os.access(program, os.X_OK):
                self.problem(place, f"{program!r} is not executable")
            return
        path = env.get("PATH", os.environ.get("PATH", os.defpath))
        if shutil.which(program, path=path) is not None:
            return
        found = [
            d for d in path.split(os.pathsep) if os.path.isfile(os.path.join(d or ".", program))
        ]
        if found:
            where = os.path.join(found[0], program)
            self.problem(place, f"{program!r} on PATH ({where}) is not executable")
        else:
            self.problem(place, f"no program {program!r} on PATH")

    def writable_folder(self, path: str, place: str) -> None:
        """A folder marlix can write in, or create (it is created when first written to)."""
        folder = os.path.abspath(path)
        if os.path.exists(folder):
            if not os.path.isdir(folder):
                self.problem(place, f"{path!r} is not a folder")
            elif not os.access(folder, os.W_OK | os.X_OK):
                self.problem(place, f"{path!r} is not writable")
            return
        parent = os.path.dirname(folder)
        while not os.path.exists(parent):
            parent = os.path.dirname(parent)
        if not os.path.isdir(parent):
            self.problem(place, f"{path!r} cannot be created: {parent!r} is not a folder")
        elif not os.access(parent, os.W_OK | os.X_OK):
            self.problem(place, f"{path!r} cannot be created: {parent!r} is not writable")

    def env(self, data: Mapping[str, Any], place: str) -> dict[str, str] | None:
        value = data.get("env", {})
        if not isinstance(value, dict):
            self.problem(f"{place}.env", "must be a table of texts")
            return None
        good = True
        for key, text in value.items():
            if not isinstance(text, str):
                self.problem(f"{place}.env.{key}", "must be a text")
                good = False
            elif "=" in key or "\0" in key or "\0" in text or key == "":
                self.problem(f"{place}.env.{key}", "is not a usable environment variable")
                good = False
        return dict(value) if good else None

    def size(
        self, value: object, place: str, of: str | None, allow_auto: bool = False
    ) -> int | None:
        """An integer is an exact byte count, small ones included for a model (stand-ins
        declare 1); a text that is a bare number below 1 MiB, or such an integer as a card's
        size, is taken for a size whose unit was left out, when it is the size `of` a card or a
        model."""
        expected = 'a whole byte count or a size text such as "8GiB"'
        if allow_auto:
            expected += ', or "auto"'
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            self.problem(place, f"must be {expected}")
            return None
        if isinstance(value, int):
            if not 0 <= value <= MAX_U64:
                self.problem(place, f"{value} is outside 0 to {MAX_U64}")
                return None
            if of != "card":
                return value
            value = str(value)  # no card is a few bytes: "24" was meant as 24GiB
        try:
            return parse_size(value, of=of)
        except ValueError as error:
            self.problem(place, str(error))
            return None

    def flag(self, data: Mapping[str, Any], key: str, place: str, default: bool) -> bool | None:
        return self._checked(
            data, key, place, default, lambda v: isinstance(v, bool), "must be true or false", bool
        )

    def text(
        self, data: Mapping[str, Any], key: str, place: str, default: str | None
    ) -> str | None:
        if key not in data:
            if default is None:
                self.problem(f"{place}.{key}", "missing")
            return default
        value = data[key]
        if not isinstance(value, str):
            self.problem(f"{place}.{key}", "must be a text")
            return None
        return value

    def whole(
        self,
        data: Mapping[str, Any],
        key: str,
        place: str,
        default: int,
        low: int,
        high: int | None = None,
    ) -> int | None:
        return self._checked(
            data,
            key,
            place,
            default,
            lambda v: (
                not isinstance(v, bool)
                and isinstance(v, int)
                and v >= low
                and (high is None or v <= high)
            ),
            f"must be a whole number from {low}" + (f" to {high}" if high is not None else " up"),
            int,
        )

    def seconds(
        self,
        data: Mapping[str, Any],
        key: str,
        place: str,
        default: float,
        allow_zero: bool = False,
    ) -> float | None:
        def good(v: object) -> bool:
            if isinstance(v, bool) or not isinstance(v, (int, float)):
                return False
            return math.isfinite(v) and (v >= 0 if allow_zero else v > 0)

        what = "a number of seconds, 0 or more" if allow_zero else "a number of seconds above 0"
        return self._checked(data, key, place, default, good, f"must be {what}", float)

    def _checked(
        self,
        data: Mapping[str, Any],
        key: str,
        place: str,
        default: T,
        good: Callable[[object], bool],
        message: str,
        kind: Callable[[Any], T],
    ) -> T | None:
        if key not in data:
            return default
        value = data[key]
        if not good(value):
            self.problem(f"{place}.{key}", f"{message}, not {_shown(value)}")
            return None
        return kind(value)


def parse_listen(text: str) -> tuple[str, int] | None:
    """HOST:PORT, with an IPv6 host in brackets ("[::1]:8080")."""
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isascii() or not port.isdigit():
        return None
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if int(port) > 65535 or not host:
        return None
    return host, int(port)


def _shown(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "a table"
    return "a " + type(value).__name__


def _known(value: T | None) -> T:
    assert value is not None
    return value
