"""Common set-up of the daemon's end-to-end tests: a sandbox with the two
serial lines as pseudo-terminals, a register file, a modem information file
and a configuration file naming a test server on loopback."""

import os
import time
import unittest

from trmkit.gwserver import GatewayServer, PORT_VERIFY, verify_answer
from trmkit.sandbox import CONFIG, GPIO_BASE, MODEM, MODEM_OK, Sandbox, sandbox_bin
LED1_SET = GPIO_BASE + 0x020    # GPIO 84 high: LED 1 dark
LED1_CLEAR = GPIO_BASE + 0x02C  # GPIO 84 low: LED 1 lit
LED1_BIT = 1 << (84 % 32)


class DaemonCase(unittest.TestCase):
    server_args = {}

    def setUp(self):
        if not os.path.exists(sandbox_bin("qysc")):
            self.skipTest("no sandbox build of qysc")
        self.sb = Sandbox()
        self.addCleanup(self.sb.close)
        self.sb.make_register_file()
        self.rs485 = self.sb.add_pty("/dev/ttyS1")
        self.rs232 = self.sb.add_pty("/dev/ttyS2")
        self.sb.write_file(MODEM, MODEM_OK)
        self.server = GatewayServer(**self.server_args)
        self.addCleanup(self.server.close)
        self.daemon = None

    def config(self, extra="", port=None, path=CONFIG):
        port = self.server.port if port is None else port
        self.sb.write_config("127.0.0.1", port, extra, path=path)

    def start(self, extra="", *args, port=None):
        self.config(extra, port=port)
        self.daemon = self.sb.start("qysc", *args)
        return self.daemon

    def online(self, extra="", timeout=20.0):
        """Starts the daemon, accepts it and takes its init packet."""
        self.start(extra)
        link = self.server.accept(timeout)
        init = link.next_packet(timeout=10.0)
        self.assertEqual(init.type, 0)
        # The daemon empties the serial queues just after the init packet;
        # one verify round trip makes sure that has happened.
        link.challenge(0, 1)
        answer = link.next_packet(timeout=10.0, skip_heartbeats=True)
        self.assertEqual(answer.section(PORT_VERIFY), verify_answer(0, 1))
        self.log(rb"--> socket write: Verify data\r\n")
        return link, init

    def log(self, pattern, timeout=10.0):
        return self.daemon.wait_for(pattern, timeout)

    def data_packets(self, link, count, timeout=10.0):
        """The next `count` data packets (heartbeats passed over)."""
        return [link.next_packet(timeout, skip_heartbeats=True) for _ in range(count)]

    def send_and_wait(self, link, plain):
        """Sends one packet and waits until the daemon has read it, so the
        next packet arrives in a read of its own."""
        link.send_plain(plain)
        self.log(rb"--> socket receive: length=%d\r\n" % len(plain))

    def wdt_gaps(self, seconds):
        """Samples the watchdog service count; the longest time it stood still."""
        last, since, longest = self.sb.wdt_services(), time.monotonic(), 0.0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.daemon.poll_output(0.1)
            now, count = time.monotonic(), self.sb.wdt_services()
            if count != last:
                last, since = count, now
            longest = max(longest, now - since)
        return longest

    def led_period(self, toggles=2, timeout=10.0):
        """Times between LED 1 toggles, seen as writes to its set and clear
        registers (each is zeroed and then waited for)."""
        stamps = []
        reg = LED1_SET
        self.sb.write32(LED1_SET, 0)
        self.sb.write32(LED1_CLEAR, 0)
        end = time.monotonic() + timeout
        while len(stamps) <= toggles and time.monotonic() < end:
            self.daemon.poll_output(0.01)
            if self.sb.read32(reg) == LED1_BIT:
                stamps.append(time.monotonic())
                self.sb.write32(LED1_SET, 0)
                self.sb.write32(LED1_CLEAR, 0)
                reg = LED1_CLEAR if reg == LED1_SET else LED1_SET
        self.assertGreater(len(stamps), toggles, "LED 1 did not toggle")
        return [b - a for a, b in zip(stamps, stamps[1:])]
