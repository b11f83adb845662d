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
