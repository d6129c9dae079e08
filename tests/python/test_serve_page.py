"""The status page in a real browser, against a small host whose /status the test rewrites."""

from __future__ import annotations

import asyncio
import copy
import json
import re
from collections.abc import Awaitable
from typing import Any

import pytest
from aiohttp import web
from marlix.serve.page import page_html
from serve_browser import Browser, Page

pytestmark = pytest.mark.host

GIB = 2**30
POLL_WAIT = 6.0  # the page polls every 2 s; three polls' worth before a change counts as missed
DASH = "\u2014"


def run(test: Awaitable[None]) -> None:
    async def bounded() -> None:
        await asyncio.wait_for(test, 30)

    asyncio.run(bounded())


def model(name: str, route: str, for_ms: int = 1_000, **fields: Any) -> dict[str, Any]:
    extra = {key: fields.pop(key) for key in ("endpoint", "reason") if key in fields}
    entry: dict[str, Any] = {
        "name": name,
        "route": {
            "route": route,
            "model": name,
            "ready": route == "ready",
            "try_elsewhere": route in ("lost", "failed"),
            "operator_fault": False,
            "for_ms": for_ms,
            **extra,
        },
        "for_ms": for_ms,
        "pid": None,
        "port": None,
        "restarts": 0,
        "last_failure": None,
    }
    entry.update(fields)
    return entry


def status(
    models: list[dict[str, Any]],
    total: int = 24 * GIB,
    usable: int = 22 * GIB,
    committed: int = 12 * GIB,
    explain: str = "2 of 2 models fit \u2014 10.0 GiB headroom",
) -> dict[str, Any]:
    return {
        "total_bytes": total,
        "plan": {
            "admitted": [m["name"] for m in models],
            "committed_bytes": committed,
            "declared": len(models),
            "explain": explain,
            "fits": True,
            "headroom_bytes": usable - committed,
            "rejected": [],
            "usable_bytes": usable,
        },
        "committed_bytes": committed,
        "free_bytes": usable - committed,
        "models": models,
    }


class Host:
    """Serves the page at / and whatever document (or failure) the test sets at /status."""

    def __init__(self, document: dict[str, Any]) -> None:
        self.document = document
        # None, "503" (the host answers but is not serving) or "drop" (the connection dies).
        self.failure: str | None = None
        self.polls = 0
        self._runner: web.AppRunner | None = None
        self.origin = ""

    async def _page(self, request: web.Request) -> web.Response:
        return web.Response(text=page_html(), content_type="text/html", charset="utf-8")

    async def _status(self, request: web.Request) -> web.StreamResponse:
        self.polls += 1
        if self.failure == "503":
            return web.json_response({"error": "shutting down"}, status=503)
        if self.failure == "drop":
            assert request.transport is not None
            request.transport.abort()
            raise ConnectionResetError("dropped by the test")
        return web.json_response(copy.deepcopy(self.document))

    async def __aenter__(self) -> Host:
        app = web.Application()
        app.router.add_get("/", self._page)
        app.router.add_get("/status", self._status)
        self._runner = web.AppRunner(app, handle_signals=False)
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        await site.start()
        self.origin = f"http://127.0.0.1:{self._runner.addresses[0][1]}"
        return self

    async def __aexit__(self, *exc: object) -> None:
        assert self._runner is not None
        await self._runner.cleanup()


def cells(name: str) -> str:
    """A JS expression: the texts of the row of model `name` by cell class, or null."""
    return f"""(() => {{
        const row = [...document.querySelectorAll("#rows tr[data-model]")]
            .find(r => r.getAttribute("data-model") === {json.dumps(name)});
        if (!row) return null;
        const out = {{}};
        for (const td of row.children) out[td.className] = td.textContent;
        return out;
    }})()"""


ROW_NAMES = """[...document.querySelectorAll("#rows tr[data-model]")]
    .map(r => r.getAttribute("data-model"))"""


PILL_COLOURS = """Object.fromEntries([...document.querySelectorAll("#rows tr[data-model]")]
    .map(r => [r.querySelector("td.state").textContent,
               getComputedStyle(r.querySelector("td.state > *")).backgroundColor]))"""


async def state_of(page: Page, name: str) -> str | None:
    row = await page.evaluate(cells(name))
    return None if row is None else str(row["state"])


