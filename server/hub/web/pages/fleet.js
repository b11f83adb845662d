// Rows a page: 50, or #rows=N in the address (with the token: #token=T&rows=N).
const view = { sort: "attention", dir: "asc", offset: 0,
               limit: Math.min(1000, parseInt((location.hash.match(/rows=(\d+)/) || [])[1], 10) || 50) };
const SUMMARY = [["attention", "\u26A0 needs attention"], ["online", STATES.online + " online"],
  ["held", STATES.held + " held"], ["offline", STATES.offline + " offline"], ["conflict", "\u26A0 ID conflict"],
  ["never", "never seen"], ["changed_hour", "changed state in the last hour"]];
let timer = null, asked = 0, drawn = false;

function row(g) {
  const tr = el("tr", null, "gw " + g.state);
  tr.dataset.id = g.id;
  const td = (content, cls) => { const c = el("td", null, cls); c.append(content); tr.appendChild(c); };
  td(g.attention.length ? "\u26A0 " + g.attention.join(", ") : "", "attn");
  td(gatewayLink(g.id));
  td(g.alias);
  td(stateBadge(g));
  td(signalBars(g.signal));
  td(g.network === 0 ? "up" : "down");
  td(g.version);
  td(ago(g.last_seen));
  td(String(g.counters.bytes_in), "num");
  td(String(g.counters.bytes_out), "num");
  td(String(g.counters.reconnects), "num");
  return tr;
}

function summary(s) {
  const items = SUMMARY.map(([key, label]) => {
    const b = el("button", null, $("state").value === key ? "on" : "");
    b.dataset.state = key;
    b.append(el("b", s[key]), " " + label);
    if (key === "changed_hour") b.disabled = true;
    else b.onclick = () => { $("state").value = $("state").value === key ? "all" : key; view.offset = 0; refresh(); };
    return b;
  });
  $("summary").replaceChildren(...items);
}

function render(data) {
  $("rows").replaceChildren(...data.gateways.map(row));
  summary(data.summary);
  const end = view.offset + data.gateways.length;
  $("range").textContent = data.matched ? (view.offset + 1) + "\u2013" + end + " of " + data.matched : "none";
  $("prev").disabled = view.offset === 0;
  $("next").disabled = end >= data.matched;
  $("status").textContent = data.total + " gateways known, " + data.online + " connected \u00B7 " +
    new Date().toLocaleTimeString();
  for (const th of document.querySelectorAll("th[data-sort]")) {
    const on = th.dataset.sort === view.sort;
    th.setAttribute("aria-sort", on ? (view.dir === "asc" ? "ascending" : "descending") : "none");
    th.dataset.arrow = on ? (view.dir === "asc" ? " \u25B2" : " \u25BC") : "";
  }
  if (!drawn) { drawn = true; performance.mark("rows"); }
}

async function refresh() {
  clearTimeout(timer);
  const mine = ++asked;
  const q = new URLSearchParams({ q: $("filter").value, state: $("state").value, sort: view.sort,
                                  dir: view.dir, offset: view.offset, limit: view.limit });
  try {
    const r = await api("/api/gateways?" + q);
    if (!r.ok) throw new Error("HTTP " + r.status);
    if (mine === asked) render(r.data);
  } catch (e) {
    if (mine === asked) $("status").textContent = "no answer from the hub: " + e.message;
  }
  if (mine === asked) timer = setTimeout(refresh, 2000);
}

for (const th of document.querySelectorAll("th[data-sort]")) {
  th.onclick = () => {
    view.dir = view.sort === th.dataset.sort && view.dir === "asc" ? "desc" : "asc";
    view.sort = th.dataset.sort;
    view.offset = 0;
    refresh();
  };
}
$("prev").onclick = () => { view.offset = Math.max(0, view.offset - view.limit); refresh(); };
$("next").onclick = () => { view.offset += view.limit; refresh(); };
$("filter").addEventListener("input", () => { view.offset = 0; refresh(); });
$("state").addEventListener("change", () => { view.offset = 0; refresh(); });
hubName();
refresh();
