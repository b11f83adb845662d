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
// The secure link's key: the one bound to the ID, one waiting to be admitted.
function keyText(k) {
  const bound = k.fingerprint ? "bound " + k.fingerprint : "";
  if (k.pending) return "pending " + k.pending + " (admit binds it" + (bound ? "; " + bound : "") + ")";
  return bound || (k.revoked.length ? "revoked" : k.tls ? "none" : "none (plain link)");
}
// The acknowledged link: on or plain, and per line the bytes an outage
// cost each way with the last gap's offsets (never a silent gap).
function lossText(l) {
  return l.bytes.map((n, i) => "line " + (i + 1) + ": " + n +
    (n ? " (last " + l.last_gap[i][0] + "\u2013" + l.last_gap[i][1] + ")" : "")).join(", ");
}
function ackPairs(a) {
  return [["acknowledged link", a.on ? "on" : a.links ? "off on this link" : "plain link"],
          ["lost from it", lossText(a.lost_in)], ["lost to it", lossText(a.lost_out)],
          ["kept for it", a.retained + " bytes"], ["sent again", a.resent + " bytes"]];
}
function details(g) {
  $("gwid").textContent = g.id;
  $("gwstate").replaceChildren(stateBadge(g));
  $("attn").textContent = g.attention.length ? "\u26A0 " + g.attention.join(", ") : "";
  pairs("ident", [["ID", g.id], ["alias", g.alias], ["model", g.model], ["version", g.version],
                  ["heartbeat", g.heartbeat + " s"], ["admission", g.admission], ["first seen", when(g.first_seen * 1000)],
                  ["key", keyText(g.key)]]);
  pairs("sess", [["address", g.peer], ["state", stateBadge(g)], ["session since", when(g.session)],
                 ["last seen", ago(g.last_seen)], ["signal", signalBars(g.signal)], ["network", g.network === 0 ? "up" : "down"],
                 ...ackPairs(g.ack)]);
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
  const sure = (a) => a !== "revoke" || confirm("Revoke " + gwId + "'s key? Its link ends and the key is refused from then on.");
  for (const b of document.querySelectorAll("#actions button")) b.onclick = () => sure(b.dataset.act) && act(b.dataset.act);
  $("cmd").onsubmit = (ev) => { ev.preventDefault(); act($("chan").value, $("cmdtext").value); };
  if (g) await Promise.all([plots(g), exposures()]);
  setInterval(load, 5000);
}
start();