async def wait_state(page: Page, name: str, state: str) -> dict[str, str]:
    expression = f"(() => {{ const c = {cells(name)}; return c && c.state === {json.dumps(state)}"
    row: dict[str, str] = await page.wait_for(expression + " ? c : null })()", POLL_WAIT)
    return row


def test_rows_follow_their_models_in_place() -> None:
    async def scenario() -> None:
        first = status(
            [
                model("alpha", "warming", 12_000, pid=4242, port=9001, card=0),
                model("beta", "not_admitted", 184_000, reason="does not fit"),
                model("gamma", "unknown", 7_500_000),
            ]
        )
        async with Host(first) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            assert await page.evaluate("document.title") == "marlix"
            alpha = await wait_state(page, "alpha", "warming")
            assert alpha == {
                "name": "alpha",
                "card": "0",
                "state": "warming",
                "for": "12 s",
                "endpoint": DASH,
                "pid": "4242",
                "restarts": "0",
                "failure": DASH,
            }
            beta = await page.evaluate(cells("beta"))
            assert (beta["state"], beta["for"], beta["pid"]) == ("not_admitted", "3 min 4 s", DASH)
            assert (await page.evaluate(cells("gamma")))["for"] == "2 h 5 min"
            assert await page.evaluate(ROW_NAMES) == ["alpha", "beta", "gamma"]

            # Tag alpha's row element and the window: a re-render from scratch or a reload
            # would lose them.
            await page.mark()
            await page.evaluate(
                """document.querySelector('#rows tr[data-model="alpha"]').__tag = "kept" """
            )
            navigations = page.navigations
            polls = host.polls

            endpoint = "http://127.0.0.1:9001/v1"
            host.document = status(
                [
                    model("alpha", "ready", 3_000, pid=4242, port=9001, endpoint=endpoint),
                    model("beta", "not_admitted", 186_000),
                    model("gamma", "unknown", 7_502_000),
                ]
            )
            alpha = await wait_state(page, "alpha", "ready")
            assert (alpha["endpoint"], alpha["for"]) == (endpoint, "3 s")
            assert await page.evaluate(
                """document.querySelector('#rows tr[data-model="alpha"]').__tag === "kept" """
            )

            # A failure appears, beta leaves the roster and a new model comes first.
            host.document = status(
                [
                    model("delta", "lost", 500),
                    model(
                        "alpha",
                        "failed",
                        65_000,
                        restarts=2,
                        last_failure="exited with status 1 after 4 s",
                    ),
                    model("gamma", "not_declared", 7_504_000),
                ]
            )
            alpha = await wait_state(page, "alpha", "failed")
            assert (alpha["failure"], alpha["restarts"], alpha["pid"], alpha["for"]) == (
                "exited with status 1 after 4 s",
                "2",
                DASH,
                "1 min 5 s",
            )
            assert await page.evaluate(ROW_NAMES) == ["delta", "alpha", "gamma"]
            assert await page.evaluate(
                """document.querySelector('#rows tr[data-model="alpha"]').__tag === "kept" """
            )

            # Each state a person must tell apart at a glance has a colour of its own; the
            # two that mean "gone" share one.
            colours = await page.evaluate(PILL_COLOURS)
            assert colours["lost"] == colours["failed"] != colours["not_declared"], colours
            host.document = status(
                [
                    model("alpha", "ready", 0),
                    model("delta", "warming", 0),
                    model("gamma", "unknown", 0),
                ]
            )
            await wait_state(page, "delta", "warming")
            colours.update(await page.evaluate(PILL_COLOURS))
            distinct = {colours[s] for s in ("ready", "warming", "lost", "not_declared", "unknown")}
            assert len(distinct) == 5, colours
            assert await page.evaluate(ROW_NAMES) == ["alpha", "delta", "gamma"]

            assert await page.still_marked()
            assert page.navigations == navigations == 1
            assert host.polls > polls
            # Everything the page asked for came from its own host: itself and /status.
            requested = set(page.requests)
            assert requested == {host.origin + "/", host.origin + "/status"}, requested

    run(scenario())


