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
