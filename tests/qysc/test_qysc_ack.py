"""End-to-end: the daemon's acknowledged link against a hub made with
Python's ssl module that chooses it: the hello both ways, acknowledgements
of the hub's stream, a break with the line still sending resumed without a
byte lost, repeated or reordered, and an outage past the retained buffer
losing only the oldest bytes, counted. Without the hub choosing it, the
secure link's own tests (test_qysc_tls.py) see the plain link unchanged."""

import select
import struct
import threading
import time

from test_qysc_tls import TlsCase
from trmkit.gwserver import PORT_RS485
from trmkit.tlspeer import HUB_CA, HUB_NAME

PORT_ACK = 259
HELLO, ACK = 1, 2
HUB_GEN = 0x5eed
LAYOUT = "<BIQQIQQ"


def message(kind, mine=(0, 0, 0), yours=(0, 0, 0)):
    return struct.pack(LAYOUT, kind, *mine, *yours)


def numbered(n, start=0):
    return bytes(((i * 7) % 251) for i in range(start, start + n))


class Feeder(threading.Thread):
    """Writes data into the line's far end at about 115 200 bit/s."""

    def __init__(self, pty, data):
        super().__init__(daemon=True)
        self.pty, self.data, self.done = pty, data, threading.Event()

    def run(self):
        off, end = 0, time.monotonic() + 60
        while off < len(self.data) and time.monotonic() < end:
            select.select([], [self.pty.master], [], 0.05)
            try:
                off += self.pty.write_some(self.data[off:off + 512])
            except BlockingIOError:
                continue
            time.sleep(0.04)
        self.done.set()


class AckCase(TlsCase):
    def setUp(self):
        super().setUp()
        self.hub.context.set_alpn_protocols(["trm-ack/1"])
        self.got = bytearray()
        self.acks = []

    def connect(self, ini_extra=""):
        self.factory_pair()
        self.start_tls("enable=1\r\nca=%s\r\nname=%s\r\n%s" % (HUB_CA, HUB_NAME, ini_extra),
                       "HeartbeatTime=60\r\n")
        return self.meet()

    def meet(self):
        """Accepts the daemon, takes its init packet and hello."""
        link = self.hub.accept(20)
        self.assertEqual(link.tls.selected_alpn_protocol(), "trm-ack/1")
        self.assertEqual(link.next_packet().type, 0)
        hello = struct.unpack(LAYOUT, link.next_packet(skip_heartbeats=True).section(PORT_ACK))
        self.assertEqual(hello[0], HELLO)
        self.assertNotEqual(hello[1], 0)
        return link, hello

    def take(self, link, until, timeout=20):
        end = time.monotonic() + timeout
        while len(self.got) < until and time.monotonic() < end:
            p = link.next_packet(timeout=max(0.1, end - time.monotonic()), skip_heartbeats=True)
            self.got += p.section(PORT_RS485) or b""
            if p.section(PORT_ACK) is not None:
                self.acks.append(struct.unpack(LAYOUT, p.section(PORT_ACK)))


class Resume(AckCase):
    def test_a_break_loses_nothing_either_way(self):
        link, hello = self.connect()
        gen = hello[1]
        self.assertEqual(hello[2:], (0, 0, 0, 0, 0))
        link.send_sections([(PORT_ACK, message(HELLO, (HUB_GEN, 0, 0), (gen, 0, 0)))])
        self.log(rb"--> ack: hub's hello: line 1 from 0, line 2 from 0\r\n")
        # The hub's stream: acknowledged once 16 KiB are in.
        for i in range(17):
            link.send_sections([(PORT_RS485, numbered(1000, 1000 * i))])
        self.assertEqual(self.rs485.read(10, want=17000), numbered(17000))
        data = numbered(40000)
        feeder = Feeder(self.rs485, data)
        feeder.start()
        self.take(link, 12000)
        self.assertTrue(any(a[0] == ACK and a[4] == HUB_GEN and a[5] >= 16384 for a in self.acks))
        link.send_sections([(PORT_ACK, message(ACK, yours=(gen, 5000, 0)))])
        link.close()  # the break, the line still sending
        time.sleep(1.5)
        link, hello = self.meet()
        self.assertEqual(hello[1], gen)
        self.assertLessEqual(hello[2], len(self.got))
        self.assertEqual(hello[4:6], (HUB_GEN, 17000))
        link.send_sections([(PORT_ACK, message(HELLO, (HUB_GEN, 17000, 0), (gen, len(self.got), 0)))])
        self.take(link, len(data))
        self.assertTrue(feeder.done.wait(30))
        self.assertEqual(len(self.got), len(data))
        self.assertEqual(bytes(self.got), data, "lost, repeated or reordered bytes")
        self.assertNotIn(b"lost at", self.daemon.output)

    def test_an_outage_past_the_buffer_loses_the_oldest_counted(self):
        link, hello = self.connect("retain_kb=16\r\n")
        gen = hello[1]
        link.send_sections([(PORT_ACK, b"\x01short")])
        self.log(rb"--> ack: hub message refused: not a message, refusals 1\r\n")
        link.send_sections([(PORT_ACK, message(HELLO, (HUB_GEN, 0, 0), (gen, 0, 0)))])
        self.log(rb"--> ack: hub's hello")
        link.close()
        data = numbered(60000)
        feeder = Feeder(self.rs485, data)
        feeder.start()
        self.assertTrue(feeder.done.wait(30))
        time.sleep(0.5)
        link, hello = self.meet()
        oldest = hello[2]
        self.assertGreater(oldest, 60000 - 16384)
        link.send_sections([(PORT_ACK, message(HELLO, (HUB_GEN, 0, 0), (gen, 0, 0)))])
        self.log(rb"--> ack: line 1: %d bytes of the gateway's stream lost at 0..%d\r\n" % (oldest, oldest))
        self.take(link, len(data) - oldest)
        self.assertEqual(bytes(self.got), data[oldest:])