def test_bar_shows_the_card_in_proportion() -> None:
    explain = "3 of 4 models fit \u2014 6.5 GiB headroom\nrejected: big (short by 1.0 GiB)"
    doc = status([model("alpha", "ready")], committed=15 * GIB + GIB // 2, explain=explain)

    async def measured(page: Page) -> dict[str, Any]:
        value: dict[str, Any] = await page.evaluate(
            """(() => {
                const width = (el) => el.getBoundingClientRect().width;
                const out = {bar: width(document.getElementById("bar"))};
                for (const part of ["committed", "free", "reserve", "total"]) {
                    const seg = document.querySelector("#bar .seg." + part);
                    if (seg) out[part] = width(seg);
                    out[part + "_figure"] =
                        document.querySelector("#legend ." + part + " .figure").textContent;
                }
                return out;
            })()"""
        )
        return value

    def assert_proportional(bar: dict[str, Any], parts: dict[str, int]) -> None:
        total = sum(parts.values())
        assert abs(bar["committed"] + bar["free"] + bar["reserve"] - bar["bar"]) < 1.0, bar
        for part, size in parts.items():
            assert abs(bar[part] - bar["bar"] * size / total) < 1.0, (part, bar)

    async def scenario() -> None:
        async with Host(doc) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            await page.wait_for(
                "document.querySelector('#legend .total .figure').textContent.includes('GiB')",
                POLL_WAIT,
            )
            bar = await measured(page)
            assert bar["bar"] > 300
            assert (
                bar["committed_figure"],
                bar["free_figure"],
                bar["reserve_figure"],
                bar["total_figure"],
            ) == ("15.5 GiB", "6.5 GiB", "2.0 GiB", "24.0 GiB")
            assert_proportional(bar, {"committed": 31, "free": 13, "reserve": 4})

            # The summary keeps its lines and its dash as they came.
            assert await page.evaluate("document.getElementById('explain').textContent") == (
                explain
            )
            assert await page.evaluate(
                "getComputedStyle(document.getElementById('explain')).whiteSpace"
            ) in ("pre", "pre-wrap")

            # Nothing committed yet: that part takes no room at all.
            host.document = status([], total=80 * GIB, usable=76 * GIB, committed=0)
            await page.wait_for(
                "document.querySelector('#legend .total .figure').textContent === '80.0 GiB'",
                POLL_WAIT,
            )
            bar = await measured(page)
            assert (bar["committed_figure"], bar["free_figure"], bar["reserve_figure"]) == (
                "0.0 GiB",
                "76.0 GiB",
                "4.0 GiB",
            )
            assert bar["committed"] == 0
            assert_proportional(bar, {"committed": 0, "free": 76, "reserve": 4})
            assert await page.evaluate(ROW_NAMES) == []

    run(scenario())


def test_each_card_has_its_bar() -> None:
    def card(index: int, total: int, usable: int, committed: int) -> dict[str, Any]:
        one = status([], total=total, usable=usable, committed=committed, explain=f"card {index}")
        return {
            "index": index,
            **{k: one[k] for k in ("total_bytes", "plan")},
            **{"committed_bytes": committed, "free_bytes": usable - committed},
        }

    cards = [card(0, 24 * GIB, 22 * GIB, 12 * GIB), card(1, 80 * GIB, 76 * GIB, 0)]
    doc = {**status([model("alpha", "ready", card=1)]), "cards": cards}
    shown = """[...document.querySelectorAll("section.card")].map(s => [
        s.querySelector(".heading").textContent,
        s.querySelector(".legend .committed .figure").textContent,
        s.querySelector(".legend .free .figure").textContent,
        s.querySelector(".explain").textContent])"""

    async def scenario() -> None:
        async with Host(doc) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            await page.wait_for("document.querySelectorAll('section.card').length === 2", POLL_WAIT)
            assert await page.evaluate(shown) == [
                ["Card 0 \u00b7 24.0 GiB", "12.0 GiB", "10.0 GiB", "card 0"],
                ["Card 1 \u00b7 80.0 GiB", "0.0 GiB", "76.0 GiB", "card 1"],
            ]
            assert (await page.evaluate(cells("alpha")))["card"] == "1"
            # Back to one card: the second bar goes, and the first is the card's again.
            host.document = {**doc, "cards": cards[:1]}
            await page.wait_for("document.querySelectorAll('section.card').length === 1", POLL_WAIT)
            assert (await page.evaluate(shown))[0][0] == "Card"

    run(scenario())


def test_text_from_the_host_is_shown_literally() -> None:
    name = "<b>x</b>&amp;"
    failure = '<img src=x onerror="window.__injected = 1">'
    endpoint = '"><script>window.__injected = 2</script>'
    explain = "<i>plan</i> &lt; &"
    doc = status([model(name, "failed", endpoint=endpoint, last_failure=failure)], explain=explain)

    async def scenario() -> None:
        async with Host(doc) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            row = await wait_state(page, name, "failed")
            assert (row["name"], row["endpoint"], row["failure"]) == (name, endpoint, failure)
            assert await page.evaluate("document.getElementById('explain').textContent") == (
                explain
            )
            made = await page.evaluate(
                "document.querySelectorAll('#rows b, #rows img, #rows script, #explain i').length"
            )
            assert made == 0
            assert await page.evaluate("window.__injected === undefined")
            assert set(page.requests) <= {host.origin + "/", host.origin + "/status"}

    run(scenario())


def test_unreachable_host_marks_the_rows_stale_until_it_answers_again() -> None:
    doc = status([model("alpha", "warming", 2_000, pid=77)])
    stale = "document.body.classList.contains('stale')"
    line = "document.getElementById('updated').textContent"

    async def scenario() -> None:
        async with Host(doc) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            await wait_state(page, "alpha", "warming")
            assert not await page.evaluate(stale)
            assert (await page.evaluate(line)).startswith("updated ")

            shown = "warming"
            for failure, then in (("503", "ready"), ("drop", "failed")):
                host.failure = failure
                await page.wait_for(stale, POLL_WAIT)
                assert "unreachable" in await page.evaluate(line)
                # The last rows stay, visibly dimmed.
                assert await state_of(page, "alpha") == shown
                opacity = await page.evaluate(
                    "getComputedStyle(document.querySelector('#rows')).opacity"
                )
                assert float(opacity) < 1

                # It recovers on its own, with what the host says now.
                host.document = status([model("alpha", then, 1_000)])
                host.failure = None
                await page.wait_for(f"!{stale}", POLL_WAIT)
                assert (await page.evaluate(line)).startswith("updated ")
                assert await state_of(page, "alpha") == then
                shown = then

            assert page.navigations == 1

    run(scenario())


def test_the_page_refers_to_nothing_outside_itself() -> None:
    html = page_html()
    assert "://" not in html
    # Only inline data may be referred to (the empty icon).
    links = re.findall(r"\b(?:src|href|srcset|action)\s*=\s*[\"']?([^\"'\s>]*)", html, re.I)
    assert all(link.startswith("data:") for link in links), links
    assert not re.search(r"url\(|@import", html, re.IGNORECASE)
    # The one address it asks for is relative: the host's own status.
    assert re.findall(r"fetch\(\s*(\"[^\"]*\"|'[^']*')", html) == ['"status"']


def test_with_an_api_key_the_page_asks_for_it_once_a_session(tmp_path) -> None:
    from serve_host import config as serve_config
    from serve_host import model as serve_model
    from serve_host import serving

    text = serve_config(serve_model("chat", "--load-s", "0"), api_key="s3cret")
    give = """(() => {{ document.getElementById("key-input").value = {key};
        document.getElementById("key").requestSubmit(); return true; }})()"""
    form_shown = '!document.getElementById("key").hidden'
    with serving(tmp_path, text, key="s3cret") as served:
        served.wait_for("chat", "ready")

        async def scenario() -> None:
            async with Browser() as browser:
                page = await browser.open(served.url + "/")
                assert await page.wait_for(form_shown, POLL_WAIT)
                # Nothing of the host is shown before the key is given.
                assert await page.evaluate(ROW_NAMES) == []
                await page.evaluate(give.format(key='"wrong"'))
                why = 'document.getElementById("key-why").textContent'
                assert await page.wait_for(f'{why} === "that key is not this host\'s"', POLL_WAIT)
                await page.evaluate(give.format(key='"s3cret"'))
                row = await wait_state(page, "chat", "ready")
                assert row["pid"] == str(served.model("chat")["pid"])
                # Kept for the browser session: a reload asks no more.
                await page.navigate(served.url + "/")
                await wait_state(page, "chat", "ready")
                assert not await page.evaluate(form_shown)

        run(scenario())
