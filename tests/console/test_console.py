"""The console against fake gateways: decoding, malformed input, several
gateways, verify, sending to every port, scripts and ending."""

import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

from consolekit import ConsoleCase, TIMEOUT
from trmkit.fakegw import (FakeGateway, data_packet, heartbeat_burst, heartbeat_packet, init_packet,
                           scramble)


class Decoding(ConsoleCase):
    def setUp(self):
        super().setUp()
        self.start_console()
        self.gw = self.gateway(1)

    def test_init_fields(self):
        m = self.expect(rb"gw1 init (.*)\n")
        self.assertEqual(m.group(1),
                         b'ip="10.20.30.40" signal=23 net=0 rsv=0 model="TRM-310" alias="KX-7700" '
                         b'version="V1.01" ports=2 heartbeat=60 const=10 delay=50 '
                         b'reserved=00 00 00 00 00 00 00 00')

    def test_heartbeat_burst_is_one_line(self):
        self.gw.send(heartbeat_burst())
        self.expect(rb'gw1 heartbeat copies=84 expected=84 len=17 ip="10.20.30.40" signal=23\n')
        # The same burst cut at odd places, as TCP may deliver it.
        wire = scramble(heartbeat_burst(signal=9))
        for a, b in ((0, 5), (5, 700), (700, 1428)):
            self.gw.send_raw(wire[a:b])
            time.sleep(0.02)  # each cut a read of its own
        self.expect(rb"gw1 heartbeat copies=84 expected=84 len=17 .* signal=9\n")
        self.assertEqual(len(self.lines(rb"gw1 heartbeat ")), 2)

    def test_short_heartbeat_run_is_reported_after_quiet(self):
        self.gw.send(heartbeat_packet() * 3)
        self.expect(rb"gw1 heartbeat copies=3 expected=84 len=17 ")

    def test_data_and_reply_sections(self):
        self.gw.send(data_packet([(1, b"AB\x01\xff"), (2, b""), (256, b"!SIP;OK\r\n"),
                                  (257, b"!SPORT;OK\r\n")]))
        self.expect(rb'gw1 data ip="10.20.30.40" signal=23 sections=4 len=\d+\n')
        self.expect(rb'gw1 port1 len=4 text="AB\\x01\\xFF" hex=41 42 01 FF\n')
        self.expect(rb'gw1 port2 len=0 text="" hex=\n')
        self.expect(rb'gw1 port256 len=9 text="!SIP;OK\\r\\n"\n')
        self.expect(rb'gw1 port257 len=11 text="!SPORT;OK\\r\\n"\n')

    def test_merged_and_byte_by_byte_packets(self):
        two = data_packet([(1, b"one")]) + data_packet([(2, b"two")])
        self.gw.send(two)
        self.expect(rb'gw1 port1 len=3 text="one"')
        self.expect(rb'gw1 port2 len=3 text="two"')
        for b in scramble(data_packet([(1, b"slow")])):
            self.gw.send_raw(bytes([b]))
        self.expect(rb'gw1 port1 len=4 text="slow"')
        self.assertNotIn(b"malformed", self.con.output)

    def test_largest_packet(self):
        data = bytes(range(256)) * 5 + bytes(1500 - 6 - 11 - 1 - 4 - 1280)
        self.gw.send(data_packet([(1, data)]))
        m = self.expect(rb"gw1 port1 len=(\d+) text=.* hex=([0-9A-F ]*)\n")
        self.assertEqual(int(m.group(1)), len(data))
        self.assertEqual(bytes.fromhex(m.group(2).decode()), data)


def with_len(pkt):
    """The packet with its length field set to its real length."""
    return pkt[:1] + struct.pack("<H", len(pkt)) + pkt[3:]


