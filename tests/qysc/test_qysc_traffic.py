"""End-to-end: the real daemon (sandbox copy) against the test server on
loopback, with pseudo-terminals as its RS-485 and RS-232 lines."""

import random
import struct
import time
import unittest

from trmkit.gwserver import (TYPE_DATA, TYPE_HEARTBEAT, PORT_RS485, PORT_RS232, PORT_QYCOM,
                             PORT_QYIO, PORT_VERIFY, build_packet, verify_answer)
from qysc_case import DaemonCase, LED1_CLEAR, LED1_SET, LED1_BIT
from trmkit.sandbox import CONFIG, MODEM, WDT_CONTROL, FileOpens, fuzz_seed
from trmkit.wait import poll_until


class StartUp(DaemonCase):
    def test_version_option_touches_nothing(self):
        status, out = self.sb.run("qysc", "--ver")
        self.assertEqual(status, 0)
        self.assertEqual(out, b"qysc version = V1.01 2014/01/29\r\n")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0)
        self.assertEqual(self.sb.wdt_services(), 0)
        self.assertEqual(self.sb.read32(LED1_CLEAR), 0)

    def test_init_packet_fields_and_stale_serial_bytes_dropped(self):
        self.start("VirtualIP=10.20.30.40\r\nModuleAlias=Pump-7\r\nHeartbeatTime=7\r\n")
        link = self.server.accept(20)
        accepted = time.monotonic()
        self.log(rb"->net_connect OK\r\n")
        # Bytes that reach the lines before the init packet are discarded.
        self.rs485.write(b"stale-485")
        self.rs232.write(b"stale-232")
        init = link.next_packet()
        self.assertGreater(init.time - accepted, 0.8, "about 1 s after the connect")
        self.assertEqual((init.ver, init.type, init.length), (2, 0, 37 + 11 + 6))
        self.assertEqual((init.ip, init.signal), (b"10.20.30.40", 71))
        self.assertEqual(init.init, {
            "netif": 0, "reserved": 0, "model": b"TRM-310", "alias": b"Pump-7",
            "version": b"V1.01", "ports": 2, "heartbeat": 7, "constant": 10, "delay": 50,
            "tail": bytes(8)})
        self.assertEqual(link.packets(0.8), [], "stale serial bytes were sent")
        self.rs485.write(b"fresh")
        p = link.next_packet()
        self.assertEqual(p.sections, [(PORT_RS485, b"fresh")])
        self.assertEqual(p.length, 17 + 1 + 4 + 5)
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x95, "watchdog on with 5000 ms")
        self.assertGreaterEqual(self.sb.wdt_services(), 3, "serviced at least once a second")

    def test_long_configuration_path_argument(self):
        path = "/quarne/qysc/site-configurations/pumping-station-north.ini"
        self.config("ModuleAlias=North\r\n", path=path)
        self.daemon = self.sb.start("qysc", path)
        self.log(rb"read config from: " + path.encode() + rb"\r\n")
        link = self.server.accept(20)
        self.assertEqual(link.next_packet().init["alias"], b"North")

    def test_odd_configuration_and_modem_files(self):
        rnd = random.Random(fuzz_seed("junk files"))
        junk = bytes(rnd.randrange(256) for _ in range(3000))
        self.sb.write_file(MODEM, b"")
        self.config("x" * 5000 + "\r\n" + "HeartbeatTime=" + "9" * 300 + "\r\n")
        with open(self.sb.board(CONFIG), "ab") as f:
            f.write(junk + b"\nModuleAlias=" + b"A" * 50 + b"\r\nUartDataMax=5000\r\n")
        self.daemon = self.sb.start("qysc")
        link = self.server.accept(20)
        init = link.next_packet()
        self.assertEqual((init.signal, init.init["netif"]), (0, 1), "empty modem file")
        self.assertEqual(init.init["alias"], b"AAAAAAA")
        self.assertEqual(init.init["heartbeat"], 65535)
        # A partial, then a binary modem file; then a good one is picked up
        # by the 2 s re-read (seen in @CSQ) and shows in the next init packet.
        def csq():
            link.send_sections([(PORT_QYIO, b"@CSQ\r")])
            return link.next_packet(10.0, skip_heartbeats=True).section(PORT_QYIO)
        for text, seen in ((b"cpintype=READY\r\ncsqvalue=8\r\nppp0=1\r\ncsqva", b"!CSQ;25;0\r\n"),
                           (junk, b"!CSQ;25;1\r\n"), (b"csqvalue=31\r\nppp0=1\r\n", b"!CSQ;96;0\r\n")):
            self.sb.write_file(MODEM, text)
            self.assertEqual(poll_until(lambda: csq() == seen, timeout=10.0, step=0.2), True, text[:20])
        link.close()
        init = self.server.accept(20).next_packet()
        self.assertEqual((init.signal, init.init["netif"]), (96, 0))


