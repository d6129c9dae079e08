"""The status page: one self-contained HTML document that shows the cards and their models.

The page polls the host's `GET status` (relative, so it works under any prefix) every two
seconds and updates the document in place. When the host has no api key the page comes with
the host's status as it was when the page was sent, so that its first paint is the cards and
not an empty frame; when it has one, the page carries nothing of the host: `status` answers 401
without the key, and the page asks for it once and keeps it for the browser session. A model's
last output lines (`GET models/{name}/log`) are fetched when asked for. Everything it needs is
inline: a host on an air-gapped machine must render it, and the page must never contact anyone
but its host.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

# Data from the host is only ever put into the page with textContent or attributes, never
# parsed as HTML: model names and failure texts come from operators and model servers.
PAGE: str = r"""<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>marlix</title>
<!-- An empty icon: otherwise every visit also asks the host for /favicon.ico. -->
<link rel="icon" href="data:,">
<style>
:root {
  --fg: #1d2125; --muted: #68717a; --bg: #f6f7f9; --panel: #ffffff; --line: #e1e4e8;
  --free: #9fd3a8; --reserve: #c9ced6; --held: #3b6fd8; --link: #2457b8;
  --ready: #1f8a3b; --loading: #b7791f; --waiting: #4f7fb0; --stopped: #4a5561;
  --failed: #c53030; --lost: #dd5a12; --not-admitted: #8a939c; --swapped-out: #7048c0;
  --draining: #1f7a7a;
}
@media (prefers-color-scheme: dark) {
  :root {
    --fg: #e4e7eb; --muted: #98a1ab; --bg: #15181c; --panel: #1e2227; --line: #2f353c;
    --free: #3f8f52; --reserve: #4a525c; --held: #5b8ef0; --link: #8fb3ff;
    --ready: #2f9e50; --loading: #c98a2a; --waiting: #5a8cc0; --stopped: #69737e;
    --failed: #e05252; --lost: #e8742c; --not-admitted: #59626c; --swapped-out: #8a66d6;
    --draining: #2d9494;
  }
}
* { box-sizing: border-box; }
body {
  margin: 0; padding: 24px; background: var(--bg); color: var(--fg);
  font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif;
}
a { color: var(--link); }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 6px 16px;
  margin-bottom: 16px; }
h1 { font-size: 20px; margin: 0; letter-spacing: .02em; }
#host { color: var(--muted); font-size: 13px; font-variant-numeric: tabular-nums; }
#host .sep { white-space: pre; }
#updated { color: var(--muted); font-size: 13px; margin-left: auto; }
body.stale #updated { color: var(--failed); font-weight: 600; }
section {
  background: var(--panel); border: 1px solid var(--line); border-radius: 8px;
  padding: 16px; margin-bottom: 16px;
}
h2 { font-size: 13px; text-transform: uppercase; letter-spacing: .06em; color: var(--muted);
  margin: 0 0 10px; font-weight: 600; }
