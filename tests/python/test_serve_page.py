"""The status page in a real browser: against a small host whose /status the test rewrites, and
against a real `marlix serve`."""

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

pytestmark = [pytest.mark.host, pytest.mark.browser]

GIB = 2**30
POLL_WAIT = 6.0  # the page polls every 2 s; three polls' worth before a change counts as missed
DASH = "\u2014"


def run(test: Awaitable[None]) -> None:
    async def bounded() -> None:
        await asyncio.wait_for(test, 30)

    asyncio.run(bounded())


# The state the host words each route as, unless a test says otherwise.
WORDS = {
    "ready": "ready",
    "warming": "loading",
    "lost": "lost",
    "failed": "failed",
    "not_admitted": "not admitted",
    "unknown": "waiting to load",
    "swapped_out": "swapped out",
    "draining": "draining",
}


def model(name: str, route: str, for_ms: int = 1_000, **fields: Any) -> dict[str, Any]:
    extra = {key: fields.pop(key) for key in ("endpoint", "reason") if key in fields}
    entry: dict[str, Any] = {
        "name": name,
        "state": WORDS.get(route, route),
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
        "vram_bytes": None,
        "next_try_ms": None,
        "restarts": 0,
        "failed_loads": 0,
        "last_failure": None,
        "in_flight": 0,
        "waiting": 0,
        "last_used_ms": None,
    }
    entry.update(fields)
    return entry


def status(
    models: list[dict[str, Any]],
    total: int = 24 * GIB,
    usable: int = 22 * GIB,
    committed: int = 12 * GIB,
    planned: int | None = None,
    explain: str = "2 of 2 models fit \u2014 10.0 GiB headroom",
) -> dict[str, Any]:
    """A host's status: `committed` is what its models hold now, `planned` what the plan set
    aside for them (the same unless given)."""
    planned = committed if planned is None else planned
    return {
        "version": "9.8.7",
        "uptime_ms": 3_723_000,
        "waiting": 2,
        "total_bytes": total,
        "plan": {
            "admitted": [m["name"] for m in models],
            "committed_bytes": planned,
            "declared": len(models),
            "explain": explain,
            "fits": True,
            "headroom_bytes": usable - planned,
            "rejected": [],
            "usable_bytes": usable,
        },
        "committed_bytes": committed,
        "free_bytes": usable - committed,
        "models": models,
    }


class Host:
    """Serves the page at / and whatever document (or failure) the test sets at /status."""

    def __init__(self, document: dict[str, Any], logs: dict[str, str] | None = None) -> None:
        self.document = document
        self.logs = logs or {}  # each model's output, as /models/{name}/log gives it
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

    async def _log(self, request: web.Request) -> web.Response:
        name = request.match_info["name"]
        if name not in self.logs:
            return web.json_response({"error": {"code": "model_not_found"}}, status=404)
        return web.Response(text=self.logs[name], content_type="text/plain", charset="utf-8")

    async def __aenter__(self) -> Host:
        app = web.Application()
        app.router.add_get("/", self._page)
        app.router.add_get("/status", self._status)
        app.router.add_get("/models/{name:.+}/log", self._log)
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
    """A JS expression: the texts of the row of model `name` by cell class, or null. The state
    is its word, and its notes are "next" and "waiting"."""
    return f"""(() => {{
        const row = [...document.querySelectorAll("#rows tr[data-model]")]
            .find(r => r.getAttribute("data-model") === {json.dumps(name)});
        if (!row) return null;
        const out = {{}};
        for (const td of row.children) out[td.classList[0]] = td.textContent;
        const state = row.querySelector("td.state");
        out.state = state.querySelector(".pill").textContent;
        out.next = state.querySelector(".next").textContent;
        out.waiting = state.querySelector(".waiting").textContent;
        return out;
    }})()"""


ROW_NAMES = """[...document.querySelectorAll("#rows tr[data-model]")]
    .map(r => r.getAttribute("data-model"))"""

HOST_LINE = """document.getElementById("host").textContent.replace(/\\s+/g, " ").trim()"""


