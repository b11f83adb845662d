"""Traffic of the fault run: the numbered streams fed into the two lines
(bursts at a serial line's pace), the server's numbered data sections
towards the lines, and the command probes whose replies are counted."""

import collections
import os
import re

from trmkit.gwserver import PORT_QYCOM, PORT_QYIO, PORT_VERIFY, build_packet, verify_answer
from . import streams

RATES = (960, 1920, 3840, 5760, 11520)  # bytes/s: 9600 .. 115200 bit/s
MAX_RECORDS = 297                        # 1485 bytes: the largest section a packet holds


class Feeder:
    """One line's upward stream: bursts of 1..max_burst bytes, each at one
    of the line rates, separated by random gaps. Bytes count as fed once
    the pseudo-terminal took them."""

    def __init__(self, master, tracker, rng, max_burst=1500, gap=(0.0, 0.3)):
        self.master, self.t, self.rng = master, tracker, rng
        self.max_burst, self.gap = max_burst, gap
        self.running = False
        self.left = 0
        self.next_start = 0.0
        self.allow = 0.0
        self.last = 0.0
        self.rate = RATES[-1]

    def start(self, now):
        self.running, self.next_start, self.left = True, now, 0

    def stop(self):
        self.running, self.left = False, 0

    def tick(self, now):
        if not self.running:
            return
        if self.left == 0:
            if now < self.next_start:
                return
            self.left = self.rng.randint(1, self.max_burst)
            self.rate = self.rng.choice(RATES)
            self.last, self.allow = now, 1.0
        self.allow = min(self.allow + (now - self.last) * self.rate, self.rate * 0.2)
        self.last = now
        n = min(self.left, int(self.allow))
        if n <= 0:
            return
        try:
            w = os.write(self.master, streams.data(self.t.sid, self.t.fed, self.t.fed + n))
        except (BlockingIOError, OSError):
            w = 0
        if w > 0:
            self.t.fed_at(self.t.fed, now)
            self.t.fed += w
            self.left -= w
            self.allow -= w
        if self.left == 0:
            self.next_start = now + self.rng.uniform(*self.gap)


class DownSender:
    """The server's data towards the lines: one section of whole records
    per packet, one packet per write, at least `gap` apart (as a console
    paces them)."""

    def __init__(self, rig, rng, max_records=200, gap=(0.03, 0.15)):
        self.rig, self.rng = rig, rng
        self.max_records, self.gap = max_records, gap
        self.running = False
        self.next_time = 0.0

    def start(self, now):
        self.running, self.next_time = True, now

    def stop(self):
        self.running = False

    def tick(self, now):
        link = self.rig.link
        if not self.running or now < self.next_time or link is None or not link.usable():
            return
        if link.outq:
            return
        line = self.rng.choice((1, 2))
        link.send_plain(*self.rig.data_packet(line, self.rng.randint(1, self.max_records)))
        self.next_time = now + self.rng.uniform(*self.gap)


# Command probes: (channel port, command text, reply pattern).
CONFIG_PROBES = [
    (PORT_QYIO, b"@CSQ\r", rb"!CSQ;\d+;\d\r\n"),
    (PORT_QYIO, b"@FWVER\r", rb"!FWVER;V1\.01\r\n"),
    (PORT_QYIO, b"@HEARTBEAT\r", rb"!HEARTBEAT;\d+\r\n"),
    (PORT_QYIO, b"@COMDATA2\r", rb"!COMDATA2;\d+;\d;\d;\d\r\n"),
    (PORT_QYIO, b"@TIMEINTERVAL\r", rb"!TIMEINTERVAL;\d+\r\n"),
]
VCOM_PROBES = [
    (PORT_QYCOM, b"10\r", rb"TRM-310\r"),
    (PORT_QYCOM, b"00\r", rb"OK\r"),
    (PORT_QYCOM, b"25S\r", rb"S=300000\r"),
]


class Commands:
    """Commands sent and the replies they are owed, matched by pattern in
    order per channel; verify challenges matched by their answer."""

    def __init__(self):
        self.pending = {PORT_QYIO: collections.deque(), PORT_QYCOM: collections.deque()}
        self.verify = collections.OrderedDict()   # answer bytes -> probe id
        self.answered = set()
        self.sent = self.unexpected = self.out_of_order = self.cleared = 0
        self.next_id = 0
        self.kept = None          # a list to keep every reply line in, when wanted

    def command(self, port, text, pattern):
        """The plain packet of one command; its probe id."""
        self.next_id += 1
        self.pending[port].append((re.compile(pattern), self.next_id))
        self.sent += 1
        return build_packet([(port, text)]), self.next_id

    def challenge(self, rng):
        while True:
            x, y = rng.randrange(256), rng.randrange(256)
            if verify_answer(x, y) not in self.verify:
                break
        self.next_id += 1
        self.verify[verify_answer(x, y)] = self.next_id
        self.sent += 1
        return build_packet([(PORT_VERIFY, bytes([x, y]))]), self.next_id

    def reply(self, port, data):
        if port == PORT_VERIFY:
            pid = self.verify.pop(bytes(data), None)
            if pid is None:
                self.unexpected += 1
            else:
                self.answered.add(pid)
            return
        end = b"\r\n" if port == PORT_QYIO else b"\r"
        for line in re.findall(b".*?" + re.escape(end) + b"|.+$", bytes(data), re.S):
            self._line(port, line)

    def _line(self, port, line):
        if self.kept is not None:
            self.kept.append((port, line))
        q = self.pending[port]
        for i, (rx, pid) in enumerate(q):
            if rx.fullmatch(line):
                del q[i]
                self.answered.add(pid)
                self.out_of_order += i > 0
                return
        self.unexpected += 1

    def forget(self, pids):
        """Probes given up as lost: a later reply must not be taken for theirs."""
        pids = set(pids)
        for q in self.pending.values():
            for item in [x for x in q if x[1] in pids]:
                q.remove(item)
        for answer in [a for a, pid in self.verify.items() if pid in pids]:
            del self.verify[answer]

    def new_link(self):
        """The daemon empties its virtual COM replies when a link comes up."""
        self.cleared += len(self.pending[PORT_QYCOM])
        self.pending[PORT_QYCOM].clear()

    def waiting(self):
        return sum(len(q) for q in self.pending.values()) + len(self.verify)
