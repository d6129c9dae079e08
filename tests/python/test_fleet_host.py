"""One typical host session, with every answer checked in full."""

import json

import _marlix
from samples import CARD, GIB
from samples import WORKED_ROSTER as ROSTER

USABLE = 23192823406


def test_typical_host_sequence():
    assert json.loads(_marlix.plan(CARD, 10, ROSTER))["admitted"] == ["a", "c"]

    fleet = _marlix.Fleet(CARD, 10, ROSTER)
    assert fleet.committed_bytes() == 0
    assert fleet.free_bytes() == USABLE
    assert fleet.next_to_load() == "a"

    assert fleet.observe("a", "load_started", "{}", 1_000) is None
    assert fleet.route("a", 4_500) == (
        '{"for_ms":3500,"model":"a","operator_fault":false,"ready":false,'
        '"route":"warming","try_elsewhere":false}'
    )
    # Loading holds nothing yet: VRAM is counted once a probe has measured it.
    assert (fleet.committed_bytes(), fleet.free_bytes()) == (0, USABLE)
    assert fleet.next_to_load() == "c"

    assert fleet.observe("a", "probe_ok", json.dumps({"vramBytes": 10 * GIB}), 5_000) is None
    # Resident but with no endpoint yet: nowhere to send it.
    assert fleet.route("a", 5_500) == (
        '{"model":"a","operator_fault":false,"ready":false,"route":"unknown","try_elsewhere":true}'
    )
    assert fleet.set_endpoint("a", "http://127.0.0.1:8001") is None
    assert fleet.route("a", 6_000) == (
        '{"endpoint":"http://127.0.0.1:8001","model":"a","operator_fault":false,'
        '"ready":true,"route":"ready","try_elsewhere":false}'
    )
    assert fleet.route("b", 6_000) == (
        '{"model":"b","operator_fault":false,"ready":false,"route":"not_admitted",'
        '"short_bytes":4724464018,"try_elsewhere":true}'
    )
    assert fleet.route("A", 6_000) == (
        '{"model":"A","operator_fault":false,"ready":false,"route":"not_declared",'
        '"try_elsewhere":true}'
    )

    assert fleet.committed_bytes() == 10 * GIB
    assert fleet.free_bytes() == USABLE - 10 * GIB
    assert fleet.next_to_load() == "c"

    assert fleet.report(65_000) == (
        "10.0 / 21.6 GiB held  (3 declared, 2 admitted)\n"
        "  a                            resident for 60s\n"
        "  b                            not admitted \u2014 short by 4.4 GiB\n"
        "  c                            never probed\n"
    )

    fleet.observe("c", "loadFailed", '{"detail": "CUDA out of memory"}', 70_000)
    assert fleet.route("c", 70_001) == (
        '{"model":"c","operator_fault":true,"ready":false,"reason":"CUDA out of memory",'
        '"route":"failed","try_elsewhere":true}'
    )
    fleet.observe("a", "probe_failed", '{"gpuPresent": false}', 71_000)
    assert fleet.route("a", 71_000) == (
        '{"model":"a","operator_fault":false,"ready":false,"reason":"gpu_detached",'
        '"route":"lost","try_elsewhere":true}'
    )
    assert fleet.committed_bytes() == 0
    assert fleet.next_to_load() == "a"