.bar { display: flex; height: 30px; border-radius: 6px; overflow: hidden; background: var(--line); }
.bar .seg {
  flex: 0 0 auto; min-width: 0; overflow: hidden; white-space: nowrap; text-overflow: clip;
  /* An indent, not padding: padding would give an empty part a width of its own. */
  font-size: 12px; line-height: 30px; text-indent: 6px; color: #fff;
}
.bar .seg.model + .seg.model { border-left: 1px solid rgba(255, 255, 255, .7); }
.bar .seg.other { background: var(--held); }
.bar .seg.free { background: var(--free); color: #12301a; }
.bar .seg.reserve { background: var(--reserve); color: #2b3138; }
.legend { list-style: none; display: flex; flex-wrap: wrap; gap: 6px 22px; padding: 0;
  margin: 10px 0 0; }
.swatch { display: inline-block; width: 10px; height: 10px; border-radius: 2px;
  margin-right: 6px; vertical-align: -1px; background: var(--held); }
.legend .free .swatch { background: var(--free); }
.legend .reserve .swatch { background: var(--reserve); }
.legend .planned .swatch { background: transparent; border: 2px dashed var(--muted); }
.legend .figure, td.num { font-variant-numeric: tabular-nums; }
.legend .figure { font-weight: 600; }
.explain { margin: 12px 0 0; white-space: pre-wrap; font: 13px/1.5 ui-monospace, monospace;
  color: var(--muted); }
.table-wrap { overflow-x: auto; }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: 7px 9px; border-bottom: 1px solid var(--line);
  vertical-align: top; }
th { font-size: 12px; color: var(--muted); font-weight: 600; }
tbody tr:last-child td { border-bottom: 0; }
table.one-card .card { display: none; }
/* A name or an address is read whole: it goes to a line of its own rather than break. */
td.name { font-weight: 600; white-space: nowrap; }
td.endpoint { font-family: ui-monospace, monospace; font-size: 13px; white-space: nowrap; }
td.for, td.vram, td.pid, td.flight, td.restarts, td.failed { white-space: nowrap; }
td.num { text-align: right; }
th.num { text-align: right; }
td.failure { color: var(--muted); overflow-wrap: anywhere; min-width: 14em; }
td.state .pill { display: inline-block; padding: 1px 8px; border-radius: 999px;
  font-size: 12px; font-weight: 600; color: #fff; background: var(--stopped);
  white-space: nowrap; }
td.state .note { display: block; font-size: 12px; color: var(--muted); white-space: nowrap;
  margin-top: 2px; }
td.state .note:empty { display: none; }
.s-ready { background: var(--ready) !important; }
.s-loading { background: var(--loading) !important; }
.s-waiting-to-load { background: var(--waiting) !important; }
.s-stopped { background: var(--stopped) !important; }
.s-failed { background: var(--failed) !important; }
.s-lost { background: var(--lost) !important; }
.s-not-admitted { background: var(--not-admitted) !important; }
.s-swapped-out { background: var(--swapped-out) !important; }
.s-draining { background: var(--draining) !important; }
.s-other { background: transparent !important; color: var(--fg) !important;
  border: 1px dashed var(--muted); }
td.vram .swatch { margin-right: 5px; }
td.log button, #log-panel button, #key button {
  font: inherit; font-size: 12px; padding: 1px 8px; border-radius: 4px; cursor: pointer;
  border: 1px solid var(--line); background: var(--bg); color: var(--fg); }
#empty td { color: var(--muted); text-align: center; }
#key { display: flex; gap: 8px; align-items: baseline; }
#key[hidden] { display: none; }
#key-why { color: var(--failed); font-size: 13px; }
#log-panel[hidden] { display: none; }
#log-panel .head { display: flex; align-items: baseline; gap: 10px; margin-bottom: 8px; }
#log-panel h2 { margin: 0; }
#log-name { text-transform: none; letter-spacing: 0; color: var(--fg); }
#log-note { color: var(--muted); font-size: 12px; margin-right: auto; }
#log-text { margin: 0; max-height: 50vh; overflow: auto; padding: 10px; border-radius: 6px;
  background: var(--bg); border: 1px solid var(--line);
  font: 12px/1.45 ui-monospace, monospace; white-space: pre-wrap; overflow-wrap: anywhere; }
body.stale section.card, body.stale #models tbody { opacity: .5; }
/* The last resort, on a screen too narrow for a name or an address: break it anywhere. */
@media (max-width: 720px) {
  body { padding: 12px; }
  td.name { white-space: normal; overflow-wrap: anywhere; min-width: 12em; }
}
</style>
</head>
<body>
<header>
  <h1>marlix</h1>
  <span id="host"><span class="version"></span><span class="sep"> &middot; </span><span
    class="uptime"></span><span class="sep"> &middot; </span><span class="waiting"></span><span
    class="sep"> &middot; </span><a href="status">status</a><span class="sep"> &middot; </span><a
    href="metrics">metrics</a></span>
  <span id="updated">connecting&hellip;</span>
  <form id="key" hidden>
    <label>api key <input id="key-input" type="password" autocomplete="current-password"></label>
    <button type="submit">show the card</button>
    <span id="key-why"></span>
  </form>
