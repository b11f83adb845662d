"""Link faults and outages through the real hub (phase hub). Numbered
streams run both ways on both lines at 115 200 bit/s from the daemon's
lines to the hub's raw exposures and back while the relay closes, resets,
cuts inside a record, stalls or garbles the secure link, and the path
goes out for the outages asked for. With the acknowledged link every byte
must arrive once and in order; with it off (--hub-ack off) the same run
measures what a break costs the plain protocol.

Then the overflow: a daemon keeping 64 KiB, an outage longer than that:
the bytes lost must be exactly the ones the daemon's log and the hub's
record name, and the stream must go on."""

import re
import time

from . import streams
from .hubrig import GW_ID, LINES, UP, HubRig

KINDS = ["close", "reset", "cut", "stall", "garbage"]
BACK_S = 90.0
DRAIN_S = 300.0
OVERFLOW_KB = 64


def online(rig, session, every=0.25):
    """A test for run_for: the hub has the gateway online on a link other
    than `session` (asked of its API at most every `every` seconds)."""
    last = [0.0]

    def test():
        if time.monotonic() - last[0] < every:
            return False
        last[0] = time.monotonic()
        g = rig.gateway()
        return g.get("state") == "online" and g.get("session") != session and g
    return test


def start(rig):
    rig.start_daemon()
    g = rig.run_for(60, online(rig, None))
    if not g:
        raise RuntimeError("the gateway never came online through the hub; daemon: %s"
                           % rig.daemon.lines[-5:])
    rig.connect_clients()
    rig.run_for(0.5)
    rig.feed(True)


def session_now(rig):
    return rig.gateway().get("session")


def fault(rig, kind, rng, stall_max):
    r = {"kind": kind}
    now = time.monotonic()
    if kind in ("close", "reset"):
        rig.relay.close(reset=kind == "reset")
    elif kind == "cut":
        r["towards"] = rng.choice(("gw", "hub"))
        rig.relay.arm_cut(r["towards"], rng)
        rig.run_for(5.0, lambda: not rig.relay.live())
    elif kind == "stall":
        r["stall_s"] = round(rng.uniform(0.5, stall_max), 2)
        rig.relay.stall(r["stall_s"], now)
        rig.run_for(r["stall_s"])
    elif kind == "garbage":
        r["towards"] = rng.choice(("gw", "hub"))
        rig.relay.garbage(r["towards"], bytes(rng.randrange(256) for _ in range(rng.randint(1, 600))))
    return r


def come_back(rig, r, session, accepted, t0):
    rig.run_for(1.0)
    r["break"] = rig.relay.accepted > accepted or not rig.relay.live()
    if r["break"]:
        up = online(rig, session)
        g = rig.run_for(BACK_S, lambda: rig.relay.accepted > accepted and up())
        r["back_s"] = round(time.monotonic() - t0, 2) if g else None
    return r


def episode(rig, kind, rng, stall_max):
    settled = settle(rig)
    rig.run_for(rng.uniform(1.0, 3.0))
    session, accepted, t0 = session_now(rig), rig.relay.accepted, time.monotonic()
    r = fault(rig, kind, rng, stall_max)
    r["settle_s"] = settled
    return come_back(rig, r, session, accepted, t0)


def settle(rig, bound=300.0):
    """Waits until every stream is within a second of what was fed: what a
    fault held back has gone through, so the next fault starts afresh; the
    seconds that took."""
    t0 = time.monotonic()
    rig.run_for(bound, lambda: all(c.fed - c.got <= rig.rate for c in rig.check.values()))
    return round(time.monotonic() - t0, 1)


def outage(rig, seconds):
    settled = settle(rig)
    rig.run_for(2.0)
    session, accepted, t0 = session_now(rig), rig.relay.accepted, time.monotonic()
    rig.path.outage(True)
    try:
        rig.run_for(seconds)
    finally:
        rig.path.outage(False)
    r = come_back(rig, {"kind": "outage", "outage_s": seconds, "settle_s": settled}, session, accepted, t0)
    return r