class Malformed(ConsoleCase):
    """Each bad packet is reported and dropped; the connection lives on and
    the next packet is read normally."""

    CASES = [
        (b"\x03\x11\x00\x02\x00" + bytes(12), rb"version 3 \(want 2\)"),
        (b"\x02\x04\x00\x02\x00", rb"length 4 too small for IP length 0"),
        (b"\x02\xdd\x05\x02\x00" + bytes(20), rb"length 1501 over 1500"),
        (b"\x02\x11\x00\x03\x00" + bytes(12), rb"type 3"),
        (b"\x02\x20\x00\x02\x10" + bytes(27), rb"IP length 16 over 15"),
    ]

    def setUp(self):
        super().setUp()
        self.start_console()
        self.gw = self.gateway(1)

    def after_bad(self, n):
        """A good packet after a bad one is decoded again."""
        self.gw.send_section(1, b"ok%d" % n)
        self.expect(rb'gw1 port1 len=3 text="ok%d"' % n)

    def test_bad_headers(self):
        for n, (bad, why) in enumerate(self.CASES):
            with self.subTest(why=why):
                self.gw.send(bad)
                self.expect(rb"gw1 malformed: " + why + rb"; dropped \d+ buffered bytes: ")
                self.after_bad(n)

    def test_bad_bodies(self):
        cases = [
            (data_packet([(1, b"abc")])[:-1], None),  # shortened below
            (data_packet([(1, b"abc")], count=2), rb"section 2 head runs past the packet"),
            (data_packet([(258, b"\x01\x02\x03")]), rb"verify answer of 3 bytes \(want 4\)"),
            (data_packet([(1, b"abc")]) + b"\x00\x00", None),
            (with_len(init_packet()[:30]), rb"init packet of 30 bytes ends inside the alias"),
            (with_len(heartbeat_packet() + b"\x01"), rb"heartbeat of 18 bytes \(want 17\)"),
            (struct.pack("<BHBB", 2, 17, 1, 11) + b"10.20.30.40" + b"\x17",
             rb"data packet of 17 bytes has no section count"),
        ]
        # A section longer than its packet: fix the length field by hand.
        pkt = bytearray(data_packet([(1, b"abc")]))
        pkt[-5] = 9  # the section's length low byte
        cases[0] = (bytes(pkt), rb"section 1 port1 len=9 runs past the packet \(3 bytes left\)")
        cases[3] = (with_len(data_packet([(1, b"abc")]) + b"\x00\x00"), rb"2 bytes after the last section")
        for n, (bad, why) in enumerate(cases):
            with self.subTest(why=why):
                self.gw.send(bad)
                self.expect(rb"gw1 malformed: " + why)
                self.after_bad(n)

    def test_garbage_closes_after_a_run_of_bad_headers(self):
        for _ in range(40):  # reads may merge: each read counts once
            if self.gw.closed.is_set():
                break
            try:
                self.gw.send(b"\x07" * 20)
            except OSError:
                break
            time.sleep(0.05)  # each write a read of its own, so a bad header of its own
        self.expect(rb"gw1 closed: too many malformed packets in a row")
        self.gw.closed.wait(TIMEOUT)
        self.assertTrue(self.gw.closed.is_set())

    def test_end_inside_a_packet(self):
        self.gw.send(data_packet([(1, b"abc")])[:12])
        self.gw.close()  # TCP delivers the 12 bytes before the end
        self.expect(rb"gw1 malformed: connection ended inside a packet \(12 bytes buffered\)")
        self.expect(rb"gw1 closed: peer closed")


class SeveralGateways(ConsoleCase):
    def test_three_gateways_each_get_their_own_bytes(self):
        self.start_console()
        gws = [self.gateway(i + 1, ip=b"10.0.0.%d" % (i + 1)) for i in range(3)]
        for i in range(3):
            self.cmd("text %d 1 to gw%d" % (i + 1, i + 1))
        for i, g in enumerate(gws):
            self.assertEqual(g.wait_sections(1), [(1, b"to gw%d" % (i + 1))])
        gws[1].send_section(2, b"from two")
        self.expect(rb'gw2 port2 len=8 text="from two"')
        self.cmd("list")
        self.expect(rb"gateways=3\n")
        # A closed slot is reused by the next gateway.
        gws[0].close()
        self.expect(rb"gw1 closed: peer closed")
        again = FakeGateway(self.port)
        self.addCleanup(again.close)
        self.expect_count(rb"gw1 connected from=", 2)
        self.expect_count(rb"gw1 init ", 2)
        self.assertEqual(len(self.lines(rb"gw4 connected")), 0)

    def test_a_ninth_gateway_is_refused(self):
        self.start_console()
        gws = [self.gateway(i + 1) for i in range(8)]
        extra = FakeGateway(self.port, send_init=False)
        self.addCleanup(extra.close)
        self.expect(rb"refused gateway from=127\.0\.0\.1:\d+: all 8 slots taken")
        self.assertTrue(extra.closed.wait(TIMEOUT))
        gws[7].send_section(1, b"still here")
        self.expect(rb'gw8 port1 len=10 text="still here"')


