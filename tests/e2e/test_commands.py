"""End-to-end: the daemon's two command channels, driven over a real link
by the test server, with the effects looked for where they land: the reply
packets, the serial lines' terminal settings, the configuration file, the
next connection and the watchdog."""

import os
import random
import termios
import time
import unittest

from trmkit.gwcase import GatewayCase, ServerAt, TIMEOUT
from trmkit.gwserver import (build_packet, TYPE_DATA, PORT_RS485, PORT_RS232, PORT_QYCOM, PORT_QYIO,
                             PORT_VERIFY, verify_answer)
from trmkit.sandbox import CONFIG, WDT_CONTROL, fuzz_seed


class CommandCase(GatewayCase):
    def setUp(self):
        super().setUp()
        self.rs485 = self.sb.add_pty("/dev/ttyS1")
        self.rs232 = self.sb.add_pty("/dev/ttyS2")
        self.server = ServerAt("127.0.0.1")
        self.addCleanup(self.server.close)

    def replies(self, link, port, commands):
        """Sends one section of commands; the next data packet, which must
        be the reply packet of that channel."""
        link.send_sections([(port, commands)])
        p = link.next_packet(TIMEOUT, skip_heartbeats=True)
        self.assertEqual(p.type, TYPE_DATA)
        self.assertEqual([port for port, _ in p.sections], [port], p)
        return p.section(port)

    def no_more_data(self, link, seconds=0.6):
        extra = [p for p in link.packets(seconds) if p.type == TYPE_DATA]
        self.assertEqual(extra, [], "replies left over")


class Replies(CommandCase):
    def test_virtual_com_replies_travel_in_one_section(self):
        link, _ = self.online(self.server)
        link.send_sections([(PORT_QYCOM, b"00\r01\r")])
        p = link.next_packet(TIMEOUT, skip_heartbeats=True)
        self.assertEqual(p.sections, [(PORT_QYCOM, b"OK\rV1.2.3")])
        self.assertEqual(p.ip, b"127.0.0.101")
        self.assertEqual(p.length, 4 + 1 + 11 + 1 + 1 + 4 + 9)
        self.no_more_data(link)

    def test_configuration_replies_travel_in_one_section(self):
        link, _ = self.online(self.server)
        data = self.replies(link, PORT_QYIO, b"@SIP=127.0.0.1\r@SPORT=%d\r" % self.server.port)
        self.assertEqual(data, b"!SIP;OK\r\n!SPORT;OK\r\n")
        self.assertEqual(len(data), 20)
        self.no_more_data(link)

    def test_both_channels_in_one_packet_answer_in_a_packet_each(self):
        link, _ = self.online(self.server)
        link.send_sections([(PORT_QYIO, b"@FWVER\r@CSQ\r"), (PORT_QYCOM, b"10\r16" b"2\r")])
        got = {}
        for _ in range(2):
            p = link.next_packet(TIMEOUT, skip_heartbeats=True)
            self.assertEqual(len(p.sections), 1, p)
            got.update(p.sections)
        self.assertEqual(got, {PORT_QYIO: b"!FWVER;V1.01\r\n!CSQ;71;0\r\n",
                               PORT_QYCOM: b"TRM-310\r115200,N,8,1\r"})
        self.no_more_data(link)

    def test_a_full_queue_keeps_its_fifteen_replies_and_refuses_the_rest(self):
        link, _ = self.online(self.server)
        commands = b"".join(b"28%d\r" % (i % 2 + 1) for i in range(15)) + b"241\r"
        data = self.replies(link, PORT_QYCOM, commands)
        self.assertEqual(data, b"".join(b"%d00\r" % (i % 2 + 1) for i in range(15)))
        self.log(rb"reply queue full: cmd\[15\] not carried out")
        # The refused echo switch did not act: replies come without echo.
        self.assertEqual(self.replies(link, PORT_QYCOM, b"00\r"), b"OK\r")


