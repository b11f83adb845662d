"""Link-fault episodes. Each starts on a link that is up (init packet and a
verify round trip seen), runs numbered traffic both ways on both lines,
injects one fault, and counts what became of every byte and probe.

Kinds that end the link (the server closes, resets, closes inside a packet
or a heartbeat burst, the path goes silent, or a stall makes the daemon
give up) stop the traffic at the fault and wait for the daemon to come back;
the others (stall, garbage, trickle, split, coalesce) keep the link and
drain before counting."""

import time

from trmkit.gwserver import PORT_QYIO
from . import streams
from .account import Snapshot
from .traffic import CONFIG_PROBES, VCOM_PROBES

KINDS = ["close", "reset", "close_in_packet", "close_in_heartbeat", "stall", "silent",
         "garbage", "trickle", "split", "coalesce"]
RECONNECT_TIMEOUT = 60.0


class Stuck(Exception):
    """The daemon did not come back; the run cannot go on with it."""


def quiet(rig, link):
    """Stops the server's own data and lets what is queued leave, so the
    next write is read by itself."""
    rig.down.stop()
    rig.run_for(2.0, lambda: not link.outq)
    rig.run_for(0.1)


def ensure_online(rig):
    link = rig.link
    if link is None or link.state != "open" or link.init_at is None or not rig.check_alive():
        since = 0.0
        if not rig.alive():
            since = time.monotonic()
            rig.start_daemon()
        link = rig.wait_online(RECONNECT_TIMEOUT, since=since)
        if link is None:
            raise Stuck("no link within %.0f s; last lines: %s" % (
                RECONNECT_TIMEOUT, rig.log.tail(8)))
    if rig.hb != 10:
        quiet(rig, link)
        pid = rig.send_command(link, PORT_QYIO, b"@HEARTBEAT=10\r", rb"!HEARTBEAT;OK\r\n")
        rig.run_for(5.0, lambda: pid in rig.cmds.answered)
        rig.hb = 10
    return link


