// What the hub's pages share: one style sheet, one script of helpers, and
// the frame of a document. Everything is in the document itself (no file,
// no CDN: the hub often runs on a network with no way out). The scripts
// put what a gateway sent into text nodes and attributes only, never into
// markup. A token for the API comes from the address' fragment
// (#token=SECRET) and is kept on every link between the pages.
#include "web/api.h"

namespace hub {
namespace {

const char kStyle[] = R"CSS(
[hidden] { display: none !important; }
body { font: 14px system-ui, sans-serif; margin: 1.2em 1.5em; color: #222; }
h1 { font-size: 1.3em; margin: 0 0 .4em; display: inline-block; }
h2 { font-size: 1.05em; margin: 1.2em 0 .4em; }
nav { display: inline-block; margin-left: 1.5em; }
nav a { margin-right: 1em; }
a { color: #0550ae; }
input, select, button, textarea { font: inherit; padding: .2em .5em; }
table { border-collapse: collapse; }
th, td { text-align: left; padding: .25em .6em; border-bottom: 1px solid #ddd; white-space: nowrap; }
th { background: #f3f3f3; }
th[data-sort] { cursor: pointer; user-select: none; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.st { font-weight: 600; }
.st-online { color: #0a7a2f; }
.st-held { color: #a35f00; }
.st-offline { color: #6b6b6b; }
.st-conflict { color: #c0141b; }
.attn { color: #c0141b; }
.sig { display: inline-flex; align-items: flex-end; gap: 2px; height: 14px; vertical-align: middle; }
.sig i { display: inline-block; width: 4px; background: #ccc; }
.sig i.on { background: #2b6cb0; }
.sig.weak i.on { background: #c0141b; }
.muted { color: #666; }
.note { background: #fff4d6; border: 1px solid #e0c36a; padding: .3em .6em; display: inline-block; }
)CSS";

const char kScript[] = R"JS(
"use strict";
const token = (location.hash.match(/token=([^&]*)/) || [])[1];
const headers = token ? { Authorization: "Bearer " + decodeURIComponent(token) } : {};
const frag = token ? "#token=" + token : "";
const STATES = { online: "\u25CF", held: "\u25D0", offline: "\u25CB" };

function $(id) { return document.getElementById(id); }
function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
async function api(path, opts) {
  const r = await fetch(path, Object.assign({ headers, cache: "no-store" }, opts || {}));
  let data = null;
  try { data = await r.json(); } catch (e) { data = null; }
  return { status: r.status, ok: r.ok, data };
}
function gatewayLink(id) {
  const a = el("a", id);
  a.href = "/gateway/" + encodeURIComponent(id) + frag;
  return a;
}
// The state as a symbol and a word (it reads without colour), coloured too.
function stateBadge(g) {
  const at = g.here === false && g.state === "online" ? " at " + g.hub : "";  // held by another hub
  const s = el("span", (STATES[g.state] || "?") + " " + g.state + at, "st st-" + g.state);
  if (!g.conflict) return s;
  const w = el("span", "");
  w.append(s, " ", el("span", "\u26A0 ID conflict", "st st-conflict"));
  return w;
}
// CSQ 0..31 (99: not known) as four bars; the number and dBm on hover.
function signalBars(csq) {
  const s = el("span", null, "sig");
  const known = csq >= 0 && csq <= 31;
  const n = !known ? 0 : csq <= 9 ? 1 : csq <= 14 ? 2 : csq <= 19 ? 3 : 4;
  if (known && csq <= 9) s.classList.add("weak");
  for (let i = 1; i <= 4; i++) {
    const b = el("i", null, i <= n ? "on" : "");
    b.style.height = (i * 25) + "%";
    s.appendChild(b);
  }
  s.title = known ? "CSQ " + csq + ", " + (2 * csq - 113) + " dBm" : "signal not known (" + csq + ")";
  s.dataset.csq = csq;
  return s;
}
function ago(t) {
  if (!t) return "never";
  const s = Math.max(0, Math.round(Date.now() / 1000 - t));
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min ago";
  if (s < 86400) return Math.floor(s / 3600) + " h ago";
  return new Date(t * 1000).toLocaleString();
}
async function hubName() {
  const r = await api("/api/hub").catch(() => null);
  if (r && r.ok) $("hub").textContent = "\u00B7 " + r.data.hub;
  return r && r.ok ? r.data : {};
}
function navLinks() {
  for (const a of document.querySelectorAll("nav a")) a.href = a.getAttribute("href").split("#")[0] + frag;
}
)JS";

}  // namespace

std::string page_document(const char *title, const char *style, const char *body, const char *script) {
  std::string d = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
  d += title;
  d += "</title>\n<style>";
  d += kStyle;
  d += style;
  d += "</style>\n</head>\n<body>\n<h1>trm-hub <span id=\"hub\"></span></h1>\n"
       "<nav><a href=\"/\">fleet</a><a href=\"/jobs\">jobs</a></nav>\n";
  d += body;
  d += "\n<script>";
  d += kScript;
  d += script;
  d += "navLinks();\n</script>\n</body>\n</html>\n";
  return d;
}

}  // namespace hub