</header>
<section id="card" class="card">
  <h2 class="heading">Card</h2>
  <div id="bar" class="bar" role="img" aria-label="card memory">
    <div class="seg other"></div><div class="seg free"></div><div class="seg reserve"></div>
  </div>
  <ul id="legend" class="legend">
    <li class="held"><span class="swatch"></span>held now <span class="figure">&ndash;</span></li>
    <li class="free"><span class="swatch"></span>free <span class="figure">&ndash;</span></li>
    <li class="reserve">
      <span class="swatch"></span>reserve <span class="figure">&ndash;</span></li>
    <li class="total">total <span class="figure">&ndash;</span></li>
    <li class="planned"><span class="swatch"></span>set aside by the plan <span
      class="figure">&ndash;</span></li>
  </ul>
  <pre id="explain" class="explain"></pre>
</section>
<div id="more-cards"></div>
<section>
  <h2>Models</h2>
  <div class="table-wrap">
  <table id="models">
    <thead><tr>
      <th class="name">model</th><th class="card">card</th><th class="state">state</th>
      <th class="for">for</th><th class="vram num">VRAM</th><th class="flight num">in flight</th>
      <th class="endpoint">endpoint</th><th class="pid num">pid</th>
      <th class="restarts num">restarts</th><th class="failed num">failed loads</th>
      <th class="failure">last failure</th><th class="log"></th>
    </tr></thead>
    <tbody id="rows"><tr id="empty" hidden><td colspan="12">no models</td></tr></tbody>
  </table>
  </div>
</section>
<section id="log-panel" hidden>
  <div class="head">
    <h2>Output of <span id="log-name"></span></h2><span id="log-note"></span>
    <button type="button" id="log-close">close</button>
  </div>
  <pre id="log-text"></pre>