class Traffic(DaemonCase):
    def test_heartbeat_burst_size_and_timing(self):
        link, _ = self.online("HeartbeatTime=1\r\n")
        first = len(link.reads)
        packets = link.packets(3.6)
        beats = [p for p in packets if p.type == TYPE_HEARTBEAT]
        self.assertEqual(len(beats), len(packets))
        self.assertTrue(all(p.raw == beats[0].raw and p.length == 17 for p in beats))
        bursts = link.reads[first:]
        self.assertEqual(sum(n for _, n in bursts) % 1428, 0)
        starts = [t for i, (t, _) in enumerate(bursts) if i == 0 or t - bursts[i - 1][0] > 0.3]
        self.assertGreaterEqual(len(starts), 2)
        self.assertEqual(len(beats), 84 * len(starts))
        for a, b in zip(starts, starts[1:]):
            self.assertTrue(0.9 < b - a < 2.5, "heartbeat period %.2fs" % (b - a))
        # A data packet postpones the next heartbeat.
        self.rs485.write(b"x")
        data = self.data_packets(link, 1)[0]
        nxt = link.next_packet(timeout=5)
        self.assertEqual(nxt.type, TYPE_HEARTBEAT)
        self.assertGreater(nxt.time - data.time, 0.9)

    def test_heartbeat_period_zero_does_not_flood_the_link(self):
        # A period of 0 would mean a burst on every idle pass; the shortest
        # period is one second.
        link, _ = self.online("HeartbeatTime=0\r\n")
        first = len(link.reads)
        packets = link.packets(3.6)
        self.assertTrue(all(p.type == TYPE_HEARTBEAT for p in packets))
        bursts = link.reads[first:]
        starts = [t for i, (t, _) in enumerate(bursts) if i == 0 or t - bursts[i - 1][0] > 0.3]
        self.assertLessEqual(len(packets), 84 * 5, "at most a burst a second")
        for a, b in zip(starts, starts[1:]):
            self.assertGreater(b - a, 0.9, "heartbeat period %.2fs" % (b - a))

    def test_verify_answers(self):
        link, _ = self.online()
        for (x, y), answer in (((1, 2), b"\x0b\x00\x00\x00"), ((0, 0), b"\xf5\xff\xff\xff"),
                               ((255, 255), verify_answer(255, 255))):
            link.challenge(x, y)
            p = self.data_packets(link, 1)[0]
            self.assertEqual(p.sections, [(PORT_VERIFY, answer)])
            self.assertEqual(p.length, 26)
            self.assertEqual(p.raw[:5], b"\x02\x1a\x00\x01\x0b")

    def test_bursts_end_on_the_idle_gap_and_are_cut_into_chunks(self):
        link, _ = self.online("TimeInterval=200\r\nUartDataMax=100\r\n")
        for line, port in ((self.rs485, PORT_RS485), (self.rs232, PORT_RS232)):
            for piece in (b"0123456789", b"abcdefghij", b"ABCDEFGHIJ"):
                line.write(piece)
                time.sleep(0.05)  # pieces closer than the 200 ms gap: one burst
            p = self.data_packets(link, 1)[0]
            self.assertEqual(p.sections, [(port, b"0123456789abcdefghijABCDEFGHIJ")])
            block = bytes(range(250))
            line.write(block)
            chunks = [p.sections[0][1] for p in self.data_packets(link, 3)]
            self.assertEqual([len(c) for c in chunks], [100, 100, 50])
            self.assertEqual(b"".join(chunks), block)
            line.write(b"one")
            self.assertEqual(self.data_packets(link, 1)[0].sections, [(port, b"one")])
            line.write(b"two")
            self.assertEqual(self.data_packets(link, 1)[0].sections, [(port, b"two")])

    def test_a_pending_rs485_burst_holds_nothing_back(self):
        # RS-485 bytes wait 300 ms for their gap; RS-232 chunks that are due
        # at once (over UartDataMax) go out meanwhile. (Both due in the same
        # pass: RS-485 first, see the state machine unit tests.)
        link, _ = self.online("TimeInterval=300\r\nUartDataMax=10\r\n")
        for _ in range(2):
            self.rs485.write(b"485")
            self.rs232.write(b"0123456789abcdefghijABCDE")
            got = [p.sections[0] for p in self.data_packets(link, 4)]
            self.assertEqual(got[:2], [(PORT_RS232, b"0123456789"), (PORT_RS232, b"abcdefghij")])
            self.assertEqual(sorted(got[2:]), [(PORT_RS485, b"485"), (PORT_RS232, b"ABCDE")])

    def test_server_bytes_reach_the_right_line(self):
        link, _ = self.online()
        link.send_sections([(PORT_RS485, b"to-485"), (PORT_RS232, b"to-232")])
        self.assertEqual(self.rs485.read(2, want=6), b"to-485")
        self.assertEqual(self.rs232.read(2, want=6), b"to-232")
        link.send_sections([(PORT_RS232, bytes(range(256)) * 4)])
        self.assertEqual(self.rs232.read(3, want=1024), bytes(range(256)) * 4)
        self.assertEqual(self.rs485.read(0.2), b"")

    def test_each_header_check_drops_a_packet(self):
        link, _ = self.online()
        good = build_packet([(PORT_RS485, b"ok")])
        bad = [build_packet([(PORT_RS485, b"L+")], length=len(good) + 1),
               build_packet([(PORT_RS485, b"L-")], length=len(good) - 1),
               build_packet([(PORT_RS485, b"V3")], ver=3),
               build_packet([(PORT_RS485, b"T3")], ptype=3),
               build_packet([(PORT_RS485, b"16")], ip=b"1" * 16)]
        for p in bad:
            self.send_and_wait(link, p)
            if p is bad[0]:
                time.sleep(2.1)  # the byte its length promises never comes: given up after 2 s
        self.send_and_wait(link, build_packet([(PORT_RS485, b"15")], ip=b"1" * 15))
        self.assertEqual(self.rs485.read(2, want=2), b"15")
        self.assertEqual(self.rs485.read(0.3), b"")

    def test_peer_close_gives_an_immediate_reconnect(self):
        link, _ = self.online()
        link.close()
        closed = time.monotonic()
        self.log(rb"recv --> return 0 --> socket be close, re-connect\r\n")
        again = self.server.accept(10)
        self.assertLess(time.monotonic() - closed, 0.9, "no reconnect wait")
        self.assertEqual(again.next_packet().type, 0)

    def test_bad_input_never_crashes(self):
        link, _ = self.online("HeartbeatTime=2\r\n")
        seed = fuzz_seed("noise")
        rnd = random.Random(seed)
        for i in range(300):
            kind = i % 4
            if kind == 0:
                raw = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 120)))
                link.send_raw(raw)
            else:
                ports = (PORT_RS485, PORT_RS232, PORT_QYCOM, PORT_QYIO, PORT_VERIFY, 3, 0xFFFF)
                sections = [(rnd.choice(ports), bytes(rnd.randrange(256) for _ in range(rnd.randrange(0, 30))))
                            for _ in range(rnd.randrange(0, 4))]
                plain = build_packet(sections, count=rnd.choice([None, None, 0, 5, 255]))
                if kind == 2:
                    plain = plain[:rnd.randrange(1, len(plain) + 1)]
                    plain = plain[:1] + struct.pack("<H", len(plain))[:len(plain) - 1] + plain[3:]
                link.send_plain(plain)
            time.sleep(0.003)  # the noise's pace: most packets arrive as reads of their own
        self.assertIsNone(self.daemon.proc.poll(), "daemon ended (seed %d)" % seed)

        def answered():  # the last answer, once the noise has been worked off
            link.challenge(1, 2)
            answers = [p for p in link.packets(1.0) if p.section(PORT_VERIFY) is not None]
            return answers and answers[-1].section(PORT_VERIFY)
        self.assertEqual(poll_until(lambda: answered() == verify_answer(1, 2), timeout=15.0, step=0),
                         True, "no answer after the noise (seed %d)" % seed)

    def test_bridged_ports_do_no_harm(self):
        link, _ = self.online("IsTCP2RTU1=1\r\nIsTCP2RTU2=1\r\n")
        # A one-byte response has no Modbus length: taken from the line, not sent.
        self.rs485.write(b"\x01")
        self.log(rb"-- read Data from RS485, len= 1\r\n")
        self.rs232.write(b"\x02")
        self.log(rb"-- read Data From RS232 = 1\r\n")
        link.send_sections([(PORT_RS485, b"\x00\x01\x00\x00\x00\x06\x01\x03\x00\x00\x00\x0a"),
                            (PORT_RS232, b"\x00")])
        link.challenge(1, 2)
        p = self.data_packets(link, 1)[0]
        self.assertEqual(p.sections, [(PORT_VERIFY, verify_answer(1, 2))])
        self.assertNotIn(b"COM(485) data", self.daemon.output)
        self.assertNotIn(b"COM(232) data", self.daemon.output)

    def test_led_blinks_at_500ms_while_connected(self):
        self.online()
        self.assertEqual(self.sb.read32(LED1_CLEAR) & LED1_BIT, LED1_BIT)
        for gap in self.led_period(toggles=4, timeout=10):
            self.assertTrue(0.3 < gap < 1.5, "LED toggle after %.2fs" % gap)


