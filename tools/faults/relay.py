"""A TCP relay between the daemon and the hub that breaks the link on
request: it closes both ends, resets them, cuts the stream inside a TLS
record (so inside a packet), stalls (reads neither end for a while) or
puts garbage into one direction. It carries the secure link unread; it
only follows the TLS record heads to know where a record's body is.

Every connection the daemon makes is paired with a new one to the hub;
the relay is driven by its owner's select loop (watch(), ready())."""

import errno
import socket
import struct
import time

CHUNK = 65536
APP_DATA = 23


class Records:
    """Follows TLS record heads in one direction: where, in the bytes
    about to pass, a record's body lies."""

    def __init__(self):
        self.head = b""       # a head not yet whole
        self.body = 0         # bytes of the current body still to come
        self.kind = 0

    def bodies(self, data):
        """(start, end) of each stretch of application-data body in data;
        the follower moves past data."""
        out, i = [], 0
        while i < len(data):
            if self.body:
                n = min(self.body, len(data) - i)
                if self.kind == APP_DATA:
                    out.append((i, i + n))
                self.body, i = self.body - n, i + n
                continue
            take = min(5 - len(self.head), len(data) - i)
            self.head, i = self.head + data[i:i + take], i + take
            if len(self.head) == 5:
                self.kind, self.body = self.head[0], struct.unpack(">H", self.head[3:5])[0]
                self.head = b""
        return out


class Pair:
    def __init__(self, down, up):
        self.end = {"gw": down, "hub": up}
        self.out = {"gw": b"", "hub": b""}        # bytes waiting to go to that end
        self.rec = {"gw": Records(), "hub": Records()}
        self.open = True
        self.cut = None                           # (direction, rng) while a cut is armed


class Relay:
    def __init__(self, listen_addr, hub_addr, ns):
        self.ns, self.hub_addr = ns, hub_addr
        with ns.entered():
            self.sock = socket.socket()
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.sock.bind((listen_addr, 0))
            self.sock.listen(8)
        self.sock.setblocking(False)
        self.port = self.sock.getsockname()[1]
        self.pairs = []
        self.stalled_until = 0.0
        self.accepted = 0
        self.bytes = {"gw": 0, "hub": 0}          # bytes carried to each end

    # --- the loop --------------------------------------------------------------
    def watch(self, now):
        """(readable, writable) sockets for select."""
        rl, wl = [self.sock], []
        if now < self.stalled_until:
            return rl, wl
        for p in self.live():
            rl += list(p.end.values())
            wl += [p.end[k] for k in p.end if p.out[k]]
        return rl, wl

    def ready(self, rl, wl, now):
        if self.sock in rl:
            self._accept()
        if now < self.stalled_until:
            return
        for p in self.live():
            for name, other in (("gw", "hub"), ("hub", "gw")):
                if p.open and p.end[name] in rl:
                    self._read(p, name, other)
                if p.open and p.out[name] and p.end[name] in wl:
                    self._write(p, name)

    def live(self):
        self.pairs = [p for p in self.pairs if p.open]
        return self.pairs

    def _accept(self):
        try:
            down, _ = self.sock.accept()
        except BlockingIOError:
            return
        with self.ns.entered():
            up = socket.create_connection(self.hub_addr, timeout=5)
        for s in (down, up):
            s.setblocking(False)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pairs.append(Pair(down, up))
        self.accepted += 1

    def _read(self, p, name, other):
        try:
            data = p.end[name].recv(CHUNK)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return self.close(p)
        if not data:
            return self.close(p)
        if p.cut and p.cut[0] == other:
            return self._cut(p, other, data)
        p.rec[other].bodies(data)
        p.out[other] += data

    def _write(self, p, name):
        try:
            n = p.end[name].send(p.out[name])
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return self.close(p)
        p.out[name] = p.out[name][n:]
        self.bytes[name] += n

    # --- the faults -------------------------------------------------------------
    def close(self, p=None, reset=False):
        """Ends the pair (every pair when p is None): FIN, or RST when reset."""
        for q in [p] if p else list(self.live()):
            q.open = False
            for s in q.end.values():
                if reset:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                try:
                    s.close()
                except OSError as e:
                    if e.errno != errno.EBADF:
                        raise

    def arm_cut(self, direction, rng):
        """The next bytes towards `direction` ("gw" or "hub") that hold a
        record's body are passed up to a point inside it, then both ends close."""
        for p in self.live():
            p.cut = (direction, rng)

    def _cut(self, p, to, data):
        bodies = [b for b in p.rec[to].bodies(data) if b[1] - b[0] >= 2]
        if not bodies:
            p.out[to] += data
            return
        lo, hi = p.cut[1].choice(bodies)
        at = p.cut[1].randint(lo + 1, hi - 1)
        p.out[to] += data[:at]
        self._write(p, to)
        time.sleep(0.05)
        self._write(p, to)
        self.close(p)

    def stall(self, seconds, now):
        """Neither end read nor written for `seconds`."""
        self.stalled_until = now + seconds

    def garbage(self, direction, junk):
        """junk put into the stream towards `direction`."""
        for p in self.live():
            p.out[direction] += junk

    def shut(self):
        self.close()
        self.sock.close()
