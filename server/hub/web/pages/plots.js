const SVGNS = "http://www.w3.org/2000/svg";
const PLOT = { w: 560, h: 110, left: 34, right: 8, top: 8, bottom: 20 };
const LEVEL = { online: 1, held: 2 / 3, offline: 1 / 3 };

function svgEl(tag, attrs, text) {
  const e = document.createElementNS(SVGNS, tag);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  return e;
}
function stamp(t, span) {
  const d = new Date(t);
  return span > 2 * 86400000 ? d.toLocaleDateString() : d.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
}
// An empty plot of [from, to] x [0, ymax] with its time axis; x() and y() place a point.
function frame(from, to, ymax, label) {
  const root = svgEl("svg", { width: PLOT.w, height: PLOT.h, viewBox: "0 0 " + PLOT.w + " " + PLOT.h, role: "img" });
  root.appendChild(svgEl("title", {}, label));
  const iw = PLOT.w - PLOT.left - PLOT.right, ih = PLOT.h - PLOT.top - PLOT.bottom;
  const x = t => PLOT.left + (t - from) / (to - from) * iw;
  const y = v => PLOT.top + ih - v / ymax * ih;
  root.appendChild(svgEl("rect", { x: PLOT.left, y: PLOT.top, width: iw, height: ih, fill: "#fbfbfb", stroke: "#ccc" }));
  for (let i = 0; i <= 4; i++) {
    const t = from + (to - from) * i / 4;
    root.appendChild(svgEl("text", { x: x(t), y: PLOT.h - 5, "font-size": 10, "text-anchor": i ? (i === 4 ? "end" : "middle") : "start",
                                    fill: "#555" }, i === 4 ? "now" : stamp(t, to - from)));
  }
  return { root, x, y };
}
function signalPlot(rows, from, to) {
  const f = frame(from, to, 31, "signal (CSQ) over " + stamp(from, to - from) + " to now");
  rows = rows.filter(r => r.max <= 31).sort((a, b) => a.at - b.at);
  for (const v of [0, 9, 20, 31]) {
    f.root.appendChild(svgEl("text", { x: PLOT.left - 4, y: f.y(v) + 3, "font-size": 10, "text-anchor": "end", fill: "#555" }, v));
  }
  f.root.appendChild(svgEl("line", { x1: PLOT.left, x2: PLOT.w - PLOT.right, y1: f.y(9), y2: f.y(9), stroke: "#c0141b",
                                     "stroke-dasharray": "4 3" }));
  if (rows.length) {
    const top = rows.map(r => f.x(r.at) + "," + f.y(r.max)), low = rows.map(r => f.x(r.at) + "," + f.y(r.min)).reverse();
    f.root.appendChild(svgEl("polygon", { points: top.concat(low).join(" "), fill: "#2b6cb0", "fill-opacity": 0.2, class: "band" }));
    f.root.appendChild(svgEl("polyline", { points: rows.map(r => f.x(r.at) + "," + f.y(r.avg)).join(" "), fill: "none",
                                           stroke: "#2b6cb0", "stroke-width": 1.5, class: "mean" }));
  }
  f.root.dataset.points = rows.length;
  return f.root;
}
function stateOf(event) {
  return event === "online" || event === "held" ? event : event === "offline" || event === "replaced" ? "offline" : null;
}
// Events newest first; now is the state at the end; nothing is drawn before since (first seen).
function timelinePlot(events, from, to, now, since) {
  const f = frame(from, to, 1, "online/offline from " + stamp(from, to - from) + " to now");
  const steps = events.map(e => [e.at, stateOf(e.event)]).filter(s => s[1]).sort((a, b) => a[0] - b[0]);
  let state = steps.length ? (steps[0][1] === "offline" ? "online" : "offline") : now, at = Math.max(from, since), spans = 0;
  const draw = (end) => {
    if (end <= at) return;
    f.root.appendChild(svgEl("rect", { x: f.x(at), y: f.y(LEVEL[state]), width: Math.max(0.5, f.x(end) - f.x(at)),
                                       height: f.y(0) - f.y(LEVEL[state]), class: "span " + state,
                                       fill: { online: "#0a7a2f", held: "#d08a00", offline: "#9a9a9a" }[state] }));
    spans++;
  };
  for (const [t, s] of steps) {
    draw(Math.max(t, at));
    at = Math.max(t, at);
    state = s;
  }
  draw(to);
  f.root.dataset.spans = spans;
  return f.root;
}
