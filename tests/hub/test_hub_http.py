"""End-to-end: the hub's HTTP layer facing clients that misbehave, through
real sockets. Bodies up to 64 KiB are answered and a larger one is refused
with 413 at once; a client that trickles its request, one that never ends
its headers and one that never reads are closed by the time-outs (short
ones here)."""

import socket
import struct
import time

from hubcase import TIMEOUT, Hub, HubCase
from trmkit.wait import wait_until

CONFIG = """
[http]
idle_timeout_s = 1
request_timeout_s = 2
"""

TCP_ESTABLISHED = 1


def closed(sock):
    """True once the hub has ended the connection (nothing is read)."""
    info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)
    return struct.unpack("B", info[:1])[0] != TCP_ESTABLISHED


def connect(hub, rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", hub.http))
    return s


def post(hub, body, declared=None):
    """(status line, whether the hub closed the connection after it)."""
    s = connect(hub)
    with s:
        s.sendall(b"POST /api/exposures HTTP/1.1\r\nHost: hub\r\nContent-Length: %d\r\n\r\n" % (declared or len(body)))
        s.sendall(body)
        s.settimeout(TIMEOUT)
        reply = s.recv(65536)
        head = reply.split(b"\r\n")[0]
        try:
            rest = s.recv(65536)
        except socket.timeout:
            rest = None
        s.settimeout(0.2)
        return head, rest == b"" or (rest is not None and b"close" in reply)


class Http(HubCase):
    def test_bodies_up_to_the_limit_are_answered_larger_refused_at_once(self):
        hub = Hub(self, "--no-mqtt", config=CONFIG)
        self.assertEqual(post(hub, b" " * 65536)[0][:12], b"HTTP/1.1 400")  # read whole: not JSON
        head, was_closed = post(hub, b" " * 65537)
        self.assertEqual((head[:12], was_closed), (b"HTTP/1.1 413", True))
        started = time.monotonic()
        head, was_closed = post(hub, b"", declared=10 ** 9)  # refused before any of it is sent
        self.assertEqual((head[:12], was_closed), (b"HTTP/1.1 413", True))
        self.assertLess(time.monotonic() - started, 1.0)

    def test_slow_silent_and_non_reading_clients_are_closed(self):
        hub = Hub(self, "--no-mqtt", config=CONFIG)
        unfinished = connect(hub)
        unfinished.sendall(b"GET /api/hub HTTP/1.1\r\nHost: hub\r\n")
        deaf = connect(hub, rcvbuf=4096)  # asks for far more than the buffers hold, reads nothing
        deaf.sendall(b"GET /metrics HTTP/1.1\r\nHost: hub\r\n\r\n" * 300)
        slow = connect(hub)
        for s in (unfinished, deaf, slow):
            self.addCleanup(s.close)
        started = time.monotonic()
        request = b"POST /api/exposures HTTP/1.1\r\nHost: hub\r\nContent-Length: 100\r\n\r\n" + b" " * 100
        for byte in request:  # a byte every 0.25 s: never idle, never done
            if closed(slow):
                break
            try:
                slow.send(bytes([byte]))
            except OSError:
                break
            time.sleep(0.25)
        self.assertTrue(closed(slow))
        self.assertLess(time.monotonic() - started, 2 + 1.5)  # the request deadline, not the whole request
        # Only the hub sees the deaf one go (its end waits behind the replies).
        wait_until(lambda: closed(unfinished) and hub.metric("trm_hub_http_connections") == 1,
                   what="the idle clients closed")  # the one asking is left
        self.assertEqual(hub.metric("trm_hub_http_request_timeouts_total"), 1)


if __name__ == "__main__":
    import unittest
    unittest.main()
