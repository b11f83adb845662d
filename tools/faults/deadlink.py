"""How long the daemon takes to notice a silent dead link: the path drops
every segment (no FIN, no RST), idle (heartbeats only) or busy (both lines
sending), at the daemon's default settings. Noticed is the first output
line that shows the daemon has given the link up (its close, a read error,
or a new connect); the path comes back then, and the reconnect is timed."""

import time

from .episodes import ensure_online


def measure(rig, mode, cap, rng):
    link = ensure_online(rig)
    rig.monitor.set_label("deadlink")
    # Somewhere in the heartbeat cycle (10 s by default), not just after it.
    if mode == "busy":
        for f in rig.feed.values():
            f.start(time.monotonic())
    rig.run_for(rng.uniform(0.5, 10.0))
    t = time.monotonic()
    rig.path.drop(rig.server.port)
    try:
        noticed = rig.run_for(cap, lambda: rig.log.first_event_after(t))
    finally:
        rig.path.restore()
    for f in rig.feed.values():
        f.stop()
    ev = rig.log.first_event_after(t)
    r = {"path": rig.path.kind, "mtu": rig.path.mtu, "mode": mode, "cap_s": cap,
         "notice_s": round(ev[0] - t, 2) if noticed else None,
         "line": ev[1] if noticed else None}
    if not noticed:
        link.close()
    back = rig.wait_online(60.0, since=t)
    r["reconnect_after_notice_s"] = round(back.accepted - ev[0], 2) if back and ev else None
    return r
