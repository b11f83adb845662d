// The status page: one self-contained HTML document. Its script asks the
// API for the gateways every second (filtered by the hub, at most 500 rows)
// and rebuilds the table with text nodes only, so nothing a gateway sends
// can become markup. A token for the API is taken from the address'
// fragment: http://hub:8080/#token=SECRET.
#include "api.h"

namespace hub {

const std::string &status_page() {
  static const std::string kPage = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>trm-hub</title>
<style>
body { font: 14px system-ui, sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.3em; margin: 0 0 .5em; }
#bar { margin-bottom: .8em; }
#bar input, #bar select { font: inherit; padding: .2em .4em; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .25em .6em; border-bottom: 1px solid #ddd; white-space: nowrap; }
th { background: #f3f3f3; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
tr.online td.state { color: #0a7a2f; font-weight: 600; }
tr.held td.state { color: #b36b00; font-weight: 600; }
tr.offline td.state { color: #888; }
td.state.conflict { color: #c0141b; }
#status { color: #666; margin-left: 1em; }
</style>
</head>
<body>
<h1>trm-hub <span id="hub"></span></h1>
<div id="bar">
<input id="filter" type="search" placeholder="filter: ID, alias, model, version, address" size="40">
<select id="state">
<option value="all">all</option><option value="online">online</option>
<option value="held">held</option><option value="offline">offline</option>
</select>
<span id="status">loading…</span>
</div>
<table>
<thead><tr><th>ID</th><th>alias</th><th>state</th><th>signal</th><th>network</th><th>version</th>
<th>last seen</th><th>bytes in</th><th>bytes out</th><th>packets in</th><th>reconnects</th></tr></thead>
<tbody id="rows"></tbody>
</table>
<script>
"use strict";
const token = (location.hash.match(/token=([^&]*)/) || [])[1];
const headers = token ? { Authorization: "Bearer " + decodeURIComponent(token) } : {};
const limit = 500;
let timer = null;
let asked = 0;

function ago(t) {
  if (!t) return "never";
  const s = Math.max(0, Math.round(Date.now() / 1000 - t));
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min ago";
  return new Date(t * 1000).toLocaleString();
}

function cell(tr, text, cls) {
  const td = document.createElement("td");
  td.textContent = String(text);
  if (cls) td.className = cls;
  tr.appendChild(td);
}

function render(data) {
  const body = document.getElementById("rows");
  const rows = [];
  for (const g of data.gateways) {
    const tr = document.createElement("tr");
    tr.className = "gw " + g.state;
    tr.dataset.id = g.id;
    cell(tr, g.id);
    cell(tr, g.alias);
    cell(tr, g.conflict ? g.state + ", ID conflict" : g.state, g.conflict ? "state conflict" : "state");
    cell(tr, g.signal, "num");
    cell(tr, g.network === 0 ? "up" : "down");
    cell(tr, g.version);
    cell(tr, ago(g.last_seen));
    cell(tr, g.counters.bytes_in, "num");
    cell(tr, g.counters.bytes_out, "num");
    cell(tr, g.counters.packets_in, "num");
    cell(tr, g.counters.reconnects, "num");
    rows.push(tr);
  }
  body.replaceChildren(...rows);
  const shown = data.gateways.length < data.matched ? " (first " + data.gateways.length + " shown)" : "";
  document.getElementById("status").textContent =
    data.matched + " of " + data.total + " gateways, " + data.online + " connected" + shown +
    " · " + new Date().toLocaleTimeString();
}

async function refresh() {
  clearTimeout(timer);
  const mine = ++asked;
  const q = new URLSearchParams({ q: document.getElementById("filter").value,
                                  state: document.getElementById("state").value, limit: limit });
  try {
    const r = await fetch("/api/gateways?" + q, { headers, cache: "no-store" });
    if (!r.ok) throw new Error("HTTP " + r.status);
    const data = await r.json();
    if (mine !== asked) return;  // a newer request is on its way
    render(data);
  } catch (e) {
    if (mine !== asked) return;
    document.getElementById("status").textContent = "no answer from the hub: " + e.message;
  }
  timer = setTimeout(refresh, 1000);
}

async function hub() {
  try {
    const r = await fetch("/api/hub", { headers, cache: "no-store" });
    if (r.ok) document.getElementById("hub").textContent = "· " + (await r.json()).hub;
  } catch (e) {}
}

document.getElementById("filter").addEventListener("input", refresh);
document.getElementById("state").addEventListener("change", refresh);
hub();
refresh();
</script>
</body>
</html>
)HTML";
  return kPage;
}

}  // namespace hub