PILL_COLOURS = """Object.fromEntries([...document.querySelectorAll("#rows tr[data-model]")]
    .map(r => [r.querySelector("td.state .pill").textContent,
               getComputedStyle(r.querySelector("td.state .pill")).backgroundColor]))"""


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
                model("alpha", "warming", 12_000, pid=4242, port=9001, card=0, waiting=1),
                model("beta", "not_admitted", 184_000, reason="does not fit"),
                model("gamma", "unknown", 7_500_000),
            ]
        )
        async with Host(first) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            assert await page.evaluate("document.title") == "marlix"
            alpha = await wait_state(page, "alpha", "loading")
            assert alpha == {
                "name": "alpha",
                "card": "0",
                "state": "loading",
                "next": "",
                "waiting": "1 request waiting",
                "for": "12 s",
                "vram": DASH,
                "flight": "0",
                "endpoint": DASH,
                "pid": "4242",
                "restarts": "0",
                "failed": "0",
                "failure": DASH,
                "log": "log",
            }
            beta = await page.evaluate(cells("beta"))
            assert (beta["state"], beta["for"], beta["pid"]) == ("not admitted", "3 min 4 s", DASH)
            gamma = await page.evaluate(cells("gamma"))
            assert (gamma["state"], gamma["for"]) == ("waiting to load", "2 h 5 min")
            assert await page.evaluate(ROW_NAMES) == ["alpha", "beta", "gamma"]
            # The host's own line.
            assert await page.evaluate(HOST_LINE) == (
                "version 9.8.7 \u00b7 up 1 h 2 min \u00b7 2 requests waiting"
                " \u00b7 status \u00b7 metrics"
            )

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
                    model(
                        "alpha",
                        "ready",
                        3_000,
                        pid=4242,
                        port=9001,
                        endpoint=endpoint,
                        vram_bytes=9 * GIB + GIB // 2,
                        in_flight=3,
                    ),
                    model("beta", "not_admitted", 186_000),
                    model("gamma", "unknown", 7_502_000, state="stopped"),
                ]
            )
            alpha = await wait_state(page, "alpha", "ready")
            assert (alpha["endpoint"], alpha["for"], alpha["vram"], alpha["flight"]) == (
                endpoint,
                "3 s",
                "9.5 GiB",
                "3",
            )
            assert alpha["waiting"] == ""
            assert (await page.evaluate(cells("gamma")))["state"] == "stopped"
            assert await page.evaluate(
                """document.querySelector('#rows tr[data-model="alpha"]').__tag === "kept" """
            )

            # A failure appears, beta leaves the roster and a new model comes first.
            host.document = status(
                [
                    model("delta", "lost", 500, next_try_ms=0),
                    model(
                        "alpha",
                        "failed",
                        65_000,
                        restarts=2,
                        failed_loads=5,
                        next_try_ms=12_400,
                        last_failure="exited with status 1 after 4 s",
                    ),
                    model("gamma", "unknown", 7_504_000, state="stopped"),
                ]
            )
            alpha = await wait_state(page, "alpha", "failed")
            assert {k: alpha[k] for k in ("failure", "restarts", "failed", "pid", "for")} == {
                "failure": "exited with status 1 after 4 s",
                "restarts": "2",
                "failed": "5",
                "pid": DASH,
                "for": "1 min 5 s",
            }
            # Never "in 0 s" while time is left: whole seconds, rounded up.
            assert alpha["next"] == "next try in 13 s"
            assert (await page.evaluate(cells("delta")))["next"] == "next try now"
            assert await page.evaluate(ROW_NAMES) == ["delta", "alpha", "gamma"]
            assert await page.evaluate(
                """document.querySelector('#rows tr[data-model="alpha"]').__tag === "kept" """
            )

            assert await page.still_marked()
            assert page.navigations == navigations == 1
            assert host.polls > polls
            # Everything the page asked for came from its own host: itself and /status.
            requested = set(page.requests)
            assert requested == {host.origin + "/", host.origin + "/status"}, requested

    run(scenario())


def test_each_state_has_its_own_colour() -> None:
    states = ["ready", "warming", "unknown", "failed", "lost", "not_admitted", "swapped_out"]
    models = [model(f"m{i}", route) for i, route in enumerate(states)]
    models.append(model("stopped", "unknown", state="stopped"))
    models.append(model("draining", "draining"))
    models.append(model("new", "ready", state="resting"))  # a word this page does not know

    async def scenario() -> None:
        async with Host(status(models)) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            await wait_state(page, "new", "resting")
            colours = await page.evaluate(PILL_COLOURS)
            words = set(WORDS.values()) | {"stopped"}
            assert set(colours) == words | {"resting"}
            assert len({colours[word] for word in words}) == len(words), colours
            # An unknown word is shown as it is, without a colour of its own.
            assert colours["resting"] == "rgba(0, 0, 0, 0)"

    run(scenario())