class Verify(ConsoleCase):
    def setUp(self):
        super().setUp()
        self.start_console()

    def test_right_and_wrong_answers(self):
        gw = self.gateway(1)
        self.cmd("verify 1 1 2")
        self.expect(rb"gw1 verify answer=11 expected=11 match\n")
        self.assertEqual(gw.sections[0], (258, b"\x01\x02"))
        self.cmd("verify 1 0 0")
        self.expect(rb"gw1 verify answer=-11 expected=-11 match\n")
        self.cmd("verify 1 255 255")
        self.expect(rb"gw1 verify answer=520189 expected=520189 match\n")
        gw.verify_wrong = True
        self.cmd("verify 1 3 4")
        self.expect(rb"gw1 verify answer=98 expected=97 mismatch\n")

    def test_unsolicited_answer_and_bad_arguments(self):
        gw = self.gateway(1)
        gw.send_section(258, struct.pack("<i", 7))
        self.expect(rb"gw1 verify answer=7 unsolicited\n")
        self.cmd("verify 1 256 1")
        self.expect(rb"error: usage: verify GW X Y")
        self.cmd("verify 2 1 1")
        self.expect(rb"error: gw2 cannot take a packet now \(not connected\)")


class Sending(ConsoleCase):
    def test_every_port_byte_for_byte(self):
        self.start_console("--gap", "200")
        gw = self.gateway(1)
        self.cmd("hex 1 1 01 02 0xFF,a0:7")
        self.cmd("hex 1 2 DEADBEEF")
        self.cmd(r"text 1 2 hi \x00\r\n\\ \"q\"")
        self.cmd("vcom 1 AT+SIP?")
        self.cmd(r"vcom 1 AT+X\r")
        self.cmd("cfg 1 RELINK")
        self.cmd("cfg 1 @SPORT=1,9600")
        want = [(1, b"\x01\x02\xff\xa0\x07"), (2, b"\xde\xad\xbe\xef"), (2, b'hi \x00\r\n\\ "q"'),
                (256, b"AT+SIP?\r"), (256, b"AT+X\r"), (257, b"@RELINK\r"), (257, b"@SPORT=1,9600\r")]
        self.assertEqual(gw.wait_sections(len(want)), want)
        # Each packet was written whole: no read ends inside a packet (the
        # gateway takes one read as one packet).
        for r in gw.reads:
            while r:
                n = struct.unpack_from("<H", r, 1)[0]
                self.assertLessEqual(n, len(r), "packet split across reads")
                r = r[n:]
        # ... and spaced by the gap: 7 packets take at least 6 gaps.
        self.assertGreaterEqual(gw.read_times[-1] - gw.read_times[0], 6 * 0.2 - 0.3)
        self.expect(rb"gw1 sent port257 len=14\n")

    def test_bad_commands_are_reported(self):
        self.start_console()
        self.gateway(1)
        for line, err in (("hex 1 1 0g", rb"error: bad data"), ("hex 1 1 012", rb"error: bad data"),
                          (r"text 1 1 \q", rb"error: bad data"), ("hex 9 1 00", rb"error: usage: hex"),
                          ("hex 1 1 " + "00" * 1490, rb"error: data longer than one packet holds"),
                          ("frobnicate", rb'error: unknown command "frobnicate"'),
                          ("x" * 5000, rb"error: input line longer than 4095")):
            with self.subTest(line=line[:20]):
                self.cmd(line)
                self.expect(err)
        self.cmd("hex 1 1 " + "00" * 1489)
        self.expect(rb"gw1 sent port1 len=1489\n")

    def test_packets_wait_for_the_first_packet_of_the_gateway(self):
        self.start_console()
        gw = self.gateway(1, send_init=False)
        self.cmd("hex 1 1 42")
        self.expect(rb"gw1 queued port1 len=1\n")
        self.cmd("list")  # passes have run since, and the packet is still held
        self.expect(rb"gw1 from=\S+ packets=0 queued=1 waiting for its first packet\n")
        self.assertEqual(gw.sections, [])
        gw.send(init_packet())
        self.assertEqual(gw.wait_sections(1), [(1, b"\x42")])