</section>
<script type="application/json" id="initial">null</script>
<script>
"use strict";
(function () {
  const EVERY_MS = 2000;
  // A host that accepts the connection but never answers must not stall the polling.
  const TIMEOUT_MS = 5000;
  const GIB = 1024 * 1024 * 1024;
  const DASH = "\u2014";
  const CELLS = ["name", "card", "state", "for", "vram", "flight", "endpoint", "pid",
    "restarts", "failed", "failure", "log"];
  const NUMBERS = new Set(["vram", "flight", "pid", "restarts", "failed"]);
  const STATES = new Set(["ready", "loading", "waiting to load", "stopped", "failed", "lost",
    "not admitted", "swapped out", "draining"]);
  // The bar's colour of each model, by its place in the roster, so that it keeps it.
  const MODEL_COLOURS = ["#3b6fd8", "#6a4fd0", "#1f8fb8", "#3553a8", "#8a5cc7", "#2b74c4",
    "#5468e0", "#23679a"];
  const rows = new Map();  // model name -> its <tr>, kept so a row follows its model
  const KEY_ITEM = "marlix-api-key";  // kept for this browser session only
  let lastOk = null;
  let needKey = false;  // polling waits for the key to be given
  let logModel = null;  // the model whose output the panel shows

  const byId = (id) => document.getElementById(id);
  const count = (v) => (typeof v === "number" && isFinite(v) ? v : 0);
  const gib = (bytes) => (bytes / GIB).toFixed(1) + " GiB";
  const clock = (when) => when.toLocaleTimeString();
  const text = (v) => (v === null || v === undefined || v === "" ? DASH : String(v));

  function duration(ms) {
    if (typeof ms !== "number" || !isFinite(ms) || ms < 0) return DASH;
    const s = Math.floor(ms / 1000);
    if (s < 60) return s + " s";
    const m = Math.floor(s / 60);
    if (m < 60) return m + " min " + (s % 60) + " s";
    const h = Math.floor(m / 60);
    if (h < 24) return h + " h " + (m % 60) + " min";
    return Math.floor(h / 24) + " d " + (h % 24) + " h";
  }

  // A countdown never says 0 s while there is time left: whole seconds, rounded up.
  function nextTry(ms) {
    if (typeof ms !== "number" || !isFinite(ms) || ms < 0) return "";
    return ms < 1000 ? "next try now" : "next try in " + duration(Math.ceil(ms / 1000) * 1000);
  }

  function el(tag, cls, content) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (content !== undefined) node.textContent = content;
    return node;
  }

  function renderHost(doc) {
    const host = byId("host");
    host.querySelector(".version").textContent =
      typeof doc.version === "string" ? "version " + doc.version : "version " + DASH;
    host.querySelector(".uptime").textContent = "up " + duration(doc.uptime_ms);
    const waiting = count(doc.waiting);
    host.querySelector(".waiting").textContent =
      waiting + (waiting === 1 ? " request" : " requests") + " waiting";
  }

  const blocks = [];  // one section per card; the first is the page's own

  function renderCards(doc, colours) {
    const cards = Array.isArray(doc.cards) && doc.cards.length ? doc.cards : [doc];
    if (!blocks.length) blocks.push(byId("card"));
    while (blocks.length < cards.length) {
      const block = blocks[0].cloneNode(true);
      for (const node of [block, ...block.querySelectorAll("[id]")]) node.removeAttribute("id");
      byId("more-cards").appendChild(block);
      blocks.push(block);
    }
    while (blocks.length > cards.length) blocks.pop().remove();
    const models = Array.isArray(doc.models) ? doc.models : [];
    cards.forEach((card, i) => {
      const heading = cards.length > 1
        ? "Card " + count(card.index) + " \u00b7 " + gib(count(card.total_bytes)) : "Card";
      blocks[i].querySelector(".heading").textContent = heading;
      // With one card every model is its own, whatever its document says.
      const own = models.filter((m) => cards.length === 1 || m.card === card.index);
      renderCard(blocks[i], card, own, colours);
    });
  }

  function segment(cls, label, bytes, sum) {
    const seg = el("div", "seg " + cls);
    seg.style.width = sum > 0 ? (bytes / sum) * 100 + "%" : "0%";
    seg.textContent = label + " " + gib(bytes);
    seg.title = label + " " + gib(bytes);
    return seg;
  }

  function renderCard(block, card, models, colours) {
    const total = Math.max(0, count(card.total_bytes));
    const plan = card.plan || {};
    const held = Math.max(0, count(card.committed_bytes));
    const free = Math.max(0, count(card.free_bytes));
    const reserve = Math.max(0, total - count(plan.usable_bytes));
    const resident = models.filter((m) => count(m.vram_bytes) > 0);
    const byModels = resident.reduce((sum, m) => sum + count(m.vram_bytes), 0);
    // What the card holds that no model row accounts for (figures taken a moment apart).
    const other = Math.max(0, held - byModels);
    // Shares of the parts' sum rather than of the total, so the segments always fill the bar
    // exactly even if a document's figures disagree by a few bytes.
    const sum = byModels + other + free + reserve;
    const bar = block.querySelector(".bar");
    const parts = resident.map((m) => {
      const seg = segment("model", String(m.name), count(m.vram_bytes), sum);
      seg.setAttribute("data-model", String(m.name));
      seg.style.background = colours.get(String(m.name)) || "var(--held)";
      return seg;
    });
    if (other > 0) parts.push(segment("other", "held", other, sum));
    parts.push(segment("free", "free", free, sum));
    parts.push(segment("reserve", "reserve", reserve, sum));
    bar.replaceChildren(...parts);
    const figure = (cls, bytes) => {
      block.querySelector(".legend ." + cls + " .figure").textContent = gib(bytes);
    };
    figure("held", held);
    figure("free", free);
    figure("reserve", reserve);
    figure("total", total);
    figure("planned", Math.max(0, count(plan.committed_bytes)));
    block.querySelector(".explain").textContent =
      typeof plan.explain === "string" ? plan.explain : "";
  }

  function rowFor(name) {
    let tr = rows.get(name);
    if (!tr) {
      tr = document.createElement("tr");
      tr.setAttribute("data-model", name);
      for (const cls of CELLS) tr.appendChild(el("td", NUMBERS.has(cls) ? cls + " num" : cls));
      const state = tr.querySelector("td.state");
      state.append(el("span", "pill"), el("span", "note next"), el("span", "note waiting"));
      const button = el("button", "", "log");
      button.type = "button";
      button.title = "the last lines " + name + " wrote";
      button.addEventListener("click", () => openLog(name));
      tr.querySelector("td.log").appendChild(button);
      rows.set(name, tr);
    }
    return tr;
  }

  function renderModels(models, colours, cardCount) {
    const body = byId("rows");
    const seen = new Set();
    byId("models").classList.toggle("one-card", cardCount <= 1);
    for (const model of Array.isArray(models) ? models : []) {
      const name = String(model.name);
      if (seen.has(name)) continue;
      seen.add(name);
      const tr = rowFor(name);
      const route = model.route || {};
      const words = typeof model.state === "string" ? model.state
        : typeof route.route === "string" ? route.route : "unknown";
      const cell = (cls) => tr.querySelector("td." + cls);
      cell("name").textContent = name;
      cell("card").textContent = text(model.card);
      const pill = cell("state").querySelector(".pill");
      pill.textContent = words;
      pill.className = "pill s-" + (STATES.has(words) ? words.replace(/ /g, "-") : "other");
      cell("state").title = typeof route.reason === "string" ? route.reason : "";
      cell("state").querySelector(".next").textContent = nextTry(model.next_try_ms);
      const waiting = count(model.waiting);
      cell("state").querySelector(".waiting").textContent =
        waiting > 0 ? waiting + (waiting === 1 ? " request" : " requests") + " waiting" : "";
      cell("for").textContent = duration(model.for_ms);
      const vram = cell("vram");
      if (count(model.vram_bytes) > 0) {
        const swatch = el("span", "swatch");
        swatch.style.background = colours.get(name) || "var(--held)";
        vram.replaceChildren(swatch, gib(count(model.vram_bytes)));
      } else {
        vram.textContent = DASH;
      }
      cell("flight").textContent = text(model.in_flight);
      cell("endpoint").textContent = text(route.endpoint);
      cell("pid").textContent = text(model.pid);
      cell("restarts").textContent = text(model.restarts);
      cell("failed").textContent = text(model.failed_loads);
      cell("failure").textContent = text(model.last_failure);
      // Appending an existing row moves it: the rows end up in the document's order while
      // each stays the same element.
      body.appendChild(tr);
    }
    for (const [name, tr] of rows) {
      if (!seen.has(name)) {
        tr.remove();
        rows.delete(name);
      }
    }
    byId("empty").hidden = seen.size > 0;
  }

  function render(doc) {
    const models = Array.isArray(doc.models) ? doc.models : [];
    const colours = new Map();
    models.forEach((m, i) => colours.set(String(m.name), MODEL_COLOURS[i % MODEL_COLOURS.length]));
    const cardCount = Array.isArray(doc.cards) ? doc.cards.length : 1;
    renderHost(doc);
    renderCards(doc, colours);
    renderModels(models, colours, cardCount);
  }

  function stale(why) {
    document.body.classList.add("stale");
    byId("updated").textContent =
      why + (lastOk ? " \u2014 showing the state of " + clock(lastOk) : "");
  }

  function storedKey() {
    try { return sessionStorage.getItem(KEY_ITEM); } catch (err) { return null; }
  }

  function storeKey(key) {
    try {
      if (key === null) sessionStorage.removeItem(KEY_ITEM);
      else sessionStorage.setItem(KEY_ITEM, key);
    } catch (err) { /* storage refused: the key lasts until the page is left */ }
    memoryKey = key;
  }

  let memoryKey = storedKey();

  function headers(accept) {
    const out = { Accept: accept };
    if (memoryKey) out.Authorization = "Bearer " + memoryKey;
    return out;
  }

  function askForKey(why) {
    needKey = true;
    byId("key").hidden = false;
    byId("key-why").textContent = why;
    stale("this host needs its api key");
    byId("key-input").focus();
  }

  byId("key").addEventListener("submit", (event) => {
    event.preventDefault();
    const key = byId("key-input").value;
    if (!key) return;
    storeKey(key);
    byId("key-input").value = "";
    byId("key").hidden = true;
    if (needKey) {
      needKey = false;
      poll();
    }
  });

  // A model's output, on demand: fetched when its panel opens and with each poll after.

  function openLog(name) {
    logModel = name;
    byId("log-name").textContent = name;
    byId("log-text").textContent = "";
    byId("log-note").textContent = "fetching\u2026";
    byId("log-panel").hidden = false;
    fetchLog(true);
  }

  byId("log-close").addEventListener("click", () => {
    logModel = null;
    byId("log-panel").hidden = true;
  });

  async function fetchLog(opened) {
    const name = logModel;
    if (name === null) return;
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
    let note;
    try {
      const res = await fetch("models/" + encodeURIComponent(name) + "/log", {
        cache: "no-store", signal: abort.signal, headers: headers("text/plain"),
      });
      if (name !== logModel) return;  // another model's panel by now
      if (res.status === 401) {
        const sent = memoryKey;
        storeKey(null);
        askForKey(sent ? "that key is not this host's" : "");
        note = "needs the api key";
      } else if (res.status === 404) {
        note = "not a model of this host";
      } else if (!res.ok) {
        note = "could not be read (HTTP " + res.status + ")";
      } else {
        const body = await res.text();
        if (name !== logModel) return;
        const box = byId("log-text");
        // Kept at its end while the reader is there; left alone when they scrolled up.
        const atEnd = opened || box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
        box.textContent = body || "(nothing written yet)";
        if (atEnd) box.scrollTop = box.scrollHeight;
        const lines = body ? body.split("\n").length - 1 : 0;
        note = lines + (lines === 1 ? " line" : " lines") + ", as of " + clock(new Date());
      }
    } catch (err) {
      note = "host unreachable";
    } finally {
      clearTimeout(timer);
    }
    if (name === logModel) byId("log-note").textContent = note;
    if (opened && name === logModel) byId("log-panel").scrollIntoView({ block: "nearest" });
  }

  function shown(doc) {
    try {
      render(doc);
    } catch (err) {
      stale("status unreadable: " + err);
      return false;
    }
    lastOk = new Date();
    document.body.classList.remove("stale");
    byId("updated").textContent = "updated " + clock(lastOk);
    return true;
  }

  async function poll() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
    try {
      let doc;
      try {
        const res = await fetch("status", {
          cache: "no-store", signal: abort.signal, headers: headers("application/json"),
        });
        if (res.status === 401) {
          const sent = memoryKey;
          storeKey(null);
          askForKey(sent ? "that key is not this host's" : "");
          return;
        }
        if (!res.ok) throw new Error("HTTP " + res.status);
        doc = await res.json();
      } catch (err) {
        stale("host unreachable");
        return;
      }
      shown(doc);
      if (logModel !== null) fetchLog(false);
    } finally {
      clearTimeout(timer);
      // Scheduled after the answer, so a slow host never has polls piling up.
      if (!needKey) setTimeout(poll, EVERY_MS);
    }
  }

  // The state the host sent with the page, if it did: painted before anything is asked.
  let initial = null;
  try { initial = JSON.parse(byId("initial").textContent); } catch (err) { initial = null; }
  if (initial && typeof initial === "object" && shown(initial)) setTimeout(poll, EVERY_MS);
  else poll();
})();
</script>
</body>
</html>
"""

INITIAL = '<script type="application/json" id="initial">null</script>'
CONNECTING = '<span id="updated">connecting&hellip;</span>'


def page_html(status: Mapping[str, Any] | None = None) -> str:
    """The status page, ready to serve as text/html; with `status`, carrying it for its first
    paint."""
    if status is None:
        return PAGE
    # Inside a <script> element only "</script" or "<!--" could end it early: no "<" is left,
    # and ">" and "&" go too, so that nothing in the data reads as markup anywhere.
    data = (
        json.dumps(status, ensure_ascii=False, separators=(",", ":"))
        .replace("<", "\\u003c")
        .replace(">", "\\u003e")
        .replace("&", "\\u0026")
    )
    embedded = INITIAL.replace(">null<", ">" + data + "<")
    return PAGE.replace(INITIAL, embedded).replace(CONNECTING, '<span id="updated"></span>')