class LineSettings(CommandCase):
    def line(self, pty):
        a = pty.attrs()
        # Only the rate and the stop bits: recent kernels keep a pseudo-
        # terminal at 8 data bits without parity whatever is asked.
        self.assertEqual(a[2] & termios.CSIZE, termios.CS8)
        return {"ispeed": a[4], "ospeed": a[5], "two_stop_bits": bool(a[2] & termios.CSTOPB)}

    def test_rate_and_format_commands_reset_the_line(self):
        link, _ = self.online(self.server)
        # No Format1= line: stop-bit code 1, which means two stop bits.
        default = {"ispeed": termios.B115200, "ospeed": termios.B115200, "two_stop_bits": True}
        self.assertEqual(self.line(self.rs485), default)

        data = self.replies(link, PORT_QYCOM, b"0219600\r0318N1\r161\r")
        self.assertEqual(data, b"OK\rOK\r9600,N,8,0\r")
        self.log(rb"    reopen: baseInfo\.comInfo\[1\]=port 1, br=9600, d=8, p=0, s=1\r\n")
        self.log(rb"    reopen: baseInfo\.comInfo\[1\]=port 1, br=9600, d=8, p=0, s=0\r\n")
        self.assertEqual(self.line(self.rs485), {"ispeed": termios.B9600, "ospeed": termios.B9600,
                                                 "two_stop_bits": False})
        self.assertEqual(self.line(self.rs232), default, "the other line is untouched")
        self.assertEqual(self.replies(link, PORT_QYIO, b"@COMDATA1\r@COMDATA2\r"),
                         b"!COMDATA1;9600;8;0;0\r\n!COMDATA2;115200;8;0;1\r\n")

        # Two stop bits again; the rate stays.
        self.assertEqual(self.replies(link, PORT_QYCOM, b"0318N2\r"), b"OK\r")
        self.log(rb"    reopen: baseInfo\.comInfo\[1\]=port 1, br=9600, d=8, p=0, s=2\r\n")
        self.assertEqual(self.line(self.rs485)["two_stop_bits"], True)

        # A bad data-bit digit stores its fallbacks but does not reopen: the
        # line keeps two stop bits until the next reopen applies code 0.
        start = len(self.daemon.output)
        self.assertEqual(self.replies(link, PORT_QYCOM, b"0319N1\r"), b"ERROR\r")
        self.log(rb"    reply\[6\]:ERROR\r")
        self.assertNotIn(b"reopen:", self.daemon.output[start:])
        self.assertEqual(self.replies(link, PORT_QYIO, b"@COMDATA1\r"), b"!COMDATA1;9600;8;0;0\r\n")
        self.assertEqual(self.line(self.rs485)["two_stop_bits"], True)
        self.assertEqual(self.replies(link, PORT_QYCOM, b"02114400\r"), b"OK\r")
        self.log(rb"    reopen: baseInfo\.comInfo\[1\]=port 1, br=14400, d=8, p=0, s=0\r\n")
        # 14400 is no rate of the table: the line runs at the default rate.
        self.assertEqual(self.line(self.rs485), default | {"two_stop_bits": False})

        # The reopened line still carries bytes both ways.
        self.rs485.write(b"after reopen")
        p = link.next_packet(TIMEOUT, skip_heartbeats=True)
        self.assertEqual(p.sections, [(PORT_RS485, b"after reopen")])
        link.send_sections([(PORT_RS485, b"down the line")])
        self.assertEqual(self.rs485.read(TIMEOUT, want=13), b"down the line")

    def test_line_that_cannot_be_reopened_and_comes_back(self):
        link, _ = self.online(self.server)
        os.unlink(self.sb.board("/dev/ttyS1"))
        self.assertEqual(self.replies(link, PORT_QYCOM, b"0318N1\r"), b"ERROR\r")
        self.log(rb"  ReOpenCom fail\r\n")
        # The rate command does not report its reopen (it answers OK), and
        # the closed line takes data and commands without harm.
        self.assertEqual(self.replies(link, PORT_QYCOM, b"0214800\r"), b"OK\r")
        link.send_sections([(PORT_RS485, b"nowhere to go")])
        self.assertEqual(self.replies(link, PORT_QYIO, b"@COMDATA1\r"), b"!COMDATA1;4800;8;0;0\r\n")
        self.assertEqual(self.rs485.read(0.3), b"")
        # Back again: the next reopen applies everything stored.
        os.symlink(self.rs485.name, self.sb.board("/dev/ttyS1"))
        self.assertEqual(self.replies(link, PORT_QYCOM, b"0318N1\r"), b"OK\r")
        self.assertEqual(self.line(self.rs485), {"ispeed": termios.B4800, "ospeed": termios.B4800,
                                                 "two_stop_bits": False})
        self.rs485.write(b"back")
        self.assertEqual(link.next_packet(TIMEOUT, skip_heartbeats=True).sections, [(PORT_RS485, b"back")])
        link.send_sections([(PORT_RS485, b"and down")])
        self.assertEqual(self.rs485.read(TIMEOUT, want=8), b"and down")

    def test_format_of_the_rs232_line(self):
        link, _ = self.online(self.server, "Format2=8N1\r\n")
        self.assertFalse(self.line(self.rs232)["two_stop_bits"])
        self.assertEqual(self.replies(link, PORT_QYCOM, b"0728N2\r06219200\r162\r"),
                         b"OK\rOK\r19200,N,8,2\r")
        self.log(rb"    reopen: baseInfo\.comInfo\[2\]=port 2, br=19200, d=8, p=0, s=2\r\n")
        self.assertEqual(self.line(self.rs232), {"ispeed": termios.B19200, "ospeed": termios.B19200,
                                                 "two_stop_bits": True})
        self.rs232.write(b"232")
        self.assertEqual(link.next_packet(TIMEOUT, skip_heartbeats=True).sections, [(PORT_RS232, b"232")])


