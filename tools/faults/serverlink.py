"""One connection from the daemon as the fault run's server holds it: read
and written without blocking from the run's event loop, and closed, reset
or stalled on purpose."""

import collections
import socket
import struct
import time

from trmkit.gwserver import Link


class ServerLink:
    def __init__(self, sock, table, number):
        sock.setblocking(False)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = sock
        self.codec = Link(sock, table)
        self.number = number
        self.accepted = time.monotonic()
        self.init_at = None
        self.last_rx = self.accepted
        self.reading = True
        self.recv_size = 65536
        self.outq = collections.deque()   # [bytes left, memo, bytes sent]
        self.state = "open"               # open, eof, reset, closed (by us)
        self.heartbeats = 0
        self.framing_lost = 0
        self.on_packet = None             # hook(link, packet) of a fault kind
        self.on_sent = None               # hook(memo) when an item is wholly written
        self.on_torn = None               # hook(memo) for an item cut by a close

    def usable(self):
        return self.state == "open" and self.init_at is not None and self.reading

    def fileno(self):
        return self.sock.fileno()

    # --- reading ------------------------------------------------------------
    def read(self):
        """Packets of one read; [] when nothing came, None at the end."""
        try:
            chunk = self.sock.recv(self.recv_size)
        except BlockingIOError:
            return []
        except (ConnectionResetError, TimeoutError, OSError):
            self._ended("reset")
            return None
        if not chunk:
            self._ended("eof")
            return None
        self.last_rx = time.monotonic()
        try:
            return self.codec.feed(chunk)
        except (ValueError, struct.error):
            self.framing_lost += 1
            self.codec.stream = b""
            return []

    def _ended(self, how):
        if self.state == "open":
            self.state = how
            self._tear()
            self.sock.close()

    # --- writing ------------------------------------------------------------
    def send_raw(self, data, memo=None):
        self.outq.append([data, memo, 0])
        self.flush()

    def send_plain(self, plain, memo=None):
        self.send_raw(self.codec.scramble(plain), memo)

    def flush(self):
        while self.outq and self.state == "open":
            item = self.outq[0]
            try:
                n = self.sock.send(item[0])
            except BlockingIOError:
                return
            except OSError:
                self._ended("reset")
                return
            item[0], item[2] = item[0][n:], item[2] + n
            if item[0]:
                return
            self.outq.popleft()
            if self.on_sent and item[1] is not None:
                self.on_sent(item[1])

    def _tear(self):
        for data, memo, sent in self.outq:
            if sent and self.on_torn and memo is not None:
                self.on_torn(memo)
        self.outq.clear()

    # --- faults -------------------------------------------------------------
    def drain(self):
        """Everything already received (a close then ends with FIN)."""
        got = []
        while self.state == "open":
            p = self.read()
            if not p:
                break
            got += p
        return got

    def close(self, reset=False):
        if self.state != "open":
            return
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.state = "closed"
        self._tear()
        self.sock.close()
