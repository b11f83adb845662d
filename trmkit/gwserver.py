"""The server side of the gateway link, for end-to-end tests.

GatewayServer listens on 127.0.0.1 (ephemeral port) and accepts the daemon.
A Link is one accepted connection: it unscrambles the byte stream with the
build's table, cuts it into packets by their length field (a heartbeat burst
is many packets in one write; one read may hold several packets or part of
one), decodes them, and sends server packets, each in one write, or any raw
bytes the test wants.

Packet layout (little-endian): version 2, length (whole packet), type (0
init, 1 data, 2 heartbeat), IP length, IP text, signal byte; data packets
then carry a section count and sections of port, length, data.
"""

import socket
import struct
import time

from .sandbox import load_encode_table

VERSION = 2
TYPE_INIT, TYPE_DATA, TYPE_HEARTBEAT = 0, 1, 2
PORT_RS485, PORT_RS232, PORT_QYCOM, PORT_QYIO, PORT_VERIFY = 1, 2, 256, 257, 258


class Packet:
    """One decoded daemon packet (plain bytes in .raw)."""

    def __init__(self, raw, when):
        self.raw = raw
        self.time = when
        self.ver, self.length, self.type, iplen = struct.unpack_from("<BHBB", raw, 0)
        self.ip = raw[5:5 + iplen]
        self.signal = raw[5 + iplen]
        self.body = raw[6 + iplen:]
        self.sections = parse_sections(self.body) if self.type == TYPE_DATA else []
        self.init = parse_init(self.body) if self.type == TYPE_INIT else None

    def section(self, port):
        """Data of the first section for `port` (None when there is none)."""
        for p, data in self.sections:
            if p == port:
                return data
        return None

    def __repr__(self):
        return "Packet(type=%d, len=%d, sections=%r)" % (self.type, self.length, self.sections)


def parse_sections(body):
    count, off, out = body[0], 1, []
    for _ in range(count):
        port, n = struct.unpack_from("<HH", body, off)
        out.append((port, body[off + 4:off + 4 + n]))
        off += 4 + n
    if off != len(body):
        raise ValueError("sections do not add up to the packet: %r" % body)
    return out


def parse_init(body):
    f, off = {"netif": body[0], "reserved": body[1]}, 2
    for key in ("model", "alias", "version"):
        n = body[off]
        f[key] = body[off + 1:off + 1 + n]
        off += 1 + n
    f["ports"] = body[off]
    f["heartbeat"], f["constant"], f["delay"] = struct.unpack_from("<HBH", body, off + 1)
    f["tail"] = body[off + 6:]
    return f


def build_packet(sections=(), ptype=TYPE_DATA, ip=b"", signal=0, ver=VERSION,
                 length=None, count=None, iplen=None):
    """Plain bytes of a server packet. length, count and iplen override the
    true values to make malformed packets."""
    body = b"".join(struct.pack("<HH", port, len(data)) + data for port, data in sections)
    body = bytes([len(sections) if count is None else count]) + body
    rest = bytes([len(ip) if iplen is None else iplen]) + ip + bytes([signal]) + body
    total = 4 + len(rest)
    return struct.pack("<BHB", ver, total if length is None else length, ptype) + rest


def verify_answer(x, y):
    return struct.pack("<i", 5 * x * y + 3 * y * y - 11)