class Episode:
    def __init__(self, rig, kind, number, rng, silent_cap=35.0, stall_max=10.0):
        self.rig, self.kind, self.n, self.rng = rig, kind, number, rng
        self.silent_cap, self.stall_max = silent_cap, stall_max
        self.probes = []          # ("data", sid, a, b) / ("cmd", id)
        self.r = {"kind": kind, "n": number, "break": False}

    def run(self):
        rig = self.rig
        link = ensure_online(rig)
        rig.monitor.set_label(self.kind)
        snap = self.snap = Snapshot(rig)
        now = time.monotonic()
        for f in rig.feed.values():
            f.start(now)
        rig.down.start(now)
        rig.run_for(self.rng.uniform(0.2, 1.0))
        getattr(self, "fault_" + self.kind)(link)
        if self.r["break"] or link.state != "open" or (rig.link is not link):
            self.r["break"] = True
            self._come_back()
        else:
            self._drain()
        self.r.update(snap.result(self.probes, self.r["break"]))
        rig.monitor.set_label("between")
        return self.r

    # --- after the fault --------------------------------------------------------
    def _stop(self):
        for f in self.rig.feed.values():
            f.stop()
        self.rig.down.stop()

    def _come_back(self):
        rig, t = self.rig, self.r.setdefault("t_fault", time.monotonic())
        self._stop()
        link = rig.wait_online(RECONNECT_TIMEOUT, since=t)
        if link is None:
            self.r["stuck"] = True
            return
        ev = rig.log.first_event_after(t)
        self.r["notice_s"] = self.r.get("notice_s", ev[0] - t if ev else None)
        self.r["accept_s"] = link.accepted - t
        self.r["init_s"] = link.init_at - t

    def _drain(self, bound=2.0):
        self._stop()
        self.rig.run_for(bound, lambda: self.snap.complete(self.probes))
        self.rig.log.settle()

    # --- probes: packets whose fate is counted one by one -------------------------
    def probe(self, what=None, records=60):
        """A plain probe packet of a random sort (data of up to `records`
        records, a command, a challenge); the probe is remembered."""
        rig, rng = self.rig, self.rng
        what = what or rng.choice(("data", "data", "config", "vcom", "verify"))
        if what == "data":
            plain, memo = rig.data_packet(rng.choice((1, 2)), rng.randint(1, records))
            self.probes.append(memo)
            return plain, memo
        if what == "verify":
            plain, pid = rig.cmds.challenge(rng)
        else:
            port, text, rx = rng.choice(CONFIG_PROBES if what == "config" else VCOM_PROBES)
            plain, pid = rig.cmds.command(port, text, rx)
        self.probes.append(("cmd", pid))
        return plain, None

    def _quiet_server(self, link):
        quiet(self.rig, link)

    def _resume(self):
        self.rig.down.start(time.monotonic())

    # --- the faults -------------------------------------------------------------
    def fault_close(self, link, reset=False):
        self.rig.drain_link(link)
        self.r["t_fault"] = time.monotonic()
        link.close(reset=reset)
        self.r["break"] = True

    def fault_reset(self, link):
        self.fault_close(link, reset=True)

    def fault_close_in_packet(self, link):
        self._quiet_server(link)
        plain, memo = self.rig.data_packet(self.rng.choice((1, 2)), self.rng.randint(2, 200))
        raw = link.codec.scramble(plain)
        cut = self.rng.randint(1, len(raw) - 1)
        self.rig.forbidden[memo[1]].add(memo[2], memo[3])
        link.send_raw(raw[:cut])
        self.rig.run_for(self.rng.uniform(0.0, 0.05))
        self.r["cut"] = cut
        self.fault_close(link)

    def fault_close_in_heartbeat(self, link):
        rig = self.rig
        self._stop()
        quiet(rig, link)
        pid = rig.send_command(link, PORT_QYIO, b"@HEARTBEAT=1\r", rb"!HEARTBEAT;OK\r\n")
        rig.run_for(5.0, lambda: pid in rig.cmds.answered)
        rig.hb = 1
        seen = []

        def on_packet(lk, p):
            if p.type == 2 and not seen:
                seen.append(time.monotonic())
                lk.close()          # the rest of the burst is unread: RST

        link.recv_size, link.on_packet = 40, on_packet
        rig.run_for(5.0, lambda: bool(seen))
        self.r["in_heartbeat"] = bool(seen)
        self.r["t_fault"] = seen[0] if seen else time.monotonic()
        link.close()
        self.r["break"] = True

    def fault_stall(self, link):
        rig = self.rig
        stall = self.rng.uniform(0.5, self.stall_max)
        link.reading = False
        rig.down.stop()
        self.r["t_fault"], self.r["stall_s"] = time.monotonic(), stall
        rig.run_for(stall)
        link.reading = True
        self._resume()
        rig.run_for(0.5)
        self.r["break"] = link.state != "open" or rig.link is not link

    def fault_silent(self, link):
        rig = self.rig
        t = self.r["t_fault"] = time.monotonic()
        rig.path.drop(rig.server.port)
        try:
            noticed = rig.run_for(self.silent_cap, lambda: rig.log.first_event_after(t))
            ev = rig.log.first_event_after(t)
            self.r["notice_s"] = ev[0] - t if noticed else None
            self.r["notice_line"] = ev[1] if noticed else None
        finally:
            rig.path.restore()
        if not noticed:
            link.close()          # let the daemon know, now that the path is back
        self.r["break"] = True

    def fault_garbage(self, link):
        self._quiet_server(link)
        junk = bytes(self.rng.randrange(256) for _ in range(self.rng.randint(1, 600)))
        self.r["t_fault"] = time.monotonic()
        link.send_raw(junk)
        self.rig.run_for(2.5)     # longer than a partial packet may wait
        self._resume()
        self.rig.run_for(0.5)

    def fault_trickle(self, link):
        rig = self.rig
        self.r["t_fault"] = time.monotonic()
        for _ in range(2):
            self._quiet_server(link)
            plain, memo = self.probe(self.rng.choice(("data", "config", "vcom", "verify")), 15)
            raw = link.codec.scramble(plain)
            gap = min(0.015, 1.5 / len(raw))
            for i in range(len(raw)):
                link.send_raw(raw[i:i + 1], memo if i == len(raw) - 1 else None)
                rig.run_for(gap)
        self._resume()
        rig.run_for(0.5)

    def fault_split(self, link):
        self.r["t_fault"] = time.monotonic()
        self.r["cuts"] = []
        for _ in range(6):
            self._quiet_server(link)
            plain, memo = self.probe(records=280)
            raw = link.codec.scramble(plain)
            cut = self.rng.randint(1, len(raw) - 1)
            self.r["cuts"].append((len(raw), cut))
            link.send_raw(raw[:cut])
            self.rig.run_for(self.rng.uniform(0.015, 0.06))
            link.send_raw(raw[cut:], memo)
        self._resume()
        self.rig.run_for(0.5)

    def fault_coalesce(self, link):
        self.r["t_fault"] = time.monotonic()
        for _ in range(4):
            self._quiet_server(link)
            kinds = ["verify"] + [self.rng.choice(("data", "data", "config", "vcom"))
                                  for _ in range(3)]
            self.rng.shuffle(kinds)
            parts = [self.probe(k) for k in kinds[:self.rng.randint(2, 4)]]
            raw = b"".join(link.codec.scramble(p) for p, _ in parts)
            link.send_raw(raw, [memo for _, memo in parts if memo])
        self._resume()
        self.rig.run_for(0.5)

