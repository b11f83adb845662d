"""seekresp end to end, in network namespaces of the test's own: the
responder's namespace has a veth end named eth0, a peer in a second
namespace sends the requests and sees every datagram that comes back."""

import os
import re
import subprocess
import time
import unittest

from trmkit.modem import PYTHON
from trmkit.netns import NetNs, forbidden
from trmkit.sandbox import Sandbox, emulator, sandbox_bin

FORBIDDEN = forbidden(nft=False)
PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "netpeer.py")
BANNER = (b"======================\r\n== seekresp\r\n==   v1.0 2013/12/18\r\n"
          b"======================\r\n\r\n== receive start ==\r\n")
REPLY = b"QUARNE4410K,80,NAME=TRM-310,IP=192:0:2:10,MASK=255:255:255:0,MAC=02:00:00:12:34:56\r"


@unittest.skipIf(FORBIDDEN, FORBIDDEN)
class Responder(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.board_ns = NetNs("sr", prefix="trm-")
        self.lan_ns = NetNs("lan", prefix="trm-")
        self.addCleanup(self.lan_ns.close)
        self.addCleanup(self.board_ns.close)
        self.addCleanup(self.sb.close)

    def make_lan(self, mac="02:00:00:12:34:56", address="192.0.2.10/24"):
        b, lan = self.board_ns, self.lan_ns
        b.ip("link", "add", "eth0", "type", "veth", "peer", "name", "lan", "netns", lan.name)
        b.ip("link", "set", "eth0", "address", mac)
        if address:
            b.ip("addr", "add", address, "dev", "eth0")
        lan.ip("addr", "add", "192.0.2.20/24", "dev", "lan")
        b.ip("link", "set", "eth0", "up")
        lan.ip("link", "set", "lan", "up")
        self.peer = self.sb.start_host(lan.prefix() + [PYTHON, PEER, "lan"], stdin=subprocess.PIPE)
        self.addCleanup(self.peer.proc.stdin.close)
        self.peer.wait_for(b"ready")

    def start_responder(self):
        p = self.sb.start_host(self.board_ns.prefix() + emulator() + [sandbox_bin("seekresp")])
        p.wait_for(rb"== receive start ==\r\n", timeout=20)
        return p

    def send(self, payload, ip="192.0.2.10", port=54410):
        self.peer.proc.stdin.write(("send %s %d %s\n" % (ip, port, payload.hex())).encode())
        self.peer.proc.stdin.flush()
        return int(self.peer.wait_for(rb"sent (\d+)").group(1))

    def replies(self, count, settle=0.5):
        """Waits for `count` datagrams, then a little longer for any extra."""
        rx = re.compile(rb"udp (\S+):(\d+) > (\S+):(\d+) ([0-9a-f]*)\n")
        deadline = time.monotonic() + 10
        while len(rx.findall(self.peer.output)) < count and time.monotonic() < deadline:
            self.peer.poll_output(0.05)
        self.peer.collect(settle)
        return [(m.group(1).decode(), m.group(3).decode(), int(m.group(4)), bytes.fromhex(m.group(5).decode()))
                for m in rx.finditer(self.peer.output)]

    def test_one_datagram_one_broadcast(self):
        self.make_lan()
        sr = self.start_responder()
        self.assertEqual(sr.output, BANNER)
        port = self.send(b"x")
        self.assertEqual(self.replies(1), [("192.0.2.10", "255.255.255.255", 54321, REPLY)])
        sr.wait_for(rb"== reply start ==\r\n\r\n== receive start ==\r\n")
        self.assertEqual(sr.output[len(BANNER):],
                         b"-->RecvieIP:192.0.2.20 Recive Port:%d\n  [recv_len=1] x\r\n"
                         b"  [len=83] %s\n== reply start ==\r\n\r\n== receive start ==\r\n" % (port, REPLY))

    def test_two_datagrams_two_replies_in_order(self):
        self.make_lan()
        sr = self.start_responder()
        self.send(b"first")
        self.send(b"second", ip="255.255.255.255")
        self.assertEqual([r[3] for r in self.replies(2)], [REPLY, REPLY])
        sr.wait_for(rb"second")
        logged = re.findall(rb"\[recv_len=\d+\] (\w+)\r\n", sr.output)
        self.assertEqual(logged, [b"first", b"second"])

    def test_long_datagram_logged_as_256(self):
        self.make_lan()
        sr = self.start_responder()
        payload = bytes((ord("a") + i % 26) for i in range(300))
        self.send(payload)
        self.replies(1)
        sr.wait_for(rb"== reply start ==\r\n")
        self.assertIn(b"  [recv_len=256] " + payload[:256] + b"\r\n", sr.output)
        self.send(payload * 200)  # 60000 bytes, fragmented on the wire
        self.assertEqual(len(self.replies(2)), 2)
        sr.wait_for(rb"== reply start ==\r\n")
        self.assertEqual(sr.output.count(b"  [recv_len=256] " + payload[:256] + b"\r\n"), 2)

    def test_text_ends_at_a_zero_byte(self):
        self.make_lan()
        sr = self.start_responder()
        self.send(b"ab\0cd")
        self.replies(1)
        sr.wait_for(rb"== reply start ==\r\n")
        self.assertIn(b"  [recv_len=5] ab\r\n", sr.output)

    def test_zero_length_datagram_ends_with_255(self):
        self.make_lan()
        sr = self.start_responder()
        self.send(b"")
        self.assertEqual(sr.wait_exit(timeout=10), 255)
        self.assertIn(b"recv error", sr.output)
        self.assertEqual(self.replies(0), [])

    def test_interface_without_address(self):
        self.make_lan(mac="02:ab:cd:00:0e:0f", address=None)
        self.start_responder()
        self.send(b"?", ip="255.255.255.255")
        self.assertEqual(self.replies(1), [("0.0.0.0", "255.255.255.255", 54321,
                                            b"QUARNE4410K,80,NAME=TRM-310,IP=,MASK=,MAC=02:AB:CD:00:0E:0F\r")])

    def test_port_taken_ends_with_255(self):
        self.make_lan()
        self.start_responder()
        second = self.sb.start_host(self.board_ns.prefix() + emulator() + [sandbox_bin("seekresp")])
        self.assertEqual(second.wait_exit(timeout=20), 255)
        self.assertIn(b"bind failed: Address already in use", second.output)


if __name__ == "__main__":
    unittest.main()