def finish(rig):
    """Stops feeding and waits until every byte fed came out (or the bound)."""
    rig.feed(False)
    t0 = time.monotonic()
    done = rig.run_for(DRAIN_S, rig.all_through)
    rig.run_for(1.0)       # anything doubled after the last byte is seen too
    g = rig.gateway()
    return {"drained": done, "drain_s": round(time.monotonic() - t0, 1),
            "streams": {streams.NAMES[sid]: c.figures() for sid, c in rig.check.items()},
            "hub_ack": g.get("ack"), "relay_links": rig.relay.accepted}


def run(path, rng, out, keys_dir, episodes, outages, ack=True, stall_max=10.0):
    rig = HubRig(path, rng, out, keys_dir, "" if ack else "ack=0\r\n")
    try:
        start(rig)
        eps, order = [], []
        for i in range(episodes):
            order = order or rng.sample(KINDS, len(KINDS))
            eps.append(episode(rig, order.pop(), rng, stall_max))
            print("  hub episode %d %s" % (i + 1, eps[-1]), flush=True)
        for s in outages:
            eps.append(outage(rig, s))
            print("  hub outage %s" % eps[-1], flush=True)
        res = finish(rig)
        res.update(episodes=eps, ack=ack, stuck=sum(1 for e in eps if e.get("break") and e.get("back_s") is None))
        return res
    finally:
        rig.close()


# --- an outage past the daemon's buffer ---------------------------------------------
LOSS_LINE = re.compile(r"--> ack: line (\d): (\d+) bytes of the gateway's stream lost at (\d+)\.\.(\d+)")


def screen(rig, png):
    """The gateway's page as an operator sees it now, into png."""
    from bench.hub.pages import screenshot
    from trmkit.browser import Browser
    with rig.path.server_ns.entered():
        b = Browser("about:blank")
    try:
        b.call("Emulation.setDeviceMetricsOverride", b.session, width=1280, height=800, deviceScaleFactor=1,
               mobile=False)
        screenshot(b, "http://127.0.0.1:%d/gateway/%s" % (rig.http, GW_ID), "plots", png)
    finally:
        b.close()


def overflow(path, rng, out, keys_dir, seconds, png=None):
    """What the stream lost, where the daemon and the hub say it was lost;
    with png, a screenshot of the gateway's page afterwards."""
    rig = HubRig(path, rng, out, keys_dir, "retain_kb=%d\r\n" % OVERFLOW_KB)
    try:
        start(rig)
        rig.run_for(2.0)
        r = outage(rig, seconds)
        rig.run_for(3.0)      # the stream goes on after the gap
        r.update(finish(rig))
        said = [tuple(int(x) for x in m.groups()) for m in map(LOSS_LINE.search, rig.daemon.lines) if m]
        r["daemon_gaps"] = {ln: [(a, b) for n, _, a, b in said if n == ln] for ln in LINES}
        r["hub_gaps"] = {ln: r["hub_ack"]["lost_in"]["last_gap"][ln - 1] for ln in LINES}
        r["hub_lost"] = r["hub_ack"]["lost_in"]["bytes"]
        r["seen_gaps"] = {ln: rig.check[UP[ln]].gaps for ln in LINES}
        if png:
            screen(rig, png)
        return r
    finally:
        rig.close()


def agrees(r):
    """The overflow's gaps as seen, as the daemon logged and as the hub keeps
    them: the same bytes lost per line, at the same offsets (as seen, a gap's
    edge can move by less than a record where the bytes on both sides of it
    happen to be alike)."""
    def near(a, b):
        return len(a) == len(b) and all(abs(x - y) < streams.REC for p, q in zip(a, b) for x, y in zip(p, q))
    seen_any = False
    for ln in LINES:
        seen, said = r["seen_gaps"][ln], r["daemon_gaps"][ln]
        lost = sum(b - a for a, b in seen)
        seen_any |= bool(seen)
        if not near(said, seen) or r["hub_lost"][ln - 1] != lost or lost != sum(b - a for a, b in said):
            return False
        if seen and not near([r["hub_gaps"][ln]], [seen[-1]]):
            return False
    return seen_any