class Link:
    """One accepted connection from the daemon."""

    def __init__(self, sock, table):
        self.sock = sock
        self.enc = bytes(table)
        dec = [0] * 256
        for i, v in enumerate(table):
            dec[v] = i
        self.dec = bytes(dec)
        self.stream = bytearray()  # plain bytes from self.pos on are not yet taken
        self.pos = 0
        self.received = 0       # plain bytes received so far
        self.reads = []         # (time, byte count) of each read
        self.closed = False

    def scramble(self, plain):
        return plain.translate(self.enc)

    def _pump(self, timeout):
        """One read (waits up to timeout); False when nothing came."""
        self.sock.settimeout(max(timeout, 0.001))
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return False
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.closed = True
            return False
        self.reads.append((time.monotonic(), len(chunk)))
        self.received += len(chunk)
        if self.pos > 65536:  # keep the buffer short: taking stays cheap at high rates
            del self.stream[:self.pos]
            self.pos = 0
        self.stream += chunk.translate(self.dec)
        return True

    def _take(self):
        at = self.pos
        if len(self.stream) - at < 3:
            return None
        n = struct.unpack_from("<H", self.stream, at + 1)[0]
        if self.stream[at] != VERSION or n < 6:
            raise ValueError("stream out of step: %r" % bytes(self.stream[at:at + 32]))
        if len(self.stream) - at < n:
            return None
        self.pos = at + n
        return Packet(bytes(self.stream[at:at + n]), time.monotonic())

    def feed(self, chunk):
        """Bytes read elsewhere (a test's own event loop): the whole packets
        they complete, in order."""
        self.received += len(chunk)
        self.stream += chunk.translate(self.dec)
        return self._take_all()

    def next_packet(self, timeout=10.0, skip_heartbeats=False):
        """The next whole packet; raises AssertionError on time-out."""
        end = time.monotonic() + timeout
        while True:
            p = self._take()
            while p is not None:
                if not (skip_heartbeats and p.type == TYPE_HEARTBEAT):
                    return p
                p = self._take()
            left = end - time.monotonic()
            if left <= 0 or self.closed:
                raise AssertionError("no packet within %.1fs (closed=%s)" % (timeout, self.closed))
            self._pump(min(left, 0.1))

    def packets(self, seconds):
        """Every packet that arrives within `seconds`."""
        out, end = [], time.monotonic() + seconds
        while time.monotonic() < end and not self.closed:
            self._pump(min(0.05, max(0.001, end - time.monotonic())))
            out += self._take_all()
        return out

    def read_packets(self, timeout):
        """The whole packets that one read completes (waits up to timeout
        for it); [] when nothing came. For callers that time each read."""
        self._pump(timeout)
        return self._take_all()

    def _take_all(self):
        out = []
        p = self._take()
        while p is not None:
            out.append(p)
            p = self._take()
        return out

    def wait_closed(self, timeout=10.0):
        end = time.monotonic() + timeout
        while not self.closed and time.monotonic() < end:
            self._pump(0.1)
        return self.closed

    def send_plain(self, plain):
        """Scrambles and sends one packet in one write."""
        self.sock.sendall(self.scramble(plain))

    def send_raw(self, data):
        self.sock.sendall(data)

    def send_sections(self, sections, **kw):
        self.send_plain(build_packet(sections, **kw))

    def challenge(self, x, y):
        self.send_sections([(PORT_VERIFY, bytes([x, y]))])

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class GatewayServer:
    """Listens on 127.0.0.1 (or addr) with an ephemeral port. rcvbuf makes
    the accepted sockets' receive buffer small (for a stalled link); backlog
    0 with no accept makes a listener whose accept queue fills after one
    connection."""

    def __init__(self, table=None, rcvbuf=None, backlog=8, addr="127.0.0.1"):
        self.table = table or load_encode_table()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.bind((addr, 0))
        self.sock.listen(backlog)
        self.host = addr
        self.port = self.sock.getsockname()[1]
        self.links = []

    def accept(self, timeout=15.0):
        self.sock.settimeout(timeout)
        try:
            s, _ = self.sock.accept()
        except socket.timeout:
            raise AssertionError("the daemon did not connect within %.1fs" % timeout)
        link = Link(s, self.table)
        self.links.append(link)
        return link

    def fill_accept_queue(self, count=4):
        """Connections that are never accepted, so later SYNs get no answer."""
        extra = []
        for _ in range(count):
            c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            c.setblocking(False)
            c.connect_ex(("127.0.0.1", self.port))
            extra.append(c)
        self.links.append(_Holder(extra))
        return extra

    def close(self):
        for link in self.links:
            link.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class _Holder:
    def __init__(self, socks):
        self.socks = socks

    def close(self):
        for s in self.socks:
            s.close()
