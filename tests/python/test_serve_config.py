"""The host's configuration file: every problem named with its place, all at once, before
anything starts."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest
from marlix.errors import InputError

config = pytest.importorskip("marlix.serve.config")

GOOD = """
[card]
size = "24GiB"

[[models]]
name = "chat-8b"
weights_bytes = "8GiB"
kv_bytes = 2147483648
command = ["llama-server", "-m", "/models/chat-8b.gguf", "--port", "{port}"]
env = { OMP_NUM_THREADS = "4" }
"""


def parse(text: str):
    return config.parse_config(config.tomllib.loads(textwrap.dedent(text)), "serve.toml")


def problems(text: str) -> str:
    with pytest.raises(InputError) as raised:
        parse(text)
    message = str(raised.value)
    assert message.startswith("serve.toml: ")
    return message.removeprefix("serve.toml: ")


def test_a_good_file_and_its_defaults():
    read = parse(GOOD)
    assert read.card == config.CardConfig((24 * 2**30,), False, 10)
    assert read.server == config.ServerConfig()
    (chat,) = read.models
    assert (chat.weights_bytes, chat.kv_bytes, chat.need_bytes) == (8 * 2**30, 2**31, 10 * 2**30)
    assert chat.health == "/health" and chat.load_timeout_s == 300
    assert chat.argv(4321)[-2:] == ["--port", "4321"]
    assert json.loads(read.roster_json()) == [
        {"model": "chat-8b", "weightsBytes": 8 * 2**30, "kvBytes": 2**31}
    ]


@pytest.mark.parametrize(
    "change, expected",
    [
        ('[card]\nsize = "24 GB!"', "card.size: invalid size '24 GB!'"),
        ("[card]\nsize = true", "card.size: must be a whole byte count"),
        ("[card]\nsize = []", "card.size: an empty list names no card"),
        ('[card]\nsize = ["24GiB", "lots"]', "card.size[1]: invalid size 'lots'"),
        ('[card]\nsize = ["24GiB", "auto"]', "card.size[1]: invalid size 'auto'"),
        ("[card]\nsize = -1", "card.size: -1 is outside 0 to 18446744073709551615"),
        ('[card]\nsize = "auto"\nreserve_pct = 101', "card.reserve_pct: must be a whole number"),
        ('[card]\nsize = "auto"\nreserv_pct = 5', "card.reserv_pct: unknown key (expected one"),
        ('[server]\nlisten = "8080"', "server.listen: '8080' is not HOST:PORT"),
        ('[server]\nlisten = "localhost:70000"', "server.listen: 'localhost:70000' is not"),
        ("[server]\nwait_s = -1", "server.wait_s: must be a number of seconds, 0 or more, not -1"),
        ("[server]\nmax_waiting = 1.5", "server.max_waiting: must be a whole number from 0 up"),
        ("[server]\napi_key = 7", "server.api_key: must be a text"),
        ("[server]\nmax_body_bytes = 0", "server.max_body_bytes: must be a whole number from 1"),
        ("[severs]\nx = 1", "severs: unknown key (expected one of: card, server, models)"),
        ("[server]\nwait = 5", "server.wait: unknown key (expected one of: listen, api_key,"),
        ('[card]\nsize = "24GiB"\n[card.extra]\nx = 1', "card.extra: unknown key (expected one"),
        ('[server.tls]\ncert = "x"', "server.tls: unknown key (expected one of: listen, api_key,"),
        ('[server]\nready = "most"', 'server.ready: "most" is not "any" or "all"'),
        ("[server]\nready = 1", "server.ready: must be a text"),
        ('[server]\nswap = "yes"', 'server.swap: must be true or false, not "yes"'),
        ("[server]\nidle_unload_s = -1", "server.idle_unload_s: must be a number of seconds, 0"),
        ("[server]\nidle_unload_s = 60", "server.idle_unload_s: needs [server] swap = true"),
        ("[server]\nlog_dir = 7", "server.log_dir: must be a text"),
        ("[server]\nlog_max_bytes = 0", "server.log_max_bytes: must be 1 byte or more"),
        ('[server]\nlog_max_bytes = "10 MB!"', "server.log_max_bytes: invalid size '10 MB!'"),
        ("[server]\nlog_max_bytes = 1.5", "server.log_max_bytes: must be a whole byte count"),
        ("[server]\nlog_keep = -1", "server.log_keep: must be a whole number from 0 to 99, not -1"),
    ],
)
def test_a_bad_value_is_named_with_its_place(change, expected):
    card = "" if change.startswith("[card]") else '[card]\nsize = "24GiB"\n'
    models = GOOD[GOOD.index("[[models]]") :]
    assert expected in problems(card + change + "\n" + models)


MODEL_HEAD = '[card]\nsize = "24GiB"\n[[models]]\n'
GOOD_COMMAND = 'command = ["srv", "{port}"]\n'


@pytest.mark.parametrize(
    "entry, expected",
    [
        ("weights_bytes = 1\n" + GOOD_COMMAND, "models[0].name: missing"),
        ('name = ""\nweights_bytes = 1\n' + GOOD_COMMAND, "models[0].name: is empty"),
        ('name = "m"\n' + GOOD_COMMAND, "models[0].weights_bytes: missing"),
        ('name = "m"\nweights_bytes = "8 GiBs"\n' + GOOD_COMMAND, "models[0].weights_bytes:"),
        ('name = "m"\nweights_bytes = 1.5\n' + GOOD_COMMAND, "models[0].weights_bytes: must be"),
        ('name = "m"\nweights_bytes = 1\nkv_bytes = "x"\n' + GOOD_COMMAND, "models[0].kv_bytes:"),
        ('name = "m"\nweights_bytes = 1\n', "models[0].command: missing"),
        ('name = "m"\nweights_bytes = 1\ncommand = []\n', "models[0].command: must be a non-"),
        ('name = "m"\nweights_bytes = 1\ncommand = ["srv", 8080]\n', "models[0].command: must"),
        (
            'name = "m"\nweights_bytes = 1\ncommand = ["srv"]\n',
            'models[0].command: has no "{port}"',
        ),
        ('name = "m"\nweights_bytes = 1\nhealth = "health"\n' + GOOD_COMMAND, "models[0].health:"),
        ('name = "m"\nweights_bytes = 1\nload_timeout_s = 0\n' + GOOD_COMMAND, "load_timeout_s:"),
        ('name = "m"\nweights_bytes = 1\nenv = { A = 1 }\n' + GOOD_COMMAND, "models[0].env.A:"),
        ('name = "m"\nweights_byte = 1\n' + GOOD_COMMAND, "models[0].weights_byte: unknown key"),
        (
            'name = "m"\nweights_bytes = 1\n' + GOOD_COMMAND + "[models.limits]\nmemory = 1\n",
            "models[0].limits: unknown key (expected one of: name,",
        ),
        (
            'name = "m"\nfile = "m.gguf"\ncolour = "blue"\n' + GOOD_COMMAND,
            "models[0].colour: unknown key (expected one of: name,",
        ),
        ('name = "m"\nweights_bytes = 1\nenv = "A=1"\n' + GOOD_COMMAND, "models[0].env: must be"),
        (
            'name = "m"\nweights_bytes = 1\n' + GOOD_COMMAND + '[models.env.NESTED]\nB = "x"\n',
            "models[0].env.NESTED: must be a text",
        ),
        (
            'name = "m"\nweights_bytes = 1\nenv = { "A=B" = "x" }\n' + GOOD_COMMAND,
            "models[0].env.A=B: is not a usable environment variable",
        ),
        (
            'name = "m"\nweights_bytes = 1\nload = "later"\n' + GOOD_COMMAND,
            'models[0].load: "later"',
        ),
        ('name = "m"\nweights_bytes = 1\nload = "demand"\n' + GOOD_COMMAND, "needs [server] swap"),
        ('name = "m"\nweights_bytes = 1\npinned = 1\n' + GOOD_COMMAND, "models[0].pinned: must be"),
        ('name = "m"\nweights_bytes = 1\nidle_unload_s = -5\n' + GOOD_COMMAND, "idle_unload_s:"),
        (
            'name = "m"\nweights_bytes = 1\nidle_unload_s = 5\n' + GOOD_COMMAND,
            "needs [server] swap",
        ),
    ],
)
def test_a_bad_model_is_named_with_its_index(entry, expected):
    assert expected in problems(MODEL_HEAD + entry)


def test_every_problem_is_reported_at_once():
    text = """
        [card]
        size = "lots"
        [server]
        listen = "nowhere"
        [[models]]
        name = "a"
        weights_bytes = 1
        command = ["srv", "{port}"]
        [[models]]
        name = "a"
        weights_bytes = 1
        command = ["srv", "{port}"]
        [[models]]
        name = "c"
        weights_bytes = "8 GiBs"
        command = ["srv"]
        colour = "blue"
    """
    found = problems(text)
    places = [
        "card.size: invalid size 'lots'",
        "server.listen: 'nowhere' is not HOST:PORT",
        "models[1].name: 'a' is declared twice (first as models[0])",
        "models[2].colour: unknown key",
        "models[2].weights_bytes: invalid size '8 GiBs'",
        'models[2].command: has no "{port}"',
    ]
    assert all(found.count(place) == 1 for place in places), found
    assert sorted(places, key=found.index) == places  # in the file's order


@pytest.mark.parametrize(
    "size, expected",
    [
        ('"auto"', config.CardConfig((), True, 10)),
        ('["24GiB", 1048576]', config.CardConfig((24 * 2**30, 2**20), False, 10)),
        ("25769803776", config.CardConfig((24 * 2**30,), False, 10)),
    ],
)
def test_the_card_sizes(size, expected):
    assert parse(GOOD.replace('size = "24GiB"', f"size = {size}")).card == expected


def test_no_models_is_a_problem():
    assert problems('[card]\nsize = "24GiB"\n') == (
        "models: none declared (add a [[models]] table for each model)"
    )


def marlix(*args, env=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "marlix", *args],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
        cwd=cwd,
    )


def test_the_command_line_stops_with_status_2_and_one_line(tmp_path):
    (tmp_path / "serve.toml").write_text(
        '[card]\nsize = "lots"\n[[models]]\nname = "m"\nweights_bytes = 1\ncommand = ["x"]\n'
    )
    result = marlix("serve", "serve.toml", cwd=tmp_path)
    assert result.returncode == 2 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("marlix: serve.toml: card.size: invalid size")
    assert 'models[0].command: has no "{port}"' in lines[0]

    (tmp_path / "broken.toml").write_text("[card\n")
    result = marlix("serve", "broken.toml", cwd=tmp_path)
    assert result.returncode == 2 and result.stderr.startswith(
        "marlix: broken.toml: not valid TOML"
    )
    result = marlix("serve", "missing.toml", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        2,
        "marlix: missing.toml: No such file or directory\n",
    )
    assert marlix("serve", cwd=tmp_path).returncode == 2


def test_a_missing_extra_says_how_to_install_it(tmp_path):
    shadow = tmp_path / "aiohttp"
    shadow.mkdir()
    (shadow / "__init__.py").write_text(
        "raise ModuleNotFoundError(\"No module named 'aiohttp'\", name='aiohttp')\n"
    )
    env = {**os.environ, "PYTHONPATH": f"{tmp_path}:" + ":".join(sys.path)}
    result = marlix("serve", "--demo", env=env)
    assert (result.returncode, result.stderr) == (
        2,
        "marlix: marlix serve needs aiohttp; install it with: pip install 'marlix[serve]'\n",
    )


def test_a_card_of_auto_size_without_nvml_stops_with_status_2(tmp_path):
    (tmp_path / "pynvml.py").write_text("raise ImportError('no module named pynvml')\n")
    (tmp_path / "serve.toml").write_text(
        '[card]\nsize = "auto"\n[[models]]\nname = "m"\nweights_bytes = 1\n'
        'command = ["true", "{port}"]\n'
    )
    env = {**os.environ, "PYTHONPATH": f"{tmp_path}:" + ":".join(sys.path)}
    result = marlix("serve", "serve.toml", env=env, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        2,
        "marlix: card.size = \"auto\" needs NVML; install it with: pip install 'marlix[nvml]'\n",
    )


def executable(path, mode: int = 0o755):
    path.write_text("#!/bin/sh\n")
    path.chmod(mode)
    return path


@pytest.mark.parametrize(
    "program, model_path, expected",
    [
        ("srv", None, None),
        ("llama-server", None, "models[0].command: no program 'llama-server' on PATH"),
        ("{bin}/srv", None, None),
        ("{bin}/plain", None, "models[0].command: '{bin}/plain' is not executable"),
        ("{bin}/gone", None, "models[0].command: no program '{bin}/gone'"),
        ("plain", None, "models[0].command: 'plain' on PATH ({bin}/plain) is not executable"),
        ("own", "{other}", None),  # found on the PATH the model's env gives
        ("srv", "{other}", "models[0].command: no program 'srv' on PATH"),
    ],
)
def test_a_program_that_cannot_start_is_a_problem_of_the_file(
    tmp_path, monkeypatch, program, model_path, expected
):
    bin_dir, other = tmp_path / "bin", tmp_path / "other"
    bin_dir.mkdir()
    other.mkdir()
    executable(bin_dir / "srv")
    executable(bin_dir / "plain", 0o644)
    executable(other / "own")
    monkeypatch.setenv("PATH", str(bin_dir))
    fill = {"bin": str(bin_dir), "other": str(other)}
    entry = f'name = "m"\nweights_bytes = 1\ncommand = ["{program.format(**fill)}", "{{port}}"]\n'
    if model_path is not None:
        entry += f'env = {{ PATH = "{model_path.format(**fill)}" }}\n'
    data = config.tomllib.loads(MODEL_HEAD + entry)
    if expected is None:
        config.parse_config(data, "serve.toml", programs=True)
        return
    with pytest.raises(InputError) as raised:
        config.parse_config(data, "serve.toml", programs=True)
    assert str(raised.value) == "serve.toml: " + expected.format(**fill)


def test_a_missing_program_stops_marlix_serve_before_anything_starts(tmp_path):
    models = "".join(
        f'[[models]]\nname = "m{i}"\nweights_bytes = 1\ncommand = ["{p}", "{{port}}"]\n'
        for i, p in enumerate(("true", "sh", "llama-server"))
    )
    (tmp_path / "serve.toml").write_text('[card]\nsize = "24GiB"\n' + models)
    result = marlix("serve", "serve.toml", cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (
        2,
        "",
        "marlix: serve.toml: models[2].command: no program 'llama-server' on PATH\n",
    )
    # Printing the roster starts nothing, and needs no program.
    result = marlix("serve", "serve.toml", "--roster", cwd=tmp_path)
    assert result.returncode == 0 and [m["model"] for m in json.loads(result.stdout)] == [
        "m0",
        "m1",
        "m2",
    ]


def test_swapping_keys_and_their_defaults():
    read = parse(
        """
        [card]
        size = "24GiB"
        [server]
        swap = true
        idle_unload_s = 300
        [[models]]
        name = "a"
        weights_bytes = 1
        command = ["srv", "{port}"]
        [[models]]
        name = "b"
        weights_bytes = 1
        command = ["srv", "{port}"]
        load = "demand"
        pinned = true
        [[models]]
        name = "c"
        weights_bytes = 1
        command = ["srv", "{port}"]
        idle_unload_s = 0
        """
    )
    assert read.server.swap is True and read.server.idle_unload_s == 300
    a, b, c = read.models
    assert (a.load, a.pinned, b.load, b.pinned) == ("start", False, "demand", True)
    # A pinned model is never unloaded for idleness; a model's own value wins.
    assert [read.idle_unload_s(m) for m in read.models] == [300, 0, 0]
    assert parse(GOOD).server.swap is False


@pytest.mark.parametrize(
    "keys, expected",
    [
        ("", ("", 10 * 2**20, 3)),
        ('log_dir = "/var/log/marlix"', ("/var/log/marlix", 10 * 2**20, 3)),
        ('log_max_bytes = "1MiB"\nlog_keep = 0', ("", 2**20, 0)),
        ("log_max_bytes = 2000\nlog_keep = 99", ("", 2000, 99)),
        ('log_max_bytes = "512"', ("", 512, 3)),  # a bare number is bytes: a log may be small
    ],
)
def test_the_model_log_keys_and_their_defaults(keys, expected):
    read = parse(f'[card]\nsize = "24GiB"\n[server]\n{keys}\n' + GOOD[GOOD.index("[[models]]") :])
    assert (read.server.log_dir, read.server.log_max_bytes, read.server.log_keep) == expected


@pytest.mark.parametrize(
    "log_dir, expected",
    [
        ("{tmp}/logs", None),  # there already
        ("{tmp}/new/logs", None),  # made when first written to
        ("{tmp}/file", "server.log_dir: '{tmp}/file' is not a folder"),
        ("{tmp}/file/logs", "server.log_dir: '{tmp}/file/logs' cannot be created: '{tmp}/file' is"),
    ],
)
def test_a_log_dir_that_cannot_be_written_is_a_problem_of_the_file(tmp_path, log_dir, expected):
    (tmp_path / "logs").mkdir()
    (tmp_path / "file").write_text("")
    log_dir = log_dir.format(tmp=tmp_path)
    text = f'[card]\nsize = "24GiB"\n[server]\nlog_dir = "{log_dir}"\n'
    text += '[[models]]\nname = "m"\nweights_bytes = 1\ncommand = ["sh", "{port}"]\n'
    data = config.tomllib.loads(text)
    if expected is None:
        assert config.parse_config(data, "serve.toml", programs=True).server.log_dir == log_dir
        return
    with pytest.raises(InputError) as raised:
        config.parse_config(data, "serve.toml", programs=True)
    assert expected.format(tmp=tmp_path) in str(raised.value)
    # Only where the models would run: printing the roster writes nothing.
    assert config.parse_config(data, "serve.toml").server.log_dir == log_dir
