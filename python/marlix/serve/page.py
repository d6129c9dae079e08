"""The status page: one self-contained HTML document that shows the card and its models.

The page polls the host's `GET status` (relative, so it works under any prefix) every two
seconds and updates the document in place. The page itself holds no state of the host: when
the host has an api key, `status` answers 401 without it, and the page asks for the key once
and keeps it for the browser session. Everything it needs is inline: a host on an
air-gapped machine must render it, and the page must never contact anyone but its host.
"""

from __future__ import annotations

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
  --committed: #3b6fd8; --free: #9fd3a8; --reserve: #c9ced6;
  --ready: #1f8a3b; --warming: #b7791f; --bad: #c53030; --grey: #8a939c; --neutral: #4a5561;
}
@media (prefers-color-scheme: dark) {
  :root {
    --fg: #e4e7eb; --muted: #98a1ab; --bg: #15181c; --panel: #1e2227; --line: #2f353c;
    --committed: #5b8ef0; --free: #3f8f52; --reserve: #4a525c;
    --ready: #48bb68; --warming: #e2a23b; --bad: #f26464; --grey: #7d8690; --neutral: #aab3bd;
  }
}
* { box-sizing: border-box; }
body {
  margin: 0; padding: 24px; background: var(--bg); color: var(--fg);
  font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif;
}
header { display: flex; align-items: baseline; gap: 16px; margin-bottom: 16px; }
h1 { font-size: 20px; margin: 0; letter-spacing: .02em; }
#updated { color: var(--muted); font-size: 13px; }
body.stale #updated { color: var(--bad); font-weight: 600; }
section {
  background: var(--panel); border: 1px solid var(--line); border-radius: 8px;
  padding: 16px; margin-bottom: 16px;
}
h2 { font-size: 13px; text-transform: uppercase; letter-spacing: .06em; color: var(--muted);
  margin: 0 0 10px; font-weight: 600; }
