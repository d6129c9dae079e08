import subprocess
import sys
import textwrap

# A user's module typed against the installed package: every line must check under --strict.
TYPED_USE = """
    import json
    from typing import Optional

    import _marlix
    import marlix
    from marlix import Fleet, PlanDocument, RouteDocument, parse_size

    fleet = Fleet(parse_size("24GiB"), 10, "[]")
    fleet.observe("m", "probe_ok", "{}", now=1)
    fleet.set_endpoint(model="m", endpoint="http://127.0.0.1:8001")
    route: RouteDocument = json.loads(fleet.route("m", 0))
    if route["route"] == "ready":
        endpoint: str = route["endpoint"]
    elif route["route"] == "lost":
        operator_fault: bool = route["operator_fault"]
    document: PlanDocument = json.loads(marlix.plan(1, 2, "[]"))
    shortfalls: list[int] = [entry["short_bytes"] for entry in document["rejected"]]
    candidate: Optional[str] = fleet.next_to_load()
    held: int = fleet.committed_bytes() + fleet.free_bytes()
    text: str = fleet.report(0) + _marlix.__version__
"""

# Mistakes the stubs and document types must catch, one a line after the header.
HEADER = [
    "import json",
    "from marlix import Fleet, RouteDocument, plan",
    "fleet = Fleet(1, 2, '[]')",
    "route: RouteDocument = json.loads(fleet.route('m', 0))",
]
MISTAKES = [
    'fleet.route("m")',  # no time
    'fleet.report("0")',  # a text is not an integer
    "name: str = fleet.next_to_load()",  # may be None
    'route["endpoint"]',  # only a ready route has an endpoint
    "Fleet(1, 2)",  # no roster
    "plan(total_bytes=1, reserve=2, declared_json='[]')",  # no such parameter
    "fleet.extra = 1",  # no such attribute
]


def run_mypy(tmp_path, source):
    (tmp_path / "use.py").write_text(textwrap.dedent(source), "utf-8")
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"]
    return subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=300)


def test_stubtest_agrees_with_the_runtime_module(tmp_path):
    command = [sys.executable, "-m", "mypy.stubtest", "_marlix"]
    result = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_types_check_a_typical_use(tmp_path):
    result = run_mypy(tmp_path, TYPED_USE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_types_catch_mistakes(tmp_path):
    result = run_mypy(tmp_path, "\n".join(HEADER + MISTAKES))
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    reported = {int(line.split(":")[1]) for line in errors}
    assert reported == set(range(len(HEADER) + 1, len(HEADER) + len(MISTAKES) + 1)), errors