class Reconfiguration(CommandCase):
    def test_new_server_saved_and_relinked_in_one_section(self):
        extra = ("VirtualIP=10.1.2.3\r\nModuleAlias=North\r\nHeartbeatTime=30\r\nTimeInterval=40\r\n"
                 "UartDataMax=500\r\nDebug=3\r\nBaudrate1=9600\r\nFormat1=8N1\r\nIsTCP2RTU2=1\r\n"
                 "not a key\r\n")
        link, _ = self.online(self.server, extra)
        new = ServerAt("127.0.0.2")
        self.addCleanup(new.close)
        data = self.replies(link, PORT_QYIO, b"@SIP=127.0.0.2\r@SPORT=%d\r@SAVE\r@RELINK\r" % new.port)
        self.assertEqual(data, b"!SIP;OK\r\n!SPORT;OK\r\n!SAVE;OK\r\n!RELINK;OK\r\n")
        # The old link is dropped after the replies, and the daemon connects
        # to the new server, not the old one.
        self.assertTrue(link.wait_closed(TIMEOUT), "old link not dropped")
        link2 = new.accept(TIMEOUT)
        init = link2.next_packet(TIMEOUT)
        self.assertEqual((init.type, init.ip, init.init["alias"]), (0, b"10.1.2.3", b"North"))
        self.assertFalse(self.server.pending_connection(), "reconnected to the old server")
        expected = ("ServerIP=127.0.0.2\r\nServerPort=%d\r\nVirtualIP=10.1.2.3\r\nModuleAlias=North\r\n"
                    "HeartbeatTime=30\r\nTimeInterval=40\r\nUartDataMax=500\r\nDebug=3\r\n" % new.port)
        self.assertEqual(self.sb.read_file(CONFIG), expected.encode())
        self.assertEqual(os.listdir(os.path.dirname(self.sb.board(CONFIG))), ["qyserver.ini"])
        link2.challenge(3, 4)
        self.assertEqual(link2.next_packet(TIMEOUT, skip_heartbeats=True).section(PORT_VERIFY),
                         verify_answer(3, 4))

        # A restart reads the saved file and goes to the new server again.
        self.kill_daemon()
        self.daemon = self.sb.start("qysc")
        link3 = new.accept(TIMEOUT)
        self.assertEqual(link3.next_packet(TIMEOUT).init["heartbeat"], 30)
        self.assertFalse(self.server.pending_connection())

    def test_relink_waits_for_every_pending_reply(self):
        link, _ = self.online(self.server)
        link.send_sections([(PORT_QYIO, b"@RELINK\r"), (PORT_QYCOM, b"00\r05\r")])
        first = link.next_packet(TIMEOUT, skip_heartbeats=True)
        second = link.next_packet(TIMEOUT, skip_heartbeats=True)
        self.assertEqual([first.sections, second.sections],
                         [[(PORT_QYCOM, b"OK\rOK\r")], [(PORT_QYIO, b"!RELINK;OK\r\n")]])
        self.assertTrue(link.wait_closed(TIMEOUT), "link not dropped")
        again = self.server.accept(TIMEOUT)
        self.assertEqual(again.next_packet(TIMEOUT).type, 0)
        again.send_sections([(PORT_QYCOM, b"01\r")])
        self.assertEqual(again.next_packet(TIMEOUT, skip_heartbeats=True).sections,
                         [(PORT_QYCOM, b"V1.2.3")])

    def test_failed_save_is_reported_and_leaves_the_file_alone(self):
        link, _ = self.online(self.server, "ModuleAlias=South\r\n")
        before = self.sb.read_file(CONFIG)
        # A directory where the save writes its temporary file: the save
        # cannot happen, whoever runs the test.
        os.mkdir(self.sb.board(CONFIG + ".tmp"))
        new = ServerAt("127.0.0.3")
        self.addCleanup(new.close)
        self.sb.write_file("/etc/hosts", "127.0.0.1 localhost\n127.0.0.3 gw-new.example\n")
        data = self.replies(link, PORT_QYIO, b"@SIP=gw-new.example\r@SPORT=%d\r@SAVE\r@RELINK\r" % new.port)
        self.assertEqual(data, b"!SIP;OK\r\n!SPORT;OK\r\n!SAVE;ERROR\r\n!RELINK;OK\r\n")
        # The new server holds for this run (by its host name) ...
        self.assertTrue(link.wait_closed(TIMEOUT), "old link not dropped")
        self.assertEqual(new.accept(TIMEOUT).next_packet(TIMEOUT).init["alias"], b"South")
        self.assertEqual(self.sb.read_file(CONFIG), before)
        # ... and a restart goes back to the one in the file.
        self.kill_daemon()
        self.daemon = self.sb.start("qysc")
        self.assertEqual(self.server.accept(TIMEOUT).next_packet(TIMEOUT).type, 0)