.bar { display: flex; height: 28px; border-radius: 6px; overflow: hidden; background: var(--line); }
.bar .seg {
  flex: 0 0 auto; width: 0; min-width: 0; overflow: hidden; white-space: nowrap;
  /* An indent, not padding: padding would give an empty part a width of its own. */
  font-size: 12px; line-height: 28px; text-indent: 6px; color: #fff;
}
.bar .seg.committed { background: var(--committed); }
.bar .seg.free { background: var(--free); color: #12301a; }
.bar .seg.reserve { background: var(--reserve); color: #2b3138; }
.legend { list-style: none; display: flex; flex-wrap: wrap; gap: 6px 20px; padding: 0;
  margin: 10px 0 0; }
.legend .swatch { display: inline-block; width: 10px; height: 10px; border-radius: 2px;
  margin-right: 6px; vertical-align: -1px; }
.legend .committed .swatch { background: var(--committed); }
.legend .free .swatch { background: var(--free); }
.legend .reserve .swatch { background: var(--reserve); }
.legend .figure { font-variant-numeric: tabular-nums; font-weight: 600; margin-left: 4px; }
.explain { margin: 14px 0 0; white-space: pre-wrap; font: 13px/1.5 ui-monospace, monospace; }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: 7px 10px; border-bottom: 1px solid var(--line);
  vertical-align: top; }
th { font-size: 12px; color: var(--muted); font-weight: 600; }
tbody tr:last-child td { border-bottom: 0; }
td.name { font-weight: 600; word-break: break-word; }
td.for, td.pid, td.restarts { font-variant-numeric: tabular-nums; white-space: nowrap; }
td.endpoint { font-family: ui-monospace, monospace; font-size: 13px; word-break: break-all; }
td.failure { color: var(--muted); word-break: break-word; }
.pill { display: inline-block; padding: 1px 8px; border-radius: 999px; font-size: 12px;
  font-weight: 600; color: #fff; background: var(--neutral); white-space: nowrap; }
.pill.s-ready { background: var(--ready); }
.pill.s-warming { background: var(--warming); }
.pill.s-lost, .pill.s-failed { background: var(--bad); }
.pill.s-not_admitted, .pill.s-not_declared { background: var(--grey); }
#empty td { color: var(--muted); text-align: center; }
#key { display: flex; gap: 8px; align-items: baseline; }
#key[hidden] { display: none; }
#key-why { color: var(--bad); font-size: 13px; }
body.stale #card, body.stale #models tbody { opacity: .5; }
</style>
</head>
<body>
<header>
  <h1>marlix</h1>
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
    <div class="seg committed"></div><div class="seg free"></div><div class="seg reserve"></div>
  </div>
  <ul id="legend" class="legend">
    <li class="committed">
      <span class="swatch"></span>committed<span class="figure">&ndash;</span></li>
    <li class="free"><span class="swatch"></span>free<span class="figure">&ndash;</span></li>
    <li class="reserve">
      <span class="swatch"></span>reserve<span class="figure">&ndash;</span></li>
    <li class="total">total<span class="figure">&ndash;</span></li>
  </ul>
  <pre id="explain" class="explain"></pre>
</section>
<div id="more-cards"></div>
<section>
  <h2>Models</h2>
  <table id="models">
    <thead><tr>
      <th>model</th><th>card</th><th>state</th><th>for</th><th>endpoint</th><th>pid</th><th>restarts</th>
      <th>last failure</th>
    </tr></thead>
    <tbody id="rows"><tr id="empty" hidden><td colspan="8">no models</td></tr></tbody>
  </table>
</section>
<script>
"use strict";
(function () {
  const EVERY_MS = 2000;
  // A host that accepts the connection but never answers must not stall the polling.
  const TIMEOUT_MS = 5000;
  const GIB = 1024 * 1024 * 1024;
  const DASH = "\u2014";
  const PARTS = ["committed", "free", "reserve"];
  const CELLS = ["name", "card", "state", "for", "endpoint", "pid", "restarts", "failure"];
  const COLOURED = new Set(["ready", "warming", "lost", "failed", "not_admitted", "not_declared"]);
  const rows = new Map();  // model name -> its <tr>, kept so a row follows its model
  const KEY_ITEM = "marlix-api-key";  // kept for this browser session only
  let lastOk = null;
  let needKey = false;  // polling waits for the key to be given

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

  const blocks = [];  // one section per card; the first is the page's own

  function renderCards(doc) {
    const cards = Array.isArray(doc.cards) && doc.cards.length ? doc.cards : [doc];
    if (!blocks.length) blocks.push(byId("card"));
    while (blocks.length < cards.length) {
      const block = blocks[0].cloneNode(true);
      for (const el of [block, ...block.querySelectorAll("[id]")]) el.removeAttribute("id");
      byId("more-cards").appendChild(block);
      blocks.push(block);
    }
    while (blocks.length > cards.length) blocks.pop().remove();
    cards.forEach((card, i) => {
      const heading = cards.length > 1
        ? "Card " + count(card.index) + " · " + gib(count(card.total_bytes)) : "Card";
      blocks[i].querySelector(".heading").textContent = heading;
      renderCard(blocks[i], card);
    });
  }

  function renderCard(block, doc) {
    const total = Math.max(0, count(doc.total_bytes));
    const plan = doc.plan || {};
    const bytes = {
      committed: Math.max(0, count(doc.committed_bytes)),
      free: Math.max(0, count(doc.free_bytes)),
      reserve: Math.max(0, total - count(plan.usable_bytes)),
    };
    // Shares of the three parts' sum rather than of the total, so the segments always fill
    // the bar exactly even if a document's figures disagree by a few bytes.
    const sum = bytes.committed + bytes.free + bytes.reserve;
    for (const part of PARTS) {
      const seg = block.querySelector(".bar .seg." + part);
      seg.style.width = sum > 0 ? (bytes[part] / sum) * 100 + "%" : "0%";
      seg.textContent = gib(bytes[part]);
      seg.title = part + " " + gib(bytes[part]);
      block.querySelector(".legend ." + part + " .figure").textContent = gib(bytes[part]);
    }
    block.querySelector(".legend .total .figure").textContent = gib(total);
    block.querySelector(".explain").textContent =
      typeof plan.explain === "string" ? plan.explain : "";
  }

  function rowFor(name) {
    let tr = rows.get(name);
    if (!tr) {
      tr = document.createElement("tr");
      tr.setAttribute("data-model", name);
      for (const cls of CELLS) {
        const td = document.createElement("td");
        td.className = cls;
        tr.appendChild(td);
      }
      const pill = document.createElement("span");
      pill.className = "pill";
      tr.querySelector("td.state").appendChild(pill);
      rows.set(name, tr);
    }
    return tr;
  }

  function renderModels(models) {
    const body = byId("rows");
    const seen = new Set();
    for (const model of Array.isArray(models) ? models : []) {
      const name = String(model.name);
      if (seen.has(name)) continue;
      seen.add(name);
      const tr = rowFor(name);
      const route = model.route || {};
      const state = typeof route.route === "string" ? route.route : "unknown";
      const cell = (cls) => tr.querySelector("td." + cls);
      cell("name").textContent = name;
      cell("card").textContent = text(model.card);
      const pill = cell("state").firstChild;
      pill.textContent = state;
      pill.className = "pill s-" + (COLOURED.has(state) ? state : "other");
      cell("state").title = typeof route.reason === "string" ? route.reason : "";
      cell("for").textContent = duration(model.for_ms);
      cell("endpoint").textContent = text(route.endpoint);
      cell("pid").textContent = text(model.pid);
      cell("restarts").textContent = text(model.restarts);
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

  async function poll() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
    try {
      let doc;
      try {
        const headers = { Accept: "application/json" };
        if (memoryKey) headers.Authorization = "Bearer " + memoryKey;
        const res = await fetch("status", { cache: "no-store", signal: abort.signal, headers });
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
      try {
        renderCards(doc);
        renderModels(doc.models);
      } catch (err) {
        stale("status unreadable: " + err);
        return;
      }
      lastOk = new Date();
      document.body.classList.remove("stale");
      byId("updated").textContent = "updated " + clock(lastOk);
    } finally {
      clearTimeout(timer);
      // Scheduled after the answer, so a slow host never has polls piling up.
      if (!needKey) setTimeout(poll, EVERY_MS);
    }
  }

  poll();
})();
</script>
</body>
</html>
"""


def page_html() -> str:
    """The status page, ready to serve as text/html."""
    return PAGE
