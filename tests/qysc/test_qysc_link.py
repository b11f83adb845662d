"""End-to-end: the daemon's link when the server refuses, does not answer,
or stops reading; the watchdog and the status LED meanwhile."""

import re
import time
import unittest

from qysc_case import DaemonCase
from trmkit.gwserver import GatewayServer
from trmkit.ports import free_port
from trmkit.sandbox import WDT_CONTROL


class Unreachable(DaemonCase):
    def test_refused_connects_are_retried_about_1100ms_apart(self):
        self.start(port=free_port())  # nothing listens there
        out = self.daemon.wait_for(rb"(connecting Error, -1, 111\r\n[\s\S]*){4}", timeout=15)
        self.assertEqual(self.sb.read8(WDT_CONTROL), 0x95)
        stamps = []
        end = time.monotonic() + 4.5
        count = 0
        while time.monotonic() < end:
            self.daemon.poll_output(0.02)
            n = len(re.findall(rb"connecting Error, -1, 111\r\n", self.daemon.output))
            if n != count:
                count = n
                stamps.append(time.monotonic())
        gaps = [b - a for a, b in zip(stamps, stamps[1:])]
        self.assertGreaterEqual(len(gaps), 2, gaps)
        for g in gaps:
            self.assertTrue(0.9 < g < 2.0, "retry after %.2fs" % g)
        # Offline, the LED toggles every 2 s; the loop sleeps between what is
        # due, and the watchdog is still serviced at least once a second.
        for gap in self.led_period(toggles=2, timeout=10):
            self.assertTrue(1.6 < gap < 3.0, "LED toggle after %.2fs" % gap)
        longest = self.wdt_gaps(2.5)
        self.assertLess(longest, 1.6, "watchdog not serviced for %.1fs" % longest)

    def test_host_names_from_the_hosts_file_and_unresolvable_ones(self):
        self.sb.write_file("/etc/hosts", "127.0.0.1 localhost gw-server\n")
        self.sb.write_config("no-such-server.invalid", self.server.port)
        self.daemon = self.sb.start("qysc")
        self.log(rb"->net_connect Error: get host Error\r\n")
        self.log(rb"->net_connect Error: get host Error\r\n", timeout=5)
        self.sb.procs.remove(self.daemon)  # stopped here, not again at the end
        self.daemon.stop()
        self.sb.write_config("gw-server", self.server.port)
        self.daemon = self.sb.start("qysc")
        self.assertEqual(self.server.accept(20).next_packet().type, 0)

    def test_unanswered_connect_gives_up_after_5s_with_the_watchdog_fed(self):
        silent = GatewayServer(backlog=0)
        self.addCleanup(silent.close)
        silent.fill_accept_queue()
        self.start(port=silent.port)
        self.log(rb"--> STP_COMALLINIT\r\n")
        started = time.monotonic()
        longest = self.wdt_gaps(6.5)
        self.log(rb"->net_connect Error: connecting Error, -1, 110\r\n", timeout=10)
        self.assertGreater(time.monotonic() - started, 4.5)
        self.assertLess(longest, 2.0, "watchdog not serviced for %.1fs" % longest)


class StalledServer(DaemonCase):
    server_args = {"rcvbuf": 1024}

    def test_stalled_server_link_is_given_up_and_reconnected_with_the_watchdog_fed(self):
        link, _ = self.online("HeartbeatTime=1\r\n")
        # The server stops reading; heartbeats fill the buffers, then a write
        # waits (5 s, or 15 s for the rest of a packet partly out) and fails.
        # The link ends by the fourth failure, or by TCP giving up a peer
        # that has shown no window for 15 s, whichever comes first.
        link.sock.setblocking(True)
        longest = 0.0
        end = time.monotonic() + 60
        ended = (b"--> close socket", b"socket be close, re-connect")
        while not any(e in self.daemon.output for e in ended) and time.monotonic() < end:
            longest = max(longest, self.wdt_gaps(1.0))
        out = self.daemon.output
        self.assertIn(b"write fail, rc=-1\r\n", out, out[-2000:])
        self.assertTrue(any(e in out for e in ended), out[-2000:])
        self.assertLess(longest, 2.0, "watchdog not serviced for %.1fs" % longest)
        again = self.server.accept(20)
        self.assertEqual(again.next_packet().type, 0)


if __name__ == "__main__":
    unittest.main()