class Reboot(CommandCase):
    def services_stand_still(self, count, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.daemon.poll_output(0.1)
            self.assertEqual(self.sb.wdt_services(), count, "watchdog serviced after @REBOOT")

    def test_reply_sent_then_watchdog_left_to_run_out(self):
        link, _ = self.online(self.server)
        before = self.sb.wdt_services()
        self.daemon.collect(1.6)  # an idle loop serves it at least every 1.5 s
        self.assertGreater(self.sb.wdt_services(), before, "watchdog not fed before @REBOOT")

        self.assertEqual(self.replies(link, PORT_QYIO, b"@REBOOT\r"), b"!REBOOT;OK\r\n")
        count = self.sb.wdt_services()
        # Longer than the watchdog's 5 s: the board would have been reset.
        # The daemon meanwhile keeps serving its link and lines.
        link.challenge(9, 9)
        self.assertEqual(link.next_packet(TIMEOUT, skip_heartbeats=True).section(PORT_VERIFY),
                         verify_answer(9, 9))
        self.assertEqual(self.replies(link, PORT_QYCOM, b"00\r"), b"OK\r")
        self.rs485.write(b"still here")
        self.assertEqual(link.next_packet(TIMEOUT, skip_heartbeats=True).sections,
                         [(PORT_RS485, b"still here")])
        self.services_stand_still(count, 3.0)
        # Nor does a reconnection feed it: the link's waits skip the service too.
        link.close()
        link2 = self.server.accept(TIMEOUT)
        self.assertEqual(link2.next_packet(TIMEOUT).type, 0)
        self.services_stand_still(count, 2.5)
        self.assertIsNone(self.daemon.proc.poll(), "the daemon ended")
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x95, "watchdog still enabled")
        self.assertEqual(self.sb.wdt_services(), count)

    def test_no_service_while_a_relink_hangs_in_connect(self):
        from trmkit.gwserver import GatewayServer
        silent = GatewayServer(backlog=0)  # SYNs go unanswered once its queue is full
        self.addCleanup(silent.close)
        silent.fill_accept_queue()
        link, _ = self.online(self.server)
        data = self.replies(link, PORT_QYIO, b"@SPORT=%d\r@REBOOT\r@RELINK\r" % silent.port)
        self.assertEqual(data, b"!SPORT;OK\r\n!REBOOT;OK\r\n!RELINK;OK\r\n")
        count = self.sb.wdt_services()
        # The connect waits its 5 s in slices, with no service in between.
        self.log(rb"->net_connect Error: connecting Error, -1, 110\r\n")
        self.assertEqual(self.sb.wdt_services(), count)
        self.assertIsNone(self.daemon.proc.poll())