class Lifecycle(ConsoleCase):
    def test_script_from_a_file_ends_at_eof(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("# commissioning script\nwait 1 20000\nhex 1 1 AA BB\r\nvcom 1 AT\nsleep 100\n")
        self.addCleanup(os.unlink, f.name)
        with open(f.name, "rb") as script:
            self.start_console(stdin=script)
        gw = self.gateway(1)
        self.assertEqual(self.con.wait_exit(TIMEOUT), 0)
        self.assertIn(b"wait gw1 ready", self.con.output)
        self.assertTrue(self.con.output.endswith(b"bye\n"), self.con.output[-200:])
        self.assertEqual(gw.wait_sections(2), [(1, b"\xaa\xbb"), (256, b"AT\r")])

    def test_wait_times_out(self):
        self.start_console()
        self.cmd("wait 3 200")
        self.expect(rb"error: wait gw3 timed out")

    def test_keep_runs_past_eof_until_sigterm(self):
        self.start_console("--keep", stdin=subprocess.DEVNULL)
        self.gateway(1)
        os.kill(self.con.pid, signal.SIGTERM)
        self.assertEqual(self.con.wait_exit(TIMEOUT), 0)
        self.assertIn(b"signal 15: bye", self.con.output)
        self.assertIn(b"gw1 closed: console ends", self.con.output)

    def test_quit_and_sigint(self):
        self.start_console()
        self.cmd("quit")
        self.assertEqual(self.con.wait_exit(TIMEOUT), 0)
        self.start_console()
        os.kill(self.con.pid, signal.SIGINT)
        self.assertEqual(self.con.wait_exit(TIMEOUT), 0)
        self.assertIn(b"signal 2: bye", self.con.output)

    def test_bad_options(self):
        for args in (("-p", "70000"), ("--modbus", "1:3:0"), ("-a", "nowhere"), ("extra",)):
            with self.subTest(args=args):
                p = self.sb.start_tool("trm-console", *args)
                self.assertNotEqual(p.wait_exit(TIMEOUT), 0)
                self.assertIn(b"error: ", p.output)
        # TLS: the certificate and the key together, files that can be used,
        # each refusal naming the option and the file (status 2, as above).
        empty = os.path.join(self.sb.dir, "empty.pem")
        open(empty, "w").close()
        cases = [(("--tls-cert", empty), rb"--tls-cert and --tls-key go together"),
                 (("--tls-key", empty), rb"--tls-cert and --tls-key go together"),
                 (("--tls-ca", empty), rb"--tls-ca needs --tls-cert and --tls-key")]
        usage = self.sb.start_tool("trm-console", "--help")
        usage.wait_exit(TIMEOUT)
        if b"--tls-cert FILE" in usage.output:  # not in the board's build
            cases += [(("--tls-cert", "/nonexistent/c.pem", "--tls-key", empty),
                       rb"--tls-cert /nonexistent/c\.pem: cannot read: No such file or directory"),
                      (("--tls-cert", empty, "--tls-key", empty),
                       rb"--tls-cert " + re.escape(empty.encode()) + rb": no certificate in it \(PEM\)")]
        for args, why in cases:
            with self.subTest(args=args):
                p = self.sb.start_tool("trm-console", *args)
                self.assertEqual(p.wait_exit(TIMEOUT), 2)
                self.assertRegex(p.output, rb"^error: " + why + rb"[ \n]")
                self.assertNotIn(b"listening", p.output)


if __name__ == "__main__":
    unittest.main()
