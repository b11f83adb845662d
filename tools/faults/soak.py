"""The soak: no faults, random traffic for a long stretch. Both lines get
bursts of 1 to 3000 bytes at line rates up to 115 200 bit/s with random
gaps; the server sends random data sections (up to the largest a packet
holds) and random commands and challenges. Nothing may be lost, doubled or
reordered while the link stays up, and the daemon's descriptors and memory
must stay flat."""

import time

from .account import Snapshot
from .episodes import ensure_online
from .traffic import CONFIG_PROBES, MAX_RECORDS, VCOM_PROBES


def soak(rig, seconds, rng):
    link = ensure_online(rig)
    rig.monitor.set_label("soak")
    snap, probes = Snapshot(rig), []
    inits, t0 = rig.inits, time.monotonic()
    for f in rig.feed.values():
        f.max_burst, f.gap = 3000, (0.0, 1.0)
        f.start(t0)
    rig.down.max_records, rig.down.gap = MAX_RECORDS, (0.02, 0.5)
    rig.down.start(t0)
    next_cmd = t0
    while time.monotonic() - t0 < seconds:
        rig.run_for(0.05)
        now = time.monotonic()
        if now >= next_cmd and rig.link is not None and rig.link.usable():
            probes.append(_command(rig, rng))
            next_cmd = now + rng.uniform(0.2, 2.0)
    for f in rig.feed.values():
        f.stop()
    rig.down.stop()
    rig.run_for(15.0, lambda: snap.complete(probes))
    rig.log.settle()
    r = snap.result(probes, rig.inits != inits)
    r["seconds"] = round(time.monotonic() - t0, 1)
    r["relinks"] = rig.inits - inits
    r["link_up"] = link.state == "open"
    r["latency_s"] = {name: _spread(rig.t[sid].latencies, t0) for sid, name in
                      ((0, "rs485 up"), (1, "rs232 up"), (2, "rs485 down"), (3, "rs232 down"))}
    r["loop_late_s"] = round(rig.loop_late, 3)
    r["resources"] = rig.monitor.resource_summary(since=t0)
    r["resources"]["rss_growth_kb"] = _growth(rig.monitor.samples, t0)
    for f in rig.feed.values():
        f.max_burst, f.gap = 1500, (0.0, 0.3)
    rig.down.max_records, rig.down.gap = 200, (0.03, 0.15)
    return r


def _command(rig, rng):
    link = rig.link
    what = rng.random()
    if what < 0.2:
        plain, pid = rig.cmds.challenge(rng)
        link.send_plain(plain)
        return ("cmd", pid)
    port, text, rx = rng.choice(CONFIG_PROBES if what < 0.6 else VCOM_PROBES)
    return ("cmd", rig.send_command(link, port, text, rx))


def _spread(latencies, t0):
    """Median, 99th percentile and largest time from a byte's feed (or the
    server's write) to its arrival, over the soak."""
    v = sorted(x for x, when in latencies if when >= t0)
    if not v:
        return None
    return [round(v[len(v) // 2], 3), round(v[len(v) * 99 // 100], 3), round(v[-1], 3)]


def _growth(samples, t0):
    """RSS growth over the second half of the soak (kB), so start-up
    allocation does not count."""
    s = [x for x in samples if x[0] >= t0]
    if len(s) < 4:
        return None
    half = s[len(s) // 2:]
    return half[-1][2] - half[0][2]
