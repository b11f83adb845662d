// The jobs view, in the frame and style of the other pages (page_common).
// It lists the fleet jobs (newest first) with a bar of their targets'
// states, shows a page of one job's targets (filtered by state), makes a
// job from a form and cancels one. Everything is built from text nodes;
// the API token comes from the address' fragment (#token=SECRET).
#include "web/api.h"

namespace hub {
namespace {

const char kStyle[] = R"CSS(
form, #bar { margin-bottom: .8em; }
textarea { vertical-align: top; }
label { margin-right: .8em; }
tr.job { cursor: pointer; }
tr.job.chosen { background: #eef4ff; }
.bar { display: flex; width: 14em; height: .9em; background: #eee; }
.bar span { display: block; height: 100%; }
.done { background: #0a7a2f; } .failed { background: #c0141b; } .expired { background: #b36b00; }
.sent { background: #4a90d9; } .cancelled { background: #888; } .pending { background: #ddd; }
td.state.done { color: #0a7a2f; background: none; font-weight: 600; }
td.state.failed { color: #c0141b; background: none; font-weight: 600; }
td.state.expired { color: #b36b00; background: none; } td.state.sent { color: #4a90d9; background: none; }
td.state.cancelled, td.state.pending { color: #888; background: none; }
#msg, #status { color: #666; margin-left: 1em; }
)CSS";

const char kBody[] = R"HTML(
<h2>new job</h2>
<form id="new">
<label>channel <select id="channel"><option value="cfg">cfg</option><option value="vcom">vcom</option></select></label>
<label>commands <textarea id="commands" rows="2" cols="30" placeholder="one a line: @CSQ"></textarea></label>
<label>IDs <input id="ids" size="18" placeholder="10.0.0.1 10.0.0.2"></label>
<label>prefixes <input id="prefixes" size="10" placeholder="10.1."></label>
<label>filter <select id="fstate"><option value="">none</option><option value="all">all</option>
<option value="online">online</option><option value="held">held</option><option value="offline">offline</option></select>
<input id="fq" size="10" placeholder="text"></label>
<label>deadline <input id="deadline" size="6" placeholder="86400"> s</label>
<button id="create" type="submit">run</button><span id="msg"></span>
</form>
<table>
<thead><tr><th>job</th><th>channel</th><th>commands</th><th>by</th><th>created</th><th>progress</th>
<th>targets</th><th>done</th><th>failed</th><th>expired</th><th>waiting</th><th></th></tr></thead>
<tbody id="jobs"></tbody>
</table>
<h2 id="title">no job chosen</h2>
<div id="bar">
<select id="tstate"><option value="">all</option><option>pending</option><option>sent</option><option>done</option>
<option>failed</option><option>expired</option><option>cancelled</option></select>
<button id="prev" type="button">previous</button><button id="next" type="button">next</button>
<span id="status"></span>
</div>
<table>
<thead><tr><th>gateway</th><th>state</th><th>when</th><th>reply or why</th><th>hub</th></tr></thead>
<tbody id="targets"></tbody>
</table>
)HTML";

const char kScript[] = R"JS(
const states = ["done", "failed", "expired", "cancelled", "sent", "pending"];
const page = 100;
let chosen = 0, offset = 0, timer = null;

function cell(tr, text, cls) { tr.appendChild(el("td", text, cls)); }

function bar(j) {
  const b = el("div", undefined, "bar");
  for (const s of states) {
    const part = el("span", undefined, s);
    part.style.width = (j.targets ? 100 * j.counts[s] / j.targets : 0) + "%";
    b.appendChild(part);
  }
  return b;
}

// The API's answer, or an error with the hub's reason.
async function call(method, path, body) {
  const r = await api(path, { method, body: body ? JSON.stringify(body) : undefined });
  if (!r.ok) throw new Error((r.data && r.data.error) || "HTTP " + r.status);
  return r.data;
}

function jobRow(j) {
  const tr = el("tr", undefined, "job" + (j.id === chosen ? " chosen" : ""));
  tr.dataset.id = j.id;
  cell(tr, j.id, "num");
  cell(tr, j.channel);
  cell(tr, j.commands.join(" "));
  cell(tr, j.who);
  cell(tr, new Date(j.created).toLocaleString());
  const td = el("td");
  td.appendChild(bar(j));
  tr.appendChild(td);
  for (const n of [j.targets, j.counts.done, j.counts.failed, j.counts.expired, j.counts.pending + j.counts.sent]) {
    cell(tr, n, "num");
  }
  const act = el("td");
  if (j.active) {
    const b = el("button", "cancel", "cancel");
    b.type = "button";
    b.addEventListener("click", (e) => { e.stopPropagation(); cancel(j.id); });
    act.appendChild(b);
  } else {
    act.textContent = j.cancelled ? "cancelled" : "finished";
  }
  tr.appendChild(act);
  tr.addEventListener("click", () => { chosen = j.id; offset = 0; refresh(); });
  return tr;
}

function showTargets(j) {
  $("title").textContent =
    "job " + j.id + ": " + j.channel + " " + j.commands.join(" ") + " · " + j.targets + " gateways";
  const rows = j.items.map((t) => {
    const tr = el("tr", undefined, "target");
    tr.dataset.id = t.gateway;
    const id = el("td");
    id.appendChild(gatewayLink(t.gateway));
    tr.appendChild(id);
    cell(tr, t.state, "state " + t.state);
    cell(tr, new Date(t.at).toLocaleTimeString());
    cell(tr, t.replies ? t.replies.join(" ") : (t.why || ""));
    cell(tr, t.hub || "", "muted");
    return tr;
  });
  $("targets").replaceChildren(...rows);
  $("status").textContent =
    (j.matched ? offset + 1 : 0) + "–" + (offset + j.items.length) + " of " + j.matched;
}

async function refresh() {
  clearTimeout(timer);
  try {
    const list = await call("GET", "/api/jobs?limit=50");
    $("jobs").replaceChildren(...list.jobs.map(jobRow));
    if (!chosen && list.jobs.length) chosen = list.jobs[0].id;
    if (chosen) {
      const q = new URLSearchParams({ state: $("tstate").value, limit: page, offset });
      showTargets(await call("GET", "/api/jobs/" + chosen + "?" + q));
    }
  } catch (e) {
    $("status").textContent = "no answer from the hub: " + e.message;
  }
  timer = setTimeout(refresh, 1000);
}

async function cancel(id) {
  try { await call("POST", "/api/jobs/" + id + "/cancel"); } catch (e) { say(e.message); }
  refresh();
}

function say(text) { $("msg").textContent = text; }

function words(id) { return $(id).value.split(/[\s,]+/).filter((w) => w); }

$("new").addEventListener("submit", async (e) => {
  e.preventDefault();
  const body = { channel: $("channel").value,
                 commands: $("commands").value, ids: words("ids"), prefixes: words("prefixes") };
  const fstate = $("fstate").value;
  if (fstate) body.filter = { state: fstate, q: $("fq").value };
  const dl = parseInt($("deadline").value, 10);
  if (dl > 0) body.deadline_s = dl;
  try {
    const j = await call("POST", "/api/jobs", body);
    chosen = j.id;
    offset = 0;
    say("job " + j.id + " made: " + j.targets + " gateways");
  } catch (err) {
    say(err.message);
  }
  refresh();
});
$("tstate").addEventListener("change", () => { offset = 0; refresh(); });
$("prev").addEventListener("click", () => { offset = Math.max(0, offset - page); refresh(); });
$("next").addEventListener("click", () => { offset += page; refresh(); });
hubName();
refresh();
)JS";

}  // namespace

const std::string &jobs_page() {
  static const std::string kPage = page_document("trm-hub · jobs", kStyle, kBody, kScript);
  return kPage;
}

}  // namespace hub