class RandomSections(CommandCase):
    WORDS = [b"@SIP", b"@SPORT", b"@HEARTBEAT", b"@VIP", b"@ALIAS", b"@FWVER", b"@CSQ", b"@COMDATA1",
             b"@COMDATA2", b"@TIMEINTERVAL", b"@UARTDATAMAX", b"@ISTCP2RTU1", b"@ISTCP2RTU2",
             b"00", b"01", b"02", b"03", b"07", b"16", b"24", b"25", b"28", b"26I", b""]

    def test_random_command_and_line_sections_do_no_harm(self):
        # Commands that end the run (@RELINK, @REBOOT, @SAVE) are left out.
        seed = fuzz_seed("random sections")
        rng = random.Random(seed)
        link, _ = self.online(self.server, "IsTCP2RTU1=1\r\n")
        noise = b"@0123456789\r\n=;ENOS" + bytes(range(256))

        def commands():
            return b"".join(rng.choice(self.WORDS) + (b"=" if rng.random() < 0.5 else b"")
                            + bytes(rng.choice(noise) for _ in range(rng.randrange(40))) + b"\r"
                            for _ in range(rng.randrange(1, 20)))

        sent = 0
        while sent < 150:
            sections = []
            for _ in range(rng.randrange(1, 4)):
                port = rng.choice((1, 2, 256, 257, 256, 257))
                data = commands() if rng.random() < 0.5 else \
                    bytes(rng.randrange(256) for _ in range(rng.randrange(300)))
                sections.append((port, data))
            plain = build_packet(sections)
            if len(plain) > 1500:
                continue
            link.send_plain(plain)
            self.log(rb"--> socket receive: length=%d\r\n" % len(plain))  # one read per packet
            link.packets(0.005)
            sent += 1
        self.assertFalse(link.closed, "link dropped (seed %d)" % seed)
        link.challenge(1, 2)
        end = time.monotonic() + TIMEOUT
        while time.monotonic() < end:
            answer = link.next_packet(TIMEOUT, skip_heartbeats=True).section(PORT_VERIFY)
            if answer is not None:
                break
        self.assertEqual(answer, verify_answer(1, 2), "seed %d" % seed)


if __name__ == "__main__":
    unittest.main()