BAR = """(() => {
    const width = (el) => el.getBoundingClientRect().width;
    const bar = document.getElementById("bar");
    const out = {bar: width(bar), parts: [...bar.children].map(seg =>
        [seg.getAttribute("data-model") || seg.classList[1], width(seg), seg.textContent])};
    for (const part of ["held", "free", "reserve", "total", "planned"]) {
        const item = document.querySelector("#legend ." + part);
        out[part] = [item.textContent.replace(/\\s+/g, " ").trim(),
            item.querySelector(".figure").textContent];
    }
    return out;
})()"""


def test_bar_shows_the_card_by_model_and_names_what_is_held_and_what_is_planned() -> None:
    explain = "3 of 4 models fit \u2014 6.5 GiB headroom\nrejected: big (short by 1.0 GiB)"
    models = [
        model("alpha", "ready", vram_bytes=10 * GIB),
        model("beta", "warming"),
        model("gamma", "ready", vram_bytes=5 * GIB + GIB // 2),
    ]
    doc = status(models, committed=15 * GIB + GIB // 2, planned=19 * GIB, explain=explain)

    def assert_proportional(bar: dict[str, Any], parts: dict[str, float]) -> None:
        assert [name for name, _, _ in bar["parts"]] == list(parts)
        total = sum(parts.values())
        assert abs(sum(width for _, width, _ in bar["parts"]) - bar["bar"]) < 1.0, bar
        for (name, width, _), size in zip(bar["parts"], parts.values()):
            assert abs(width - bar["bar"] * size / total) < 1.0, (name, bar)

    async def scenario() -> None:
        async with Host(doc) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            await page.wait_for(
                "document.querySelector('#legend .total .figure').textContent.includes('GiB')",
                POLL_WAIT,
            )
            bar = await page.evaluate(BAR)
            assert bar["bar"] > 300
            # The two figures are named apart: what the models hold now, what the plan set aside.
            assert (bar["held"], bar["planned"]) == (
                ["held now 15.5 GiB", "15.5 GiB"],
                ["set aside by the plan 19.0 GiB", "19.0 GiB"],
            )
            assert [bar[p][1] for p in ("free", "reserve", "total")] == [
                "6.5 GiB",
                "2.0 GiB",
                "24.0 GiB",
            ]
            # One part per model holding memory, by what it holds; then free, then reserve.
            assert_proportional(bar, {"alpha": 10, "gamma": 5.5, "free": 6.5, "reserve": 2})
            assert [text for _, _, text in bar["parts"]][:2] == ["alpha 10.0 GiB", "gamma 5.5 GiB"]
            # The row's swatch has its part's colour.
            swatch = """getComputedStyle(document.querySelector(
                '#rows tr[data-model="gamma"] td.vram .swatch')).backgroundColor"""
            part = """getComputedStyle(document.querySelector(
                '#bar .seg[data-model="gamma"]')).backgroundColor"""
            assert await page.evaluate(swatch) == await page.evaluate(part)

            # The summary keeps its lines and its dash as they came.
            assert await page.evaluate("document.getElementById('explain').textContent") == (
                explain
            )
            assert await page.evaluate(
                "getComputedStyle(document.getElementById('explain')).whiteSpace"
            ) in ("pre", "pre-wrap")

            # Memory held that no model row accounts for still takes its place.
            host.document = status(
                [model("alpha", "ready", vram_bytes=10 * GIB)], committed=12 * GIB, planned=12 * GIB
            )
            await page.wait_for("document.querySelector('#bar .seg.other') !== null", POLL_WAIT)
            assert_proportional(
                await page.evaluate(BAR), {"alpha": 10, "other": 2, "free": 10, "reserve": 2}
            )

            # Nothing held: the bar is free and reserve alone.
            host.document = status([], total=80 * GIB, usable=76 * GIB, committed=0)
            await page.wait_for(
                "document.querySelector('#legend .total .figure').textContent === '80.0 GiB'",
                POLL_WAIT,
            )
            bar = await page.evaluate(BAR)
            assert [bar[p][1] for p in ("held", "free", "reserve", "planned")] == [
                "0.0 GiB",
                "76.0 GiB",
                "4.0 GiB",
                "0.0 GiB",
            ]
            assert_proportional(bar, {"free": 76, "reserve": 4})
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
        s.querySelector(".legend .held .figure").textContent,
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
    output = "2026-01-01T00:00:00.000Z stderr <script>window.__injected = 3</script>\n"
    doc = status([model(name, "failed", endpoint=endpoint, last_failure=failure)], explain=explain)

    async def scenario() -> None:
        async with Host(doc, logs={name: output}) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            row = await wait_state(page, name, "failed")
            assert (row["name"], row["endpoint"], row["failure"]) == (name, endpoint, failure)
            assert await page.evaluate("document.getElementById('explain').textContent") == (
                explain
            )
            await page.evaluate("document.querySelector('#rows td.log button').click()")
            shown = "document.getElementById('log-text').textContent"
            assert await page.wait_for(f"{shown} === {json.dumps(output)}", POLL_WAIT)
            assert await page.evaluate("document.getElementById('log-name').textContent") == name
            made = await page.evaluate(
                "document.querySelectorAll("
                "'#rows b, #rows img, #rows script, #explain i, #log-panel script').length"
            )
            assert made == 0
            assert await page.evaluate("window.__injected === undefined")
            log = host.origin + "/models/%3Cb%3Ex%3C%2Fb%3E%26amp%3B/log"
            assert set(page.requests) <= {host.origin + "/", host.origin + "/status", log}

    run(scenario())


def test_unreachable_host_marks_the_rows_stale_until_it_answers_again() -> None:
    doc = status([model("alpha", "warming", 2_000, pid=77)])
    stale = "document.body.classList.contains('stale')"
    line = "document.getElementById('updated').textContent"

    async def scenario() -> None:
        async with Host(doc) as host, Browser() as browser:
            page = await browser.open(host.origin + "/")
            await wait_state(page, "alpha", "loading")
            assert not await page.evaluate(stale)
            assert (await page.evaluate(line)).startswith("updated ")

            shown = "loading"
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
    # Only inline data (the empty icon) and the host's own documents may be referred to.
    links = re.findall(r"\b(?:src|href|srcset|action)\s*=\s*[\"']?([^\"'\s>]*)", html, re.I)
    assert sorted(links) == ["data:,", "metrics", "status"], links
    assert not re.search(r"url\(|@import", html, re.IGNORECASE)
    # What it asks for is relative: the host's own status, and a model's output.
    assert re.findall(r"fetch\(\s*(\"[^\"]*\"|'[^']*')", html) == ['"models/"', '"status"']


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
        # The page itself carries nothing of the host.
        code, _, body = served.get("/", headers={})
        assert code == 200 and b'id="initial">null</script>' in body and b"chat" not in body

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


@pytest.mark.parametrize(
    "hostile",
    ["</script><script>window.__injected = 4</script>", "<!-- x", "a & b > c", "\u2028\u2029"],
)
def test_the_state_sent_with_the_page_cannot_end_its_script(hostile) -> None:
    doc = status([model(hostile, "failed", last_failure=hostile)])
    html = page_html(doc)
    start = html.index('<script type="application/json" id="initial">')
    data = html[start:].split(">", 1)[1].split("</script>", 1)[0]
    assert not set("<>&") & set(data)
    assert json.loads(data) == doc


WRAPS = """((name) => {
    const lines = (node) => {
        const range = document.createRange();
        range.selectNodeContents(node);
        return new Set([...range.getClientRects()].map(r => Math.round(r.top))).size;
    };
    const row = document.querySelector(`#rows tr[data-model="${name}"]`);
    return {name: lines(row.querySelector("td.name")),
            endpoint: lines(row.querySelector("td.endpoint")),
            overflows: document.documentElement.scrollWidth > window.innerWidth};
})"""


@pytest.mark.parametrize(
    "width, name, name_lines",
    [
        (1200, "vision-34b", 1),
        (1200, "org/a-model-of-some-length-70B-instruct", 1),
        (1000, "vision-34b", 1),
        # A name that cannot fit a phone's width breaks, rather than widen the page.
        (360, "org/a-model-of-some-length-70B-instruct-with-more", 2),
    ],
)
def test_names_and_addresses_break_only_when_they_cannot_fit(width, name, name_lines) -> None:
    failure = "the process exited with status 1 during its load: " + "no weights here " * 8
    doc = status(
        [
            model(name, "ready", endpoint="http://127.0.0.1:36589", vram_bytes=GIB, pid=77),
            model("other-model-8b", "failed", last_failure=failure, next_try_ms=30_000),
        ]
    )

    async def scenario() -> None:
        async with Host(doc) as host, Browser() as browser:
            page = await browser.open("about:blank")
            await page.send(
                "Emulation.setDeviceMetricsOverride",
                {"width": width, "height": 900, "deviceScaleFactor": 1, "mobile": False},
            )
            await page.navigate(host.origin + "/")
            await wait_state(page, name, "ready")
            shape = await page.evaluate(f"{WRAPS}({json.dumps(name)})")
            assert shape["endpoint"] == 1, shape
            if name_lines == 1:
                assert shape["name"] == 1, shape
            else:
                assert name_lines <= shape["name"] <= 5 and not shape["overflows"], shape

    run(scenario())


def test_a_real_host_is_painted_at_once_with_its_state_and_a_models_output(tmp_path) -> None:
    from serve_host import config as serve_config
    from serve_host import model as serve_model
    from serve_host import serving

    text = serve_config(
        serve_model("chat", "--load-s", "0"),
        serve_model("coder", "--load-s", "0", size="2GiB"),
        # Fails its load; the loader then stays with "never", so it is not tried again here.
        serve_model("failing", "--exit-after", "0.2", "--exit-message", "error: no weights"),
        serve_model("never", "--never-ready", load_timeout_s=600),
        serve_model("huge", size="30GiB"),
        card="24GiB",
    )
    with serving(tmp_path, text) as served:
        served.wait_for("coder", "ready")
        served.wait_for("failing", "failed")
        served.wait_for("never", "warming")
        served.wait_for("chat", "ready")
        assert served.post("/models/chat/unload")[0] == 200
        known = served.status()

        async def scenario() -> None:
            async with Browser() as browser:
                page = await browser.open("about:blank")
                # No poll may answer: what shows is what came with the page.
                await page.send("Network.setBlockedURLs", {"urls": ["*/status"]})
                await page.navigate(served.url + "/")
                await page.screenshot(tmp_path / "page.png")
                updated = await page.evaluate("document.getElementById('updated').textContent")
                assert updated.startswith("updated "), updated
                states = {
                    name: await page.evaluate(cells(name))
                    for name in ("chat", "coder", "failing", "never", "huge")
                }
                assert {n: c["state"] for n, c in states.items()} == {
                    "chat": "stopped",
                    "coder": "ready",
                    "failing": "failed",
                    "never": "loading",
                    "huge": "not admitted",
                }
                assert re.fullmatch(r"next try (now|in \d+ s)", states["failing"]["next"])
                assert states["coder"]["vram"] == "2.0 GiB"
                assert states["failing"]["failed"] == "1"
                # Held now is coder alone; the plan set aside room for all four admitted.
                bar = await page.evaluate(BAR)
                assert (bar["held"][1], bar["planned"][1]) == ("2.0 GiB", "5.0 GiB")
                assert known["committed_bytes"] == 2 * GIB
                assert known["plan"]["committed_bytes"] == 5 * GIB
                assert (await page.evaluate(HOST_LINE)).startswith(
                    f"version {known['version']} \u00b7 up "
                )

                # The output of a model, on demand.
                await page.send("Network.setBlockedURLs", {"urls": []})
                await page.evaluate(
                    """document.querySelector('tr[data-model="failing"] td.log button').click()"""
                )
                shown = "document.getElementById('log-text').textContent"
                await page.wait_for(f"{shown}.includes('stderr error: no weights')", POLL_WAIT)
                output = await page.evaluate(shown)
                assert " marlix started pid " in output and " exited with status 1" in output
                await page.screenshot(tmp_path / "page-with-output.png")

        run(scenario())
    assert (tmp_path / "page.png").stat().st_size > 10_000
