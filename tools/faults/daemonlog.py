"""The daemon's standard output, line by line with the time each line was
read, turned into counts: connections, closes, serial bursts taken from
each line and whether their write went out, server reads and what the
daemon did with them, and sanitizer reports."""

import bisect
import re

RX = [(re.compile(p), name) for p, name in [
    (rb"^->net_connect OK", "connect"),
    (rb"^->net_connect Error", "connect_error"),
    (rb"^recv --> return 0 --> socket be close", "peer_close"),
    (rb"^iWriteFailCounter > WriteCounterMax --> close socket", "write_close"),
    (rb"^write fail, rc=", "write_fail"),
    (rb"^-- write incomplete", "write_incomplete"),
    (rb"^read error", "read_error"),
    (rb"^socket error", "socket_error"),
    (rb"^-- read Data from RS485, len= (\d+)", "take1"),
    (rb"^-- read Data From RS232 = (\d+)", "take2"),
    (rb"^-->socket write: COM\(485\) data|^--> socket write: COM\(232\) data", "burst_write"),
    (rb"^--> socket receive: length=(\d+)", "receive"),
    (rb"^  COM (\d+), DataLen=(\d+)", "section"),
    (rb"^-- packet ignored", "ignored"),
    (rb"^open file success for saving", "save_start"),
    (rb"ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer", "sanitizer"),
]]
# Lines that show the daemon has given up a link (the first one after a
# silent drop is when it noticed).
GAVE_UP = ("peer_close", "write_close", "read_error", "socket_error", "connect", "connect_error",
           "link_down")
LINK_DOWN = re.compile(rb"dead|timed out|timeout|time out", re.I)


class DaemonLog:
    def __init__(self, sink=None):
        self.partial = b""
        self.lines = []           # (time, line) of the recent lines
        self.count = {}
        self.taken_ok = {1: 0, 2: 0}
        self.taken_failed = {1: 0, 2: 0}
        self.dropped_reads = []   # lengths of server reads the daemon acted on in no way
        self.sanitizer = []
        self.events = []          # (time, name) of link events
        self.event_times = []
        self.sink = sink          # a file that keeps the whole output
        self._burst = None        # (line, bytes, write seen, failed)
        self._receive = None

    def feed(self, chunk, when):
        if self.sink:
            self.sink.write(chunk)
        data = self.partial + chunk
        *whole, self.partial = data.split(b"\n")
        for line in whole:
            self._line(line.rstrip(b"\r"), when)

    def _line(self, line, when):
        self.lines.append((when, line))
        if len(self.lines) > 4000:
            del self.lines[:2000]
        name, m = None, None
        for rx, n in RX:
            m = rx.search(line)
            if m:
                name = n
                break
        if name is None and LINK_DOWN.search(line):
            name = "link_down"
        self._resolve(name)
        if name is None:
            return
        self.count[name] = self.count.get(name, 0) + 1
        if name in GAVE_UP:
            self.events.append((when, name))
            self.event_times.append(when)
        if name in ("take1", "take2"):
            self._burst = [1 if name == "take1" else 2, int(m.group(1)), False, False]
        elif name == "burst_write" and self._burst:
            self._burst[2] = True
        elif name == "write_incomplete" and self._burst:
            self._burst[3] = True
        elif name == "receive":
            self._receive = int(m.group(1))
        elif name == "sanitizer":
            self.sanitizer.append(line.decode(errors="replace"))

    def _resolve(self, name):
        """Settles the burst and the read that the previous lines began."""
        if self._receive is not None and name != "receive":
            if name not in ("section", "ignored"):
                self.dropped_reads.append(self._receive)
            self._receive = None
        elif name == "receive" and self._receive is not None:
            self.dropped_reads.append(self._receive)
        b = self._burst
        if b is None or name == "write_incomplete" or (name == "burst_write" and not b[2]):
            return
        if b[2]:
            failed = b[3] or name in ("write_fail", "write_close")
            (self.taken_failed if failed else self.taken_ok)[b[0]] += b[1]
        self._burst = None

    def pending(self):
        """A burst taken whose write has not returned yet."""
        return self._burst is not None and not self._burst[2]

    def settle(self):
        """A burst whose write went out and no failure line followed counts
        as sent (its outcome is otherwise settled by the next line)."""
        if self._burst and self._burst[2]:
            self._resolve(None)

    def snapshot(self):
        return {"count": dict(self.count), "ok": dict(self.taken_ok),
                "failed": dict(self.taken_failed), "dropped": len(self.dropped_reads)}

    def since(self, snap):
        """Counts since a snapshot."""
        diff = {k: v - snap["count"].get(k, 0) for k, v in self.count.items()}
        return {"count": {k: v for k, v in diff.items() if v},
                "ok": {ln: self.taken_ok[ln] - snap["ok"][ln] for ln in (1, 2)},
                "failed": {ln: self.taken_failed[ln] - snap["failed"][ln] for ln in (1, 2)},
                "dropped": self.dropped_reads[snap["dropped"]:]}

    def first_event_after(self, t):
        i = bisect.bisect_left(self.event_times, t)
        return self.events[i] if i < len(self.events) else None

    def tail(self, n=12, before=None):
        lines = [ln for w, ln in self.lines if before is None or w <= before]
        return [ln.decode(errors="replace") for ln in lines[-n:]]
