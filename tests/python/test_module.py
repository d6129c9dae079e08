"""What a caller sees of the module object itself."""

import importlib.metadata
import inspect

import _marlix


def test_module_surface():
    assert _marlix.__all__ == ["plan", "Fleet", "__version__"]
    assert type(_marlix.__all__) is list
    assert _marlix.__version__ == "0.5.0"
    assert _marlix.__doc__ == ""
    public = [name for name in dir(_marlix) if not name.startswith("_")]
    assert public == ["Fleet", "plan"]


def test_version_matches_the_installed_distribution():
    try:
        installed = importlib.metadata.version("marlix")
    except importlib.metadata.PackageNotFoundError:
        return  # imported from a build tree
    assert installed == _marlix.__version__


def test_plan_function_record():
    plan = _marlix.plan
    assert plan.__module__ == "_marlix"
    assert plan.__name__ == "plan"
    assert plan.__self__ is _marlix
    assert plan.__doc__ == "Can this card hold this roster? Returns a JSON string."
    assert plan.__text_signature__ == "(total_bytes, reserve_pct, declared_json)"
    assert list(inspect.signature(plan).parameters) == [
        "total_bytes",
        "reserve_pct",
        "declared_json",
    ]


def test_internal_failure_type_is_not_a_module_attribute():
    assert "InternalError" not in dir(_marlix)


def test_second_initialisation_fails_and_first_module_keeps_working(run_python):
    result = run_python(
        """
        import sys
        import _marlix
        first = _marlix
        del sys.modules["_marlix"]
        try:
            import _marlix
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported twice")
        print(first.plan(2**34, 10, "[]")[:13])
        print("_marlix" in sys.modules)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == (
        "ImportError: the _marlix module can be initialised only once per interpreter process"
    )
    assert lines[1:] == ['{"admitted":[', "False"]
