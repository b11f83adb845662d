"""False drops: the daemon on a slow, lossy cellular path that never goes
away (RTT 600 ms +- 60 ms, 2 % loss by default), idle (heartbeats only)
and then busy (both lines fed, the server sending). The path delivers
everything in the end, so every link the daemon gives up is a false drop
(must be 0), and the bytes reckoning must come out even: nothing lost,
doubled or reordered."""

import time

from .account import Snapshot
from .episodes import ensure_online

DRAIN_S = 60.0        # retransmissions at 600 ms and 2 % loss take a while


def falsedrop(rig, seconds, modes):
    return [_stretch(rig, mode, seconds / len(modes)) for mode in modes]


def _traffic(rig, on):
    now = time.monotonic()
    for f in rig.feed.values():
        f.start(now) if on else f.stop()
    rig.down.start(now) if on else rig.down.stop()


def _stretch(rig, mode, seconds):
    link = ensure_online(rig)
    rig.monitor.set_label("falsedrop")
    snap, inits, t0 = Snapshot(rig), rig.inits, time.monotonic()
    _traffic(rig, mode == "busy")
    next_note = t0 + 300
    while time.monotonic() - t0 < seconds:
        rig.run_for(min(1.0, seconds - (time.monotonic() - t0)))
        if time.monotonic() >= next_note:
            next_note += 300
            print("  %s %.0f s, %d link events" % (mode, time.monotonic() - t0,
                                                   len(_events(rig, t0))), flush=True)
    _traffic(rig, False)
    rig.run_for(DRAIN_S, lambda: snap.complete())
    events = _events(rig, t0)
    r = snap.result((), rig.inits != inits)
    r.update(mode=mode, seconds=round(time.monotonic() - t0, 1), relinks=rig.inits - inits,
             link_events=len(events), first_events=[e[1] for e in events[:5]],
             link_up=link.state == "open" and link is rig.link,
             path=rig.path.profile, relay=rig.path.counters())
    return r


def _events(rig, t0):
    return [e for e in rig.log.events if e[0] >= t0]
