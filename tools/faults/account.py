"""Counting one stretch of a run (an episode, the soak): what was fed or
sent in it, what arrived, and where the rest went.

Upwards (line to server), per line:
  in_flight    taken by the daemon and written into the link, never arrived
               (in the sockets or on the path when the link broke; without a
               break such bytes count as lost_up)
  on_line      fed to the line but never taken by the daemon: still queued
               at the break, dropped by the daemon's clear at the next init
  failed_write taken into a packet whose write the daemon logged as failed
  lost_up      lost below bytes that did arrive, beyond the failed writes:
               loss while the link was up (a fault)
Downwards (server to line), per line, of what the link accepted (a write
the server's socket took whole):
  in_flight    never reached the line, above the last byte that did, in a
               stretch where a link broke (less what the daemon read and
               dropped, by its own output)
  lost_up      never reached the line otherwise (a fault)
Both ways: duplicated, reordered, crossed (on the other line) and corrupt
(no stream's) bytes, and server packets written in part and then acted on.
"""

from . import streams

UP = (streams.UP485, streams.UP232)
DOWN = (streams.DOWN485, streams.DOWN232)


def settle(rig):
    """Lets the daemon's output catch up with what the server has seen (it
    prints a write's outcome just after the write), so every burst counts
    in the stretch in which it was sent."""
    rig.run_for(0.05)
    rig.log.settle()


class Snapshot:
    def __init__(self, rig):
        self.rig = rig
        settle(rig)
        self.fed = {sid: t.fed for sid, t in rig.t.items()}
        self.dup = {sid: t.dup for sid, t in rig.t.items()}
        self.reordered = {sid: t.reordered for sid, t in rig.t.items()}
        self.crossed = dict(rig.crossed)
        self.corrupt = dict(rig.corrupt)
        self.partial_acted = rig.partial_acted
        self.log = rig.log.snapshot()
        self.unexpected = rig.cmds.unexpected
        self.framing = sum(ln.framing_lost for ln in rig.links)

    def complete(self, probes=()):
        """True when everything fed or accepted since has arrived and every
        command probe is answered."""
        rig = self.rig
        rig.flush_held()
        if rig.log.pending():
            return False
        for sid in UP:
            a, b = self.fed[sid], rig.t[sid].fed
            if rig.t[sid].got.overlap(a, b) < b - a:
                return False
        for sid in DOWN:
            a, b = self.fed[sid], rig.t[sid].fed
            if rig.t[sid].got.overlap(a, b) < rig.accepted[sid].overlap(a, b):
                return False
        return all(p[1] in rig.cmds.answered for p in probes if p[0] == "cmd")

    def result(self, probes=(), broke=False):
        """Figures of the stretch; `broke`: a link ended in it, so what was
        under way then counts as in flight rather than lost."""
        settle(self.rig)
        self.rig.flush_held(final=True)
        rig, log = self.rig, self.rig.log.since(self.log)
        r = {"up": {}, "down": {}}
        for sid in UP:
            t, a = rig.t[sid], self.fed[sid]
            line, b = sid + 1, t.fed
            got = t.got.overlap(a, b)
            inside, _tail = t.missing(a, b)
            ok, failed = log["ok"][line], log["failed"][line]
            vanished = max(0, ok - got)            # written whole, never arrived
            lost = max(0, inside - failed) if broke else vanished
            r["up"][line] = {"fed": b - a, "delivered": got,
                             "in_flight": max(0, vanished - lost) if broke else 0,
                             "failed_write": failed,
                             "on_line": max(0, (b - a) - ok - failed), "lost_up": lost,
                             **self._faults(sid)}
        # Server reads the daemon dropped (split or joined packets): bytes
        # above the last one that arrived were dropped there, not in flight.
        dropped = sum(log["dropped"])
        for sid in DOWN:
            t, a, b = rig.t[sid], self.fed[sid], rig.t[sid].fed
            acc = rig.accepted[sid]
            top = t.got.highest_below(a, b)
            inside = max(0, acc.overlap(a, top) - t.got.overlap(a, top))
            tail = max(0, acc.overlap(top, b) - t.got.overlap(top, b))
            cut = min(tail, max(0, dropped - inside)) if broke else tail
            dropped = max(0, dropped - inside - cut)
            r["down"][sid - 1] = {"accepted": acc.overlap(a, b), "delivered": t.got.overlap(a, b),
                                  "lost_up": inside + cut, "in_flight": tail - cut,
                                  **self._faults(sid)}
        r["partial_acted"] = rig.partial_acted - self.partial_acted
        r["unexpected_replies"] = rig.cmds.unexpected - self.unexpected
        r["framing_lost"] = sum(ln.framing_lost for ln in rig.links) - self.framing
        r["dropped_reads"] = len(log["dropped"])
        r["log"] = log["count"]
        r["probes"] = self._probes(probes)
        return r

    def _faults(self, sid):
        t = self.rig.t[sid]
        return {"dup": t.dup - self.dup[sid], "reordered": t.reordered - self.reordered[sid],
                "crossed": self.rig.crossed[sid] - self.crossed[sid],
                "corrupt": self.rig.corrupt[sid] - self.corrupt[sid]}

    def _probes(self, probes):
        """Probe packets acted on whole, not at all, or in part; lost command
        probes are forgotten so a later reply is not taken for theirs."""
        rig, out = self.rig, {"sent": len(probes), "acted": 0, "dropped": 0, "partial": 0}
        lost = []
        for p in probes:
            if p[0] == "cmd":
                done = p[1] in rig.cmds.answered
                out["acted" if done else "dropped"] += 1
                if not done:
                    lost.append(p[1])
                continue
            got = rig.t[p[1]].got.overlap(p[2], p[3])
            out["acted" if got == p[3] - p[2] else "dropped" if got == 0 else "partial"] += 1
        rig.cmds.forget(lost)
        return out