class Asleep(DaemonCase):
    """The loop sleeps until something is due: after an idle while, every
    timing the system fixes still holds."""

    def watch(self, link, seconds):
        """LED 1's toggles, the longest time the watchdog went unserviced,
        the heartbeats' arrivals and the modem file's opens, over `seconds`."""
        opens = FileOpens(self.sb.board(MODEM))
        self.addCleanup(opens.close)
        led, beats, reads = [], [], []
        link.packets(0.05)  # what came before
        for reg in (LED1_SET, LED1_CLEAR):
            self.sb.write32(reg, 0)
        count, since, longest = self.sb.wdt_services(), time.monotonic(), 0.0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.daemon.poll_output(0)
            for p in link.read_packets(0.01):
                if p.type == TYPE_HEARTBEAT and (not beats or p.time - beats[-1] > 0.5):
                    beats.append(p.time)
            reads += opens.times()
            now = time.monotonic()
            for reg in (LED1_SET, LED1_CLEAR):
                if self.sb.read32(reg) == LED1_BIT:
                    led.append(now)
                    self.sb.write32(reg, 0)
            if self.sb.wdt_services() != count:
                count, since = self.sb.wdt_services(), now
            longest = max(longest, now - since)
        gaps = lambda t: [b - a for a, b in zip(t, t[1:])]  # noqa: E731
        return gaps(led), longest, gaps(beats), gaps(reads)

    def burst_delay(self, link, data):
        time.sleep(1.2)  # idle again: the loop asleep until the LED's next toggle
        t0 = time.monotonic()
        self.rs485.write(data)
        p = link.next_packet(skip_heartbeats=True)
        self.assertEqual(p.sections, [(PORT_RS485, data)])
        return p.time - t0

    def test_every_timing_holds_after_an_idle_while(self):
        link, _ = self.online("HeartbeatTime=2\r\n")
        time.sleep(2.5)
        led, unserviced, beats, rereads = self.watch(link, 6.5)
        self.assertGreaterEqual(len(led), 8, led)
        for gap in led:
            self.assertTrue(0.35 < gap < 0.9, "LED toggle after %.2fs" % gap)
        self.assertLess(unserviced, 1.6, "watchdog unserviced for %.2fs" % unserviced)
        self.assertGreaterEqual(len(beats), 2, beats)
        for gap in beats:
            self.assertTrue(1.9 < gap < 2.6, "heartbeat after %.2fs" % gap)
        self.assertGreaterEqual(len(rereads), 2, rereads)
        for gap in rereads:
            self.assertTrue(1.9 < gap < 2.6, "modem file read again after %.2fs" % gap)
        # A burst still leaves as its idle gap ends, TimeInterval 50 and 1.
        delay = self.burst_delay(link, b"after-idle")
        self.assertTrue(0.05 < delay < 0.25, "burst after %.3fs at TimeInterval=50" % delay)
        link.send_sections([(PORT_QYIO, b"@TIMEINTERVAL=1\r")])
        self.assertEqual(self.data_packets(link, 1)[0].section(PORT_QYIO), b"!TIMEINTERVAL;OK\r\n")
        delay = self.burst_delay(link, b"idle-again")
        self.assertTrue(0.001 < delay < 0.2, "burst after %.3fs at TimeInterval=1" % delay)


if __name__ == "__main__":
    unittest.main()
