"""Prometheus metrics of the host, in a registry of its own.

Card bytes, model states and waiting requests are read from the host when scraped, so they
cannot go stale; only what the Fleet does not keep (requests, loads and their durations) is
counted here as it happens.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from prometheus_client import CollectorRegistry, Counter, Histogram
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

from marlix.serve.host import Host

ROUTES = (
    "ready",
    "warming",
    "lost",
    "failed",
    "not_admitted",
    "not_declared",
    "unknown",
    "swapped_out",
    "draining",
)

# Request durations from a fraction of a millisecond (an error answered at once) to minutes
# (a long generation, or a wait for a load).
REQUEST_BUCKETS = (0.001, 0.005, 0.025, 0.1, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300, 600)
LOAD_BUCKETS = (1, 2.5, 5, 10, 30, 60, 120, 300, 600)


class Metrics:
    def __init__(self, host: Host) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        self.registry.register(_HostCollector(host))
        self.requests = Counter(
            "marlix_requests",
            "Requests through the front door, by model, route and status code.",
            ("model", "route", "code"),
            registry=self.registry,
        )
        self.request_seconds = Histogram(
            "marlix_request_duration_seconds",
            "Time from a request's arrival to the end of its answer, by model.",
            ("model",),
            buckets=REQUEST_BUCKETS,
            registry=self.registry,
        )
        self.loads = Counter(
            "marlix_loads",
            "Loads of a model that ended, by outcome (ready, failed).",
            ("model", "outcome"),
            registry=self.registry,
        )
        self.load_seconds = Histogram(
            "marlix_load_duration_seconds",
            "Time from a model process's start to its first healthy answer.",
            ("model",),
            buckets=LOAD_BUCKETS,
            registry=self.registry,
        )
        self.evictions = Counter(
            "marlix_evictions",
            "Models that left their card's working set, by reason (demand, idle).",
            ("model", "reason"),
            registry=self.registry,
        )
        self.host = host
        self._children: dict[tuple[str, str, int], tuple[Any, Any]] = {}

    def request(self, model: str, route: str, code: int, seconds: float) -> None:
        # A name that is not declared is counted under "", so that clients cannot make up
        # new series without end.
        label = model if model in self.host.records else ""
        key = (label, route, code)
        children = self._children.get(key)
        if children is None:
            # Looking a labelled child up costs more than counting: keep each one found.
            children = self._children[key] = (
                self.requests.labels(label, route, str(code)),
                self.request_seconds.labels(label),
            )
        children[0].inc()
        children[1].observe(seconds)


class _HostCollector(Collector):
    def __init__(self, host: Host) -> None:
        self.host = host

    def collect(self) -> Iterator[Metric]:
        host = self.host
        card = GaugeMetricFamily(
            "marlix_card_bytes", "Each card's bytes, by kind.", labels=["card", "kind"]
        )
        for each in host.cards:
            index = str(each.index)
            card.add_metric([index, "total"], each.total_bytes)
            card.add_metric([index, "usable"], each.plan["usable_bytes"])
            card.add_metric([index, "committed"], each.fleet.committed_bytes())
            card.add_metric([index, "free"], each.fleet.free_bytes())
        yield card
        state = GaugeMetricFamily(
            "marlix_model_state",
            "1 for the route each model is answered with now, 0 for the others.",
            labels=["card", "model", "state"],
        )
        restarts = CounterMetricFamily(
            "marlix_model_restarts",
            "Times a model that had been ready was lost and started again.",
            labels=["model"],
        )
        failed_loads = CounterMetricFamily(
            "marlix_model_failed_loads", "Loads of a model that failed.", labels=["model"]
        )
        now = host.clock()
        for record in host.records.values():
            current = host.route(record.name, now).route
            index = str(record.card.index) if record.admitted and not record.out else ""
            for route in ROUTES:
                if route != "not_declared":
                    value = 1.0 if route == current else 0.0
                    state.add_metric([index, record.name, route], value)
            restarts.add_metric([record.name], record.restarts)
            failed_loads.add_metric([record.name], record.failed_loads)
        yield state
        yield restarts
        yield failed_loads
        waiting = GaugeMetricFamily(
            "marlix_requests_waiting",
            "Requests waiting for their model to become ready, by model.",
            labels=["model"],
        )
        in_flight = GaugeMetricFamily(
            "marlix_requests_in_flight",
            "Requests forwarded to their model's process and not yet ended, by model.",
            labels=["model"],
        )
        for record in host.records.values():
            waiting.add_metric([record.name], record.waiting)
            in_flight.add_metric([record.name], record.in_flight)
        yield waiting
        yield in_flight
