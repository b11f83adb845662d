// A page per gateway (/gateway/<id>): identity, address and session,
// counters, exposures, the last events, its signal and its online/offline
// timeline over 24 hours and 30 days, and the actions, each with the
// gateway's reply. With a read token the actions are disabled, and it says so.
#include "web/api.h"

namespace hub {
namespace {

const char kStyle[] = R"CSS(
.cols { display: flex; gap: 2em; flex-wrap: wrap; }
.plots { display: flex; gap: 1.5em; flex-wrap: wrap; }
.plots figure { margin: 0; }
.plots figcaption { color: #555; font-size: .9em; }
#reply { background: #f6f6f6; padding: .5em; min-height: 2em; max-width: 60em; white-space: pre-wrap; }
#actions button { margin-right: .4em; }
)CSS";

const char kBody[] = R"HTML(
<h2><span id="gwid"></span> <span id="gwstate"></span> <span id="attn" class="attn"></span></h2>
<div class="cols">
<section><h2>identity</h2><table id="ident"></table></section>
<section><h2>address and session</h2><table id="sess"></table></section>
<section><h2>counters</h2><table id="counters"></table></section>
</div>
<h2>signal</h2>
<div class="plots"><figure><div id="sig24"></div><figcaption>last 24 h (10 min buckets)</figcaption></figure>
<figure><div id="sig30"></div><figcaption>last 30 days (4 h buckets)</figcaption></figure></div>
<h2>online / offline</h2>
<div class="plots"><figure><div id="tl24"></div><figcaption>last 24 h: full online, 2/3 held, 1/3 offline</figcaption></figure>
<figure><div id="tl30"></div><figcaption>last 30 days</figcaption></figure></div>
<h2>actions</h2>
<p id="readonly" class="note" hidden>This token may only read: the actions are disabled.</p>
<div id="actions"><button data-act="verify">verify</button><button data-act="admit">admit</button>
<button data-act="hold">hold</button><button data-act="release">release</button><button data-act="close">close the connection</button></div>
<form id="cmd"><select id="chan"><option value="cfg">configuration</option><option value="vcom">virtual COM</option></select>
<input id="cmdtext" size="40" placeholder="@CSQ (one command a line)"> <button id="send">send</button></form>
<pre id="reply" class="muted">replies show here</pre>
<div class="cols">
<section><h2>exposures</h2><table id="exposures"></table></section>
<section><h2>last events</h2><table id="events"></table></section>
</div>
)HTML";

const char kScript[] = R"JS(
const gwId = decodeURIComponent(location.pathname.slice("/gateway/".length));
const base = "/api/gateways/" + encodeURIComponent(gwId);
const DAY = 86400000;

function pairs(table, list) {
  $(table).replaceChildren(...list.map(([k, v]) => {
    const tr = el("tr");
    tr.append(el("th", k));
    const td = el("td");
    td.append(v);
    tr.appendChild(td);
    return tr;
  }));
}
function when(ms) { return ms ? new Date(ms).toLocaleString() : "\u2014"; }
function details(g) {
  $("gwid").textContent = g.id;
  $("gwstate").replaceChildren(stateBadge(g));
  $("attn").textContent = g.attention.length ? "\u26A0 " + g.attention.join(", ") : "";
  pairs("ident", [["ID", g.id], ["alias", g.alias], ["model", g.model], ["version", g.version],
                  ["heartbeat", g.heartbeat + " s"], ["admission", g.admission], ["first seen", when(g.first_seen * 1000)],
                  ["key", g.key.state + (g.key.pending || g.key.fingerprint ? " " + (g.key.pending || g.key.fingerprint) : "")]]);
  pairs("sess", [["address", g.peer], ["state", stateBadge(g)], ["session since", when(g.session)],
                 ["last seen", ago(g.last_seen)], ["signal", signalBars(g.signal)], ["network", g.network === 0 ? "up" : "down"]]);
  pairs("counters", Object.entries(g.counters).map(([k, v]) => [k.replace("_", " "), String(v)]));
}
function events(rows) {
  $("events").replaceChildren(...rows.slice(0, 15).map(e => {
    const tr = el("tr");
    tr.append(el("td", when(e.at)), el("td", e.event), el("td", e.detail));
    return tr;
  }));
}
async function exposures() {
  const r = await api("/api/exposures");
  const mine = r.ok ? r.data.filter(e => e.gateway === gwId) : [];
  $("exposures").replaceChildren(...(mine.length ? mine.map(e => {
    const tr = el("tr");
    tr.append(el("td", "port " + e.port), el("td", e.kind), el("td", e.listen), el("td", e.clients + " clients"));
    return tr;
  }) : [el("tr", "none")]));
}
async function plots(g) {
  const now = Date.now();
  const hist = (q) => api(base + "/history?" + q);
  const [s24, s30, st] = await Promise.all([hist("kind=signal&bucket=600&limit=5000&from=" + (now - DAY)),
    hist("kind=signal&bucket=14400&limit=5000&from=" + (now - 30 * DAY)), hist("kind=state&limit=5000&from=" + (now - 30 * DAY))]);
  if (!st.ok) {
    $("sig24").replaceChildren(el("p", (st.data && st.data.error) || "no history", "note"));
    return;
  }
  $("sig24").replaceChildren(signalPlot(s24.data.signal.rows, now - DAY, now));
  $("sig30").replaceChildren(signalPlot(s30.data.signal.rows, now - 30 * DAY, now));
  const evs = st.data.state.rows;
  const since = g.first_seen * 1000;
  $("tl24").replaceChildren(timelinePlot(evs.filter(e => e.at >= now - DAY), now - DAY, now, g.state, since));
  $("tl30").replaceChildren(timelinePlot(evs, now - 30 * DAY, now, g.state, since));
  events(evs);
  document.body.dataset.plots = "drawn";
  performance.mark("plots");
}
function showReply(what, r) {
  $("reply").className = "";
  $("reply").textContent = what + ": HTTP " + r.status + "\n" + JSON.stringify(r.data, null, 1);
}
async function act(action, body) {
  $("reply").textContent = action + ": waiting for the gateway\u2026";
  const r = await api(base + "/" + action, { method: "POST", body: body || "" }).catch(e => ({ status: 0, data: String(e) }));
  showReply(action, r);
  load();
}
async function load() {
  const r = await api(base);
  if (!r.ok) { $("gwid").textContent = gwId + ": " + ((r.data && r.data.error) || "HTTP " + r.status); return null; }
  details(r.data);
  return r.data;
}
async function start() {
  const [g, hub] = await Promise.all([load(), hubName()]);
  if (hub.role === "read") {
    $("readonly").hidden = false;
    for (const b of document.querySelectorAll("#actions button, #cmd button, #cmd input, #cmd select")) b.disabled = true;
  }
  for (const b of document.querySelectorAll("#actions button")) b.onclick = () => act(b.dataset.act);
  $("cmd").onsubmit = (ev) => { ev.preventDefault(); act($("chan").value, $("cmdtext").value); };
  if (g) await Promise.all([plots(g), exposures()]);
  setInterval(load, 5000);
}
start();
)JS";

}  // namespace

const std::string &gateway_page_html() {
  static const std::string kPage =
      page_document("trm-hub · gateway", kStyle, kBody, (std::string(plot_script()) + kScript).c_str());
  return kPage;
}

}  // namespace hub
