"""The base of the end-to-end tests with real peers (tests/e2e, tests/hub):
a sandbox holding the board's file tree, the real gateway daemon (sandbox
copy) and whatever stands at the far ends of its link and its serial
lines."""

import os
import shutil
import signal
import unittest

from .gwserver import GatewayServer, PORT_VERIFY, verify_answer
from .sandbox import CONFIG, MODEM, MODEM_OK, Sandbox, sandbox_bin
from .wait import wait_path

TIMEOUT = 30.0  # generous: the cross build runs the daemon and the console under qemu


class ServerAt(GatewayServer):
    """The test server of the link on a loopback address of our choice
    (127.0.0.2 and up are loopback too), so a test can tell two servers
    apart by address as well as by port."""

    def __init__(self, host="127.0.0.1"):
        super().__init__(addr=host)

    def pending_connection(self):
        """True when a connection waits to be accepted (nothing is accepted)."""
        self.sock.settimeout(0)
        try:
            s, _ = self.sock.accept()
        except (BlockingIOError, TimeoutError):
            return False
        s.close()
        return True


class GatewayCase(unittest.TestCase):
    """A sandbox with the register file and the modem file; the daemon is
    started by the test with a configuration of its own."""

    def setUp(self):
        if not os.path.exists(sandbox_bin("qysc")):
            self.skipTest("no sandbox build of qysc")
        self.sb = Sandbox(prefix="trm310-e2e-")
        self.addCleanup(self.sb.close)
        self.sb.make_register_file()
        self.sb.write_file(MODEM, MODEM_OK)
        self.daemon = None
        self.addCleanup(self.check_health)  # runs before the sandbox is removed

    def check_health(self):
        """Every program of the test still in one piece at its end: the
        daemon running, and no sanitizer report from anything started."""
        for p in self.sb.procs:
            p.collect(0.05)
            for marker in (b"AddressSanitizer", b"runtime error:", b"LeakSanitizer"):
                self.assertNotIn(marker, p.output, "%s reported:\n%s" % (
                    p.argv[-1], p.output.decode(errors="replace")[-3000:]))
        if self.daemon is not None:
            self.assertIsNone(self.daemon.proc.poll(), "the daemon ended:\n%s"
                              % self.daemon.output.decode(errors="replace")[-3000:])

    def need(self, *programs):
        for p in programs:
            if shutil.which(p) is None:
                self.skipTest("%s not installed" % p)

    def start_daemon(self, port, extra="", host="127.0.0.1"):
        self.sb.write_config(host, port, extra)
        self.daemon = self.sb.start("qysc")
        return self.daemon

    def kill_daemon(self):
        """Ends the daemon (by its PID) as a power cut would."""
        os.killpg(self.daemon.pid, signal.SIGKILL)
        self.daemon.proc.wait(timeout=10)

    def log(self, pattern, timeout=TIMEOUT):
        """Waits for a line of the daemon's log after the last one waited for."""
        return self.daemon.wait_for(pattern, timeout)

    def online(self, server, extra=""):
        """Starts the daemon against `server`, takes its init packet and one
        verify round trip (after which the daemon has emptied its serial
        queues, so what the test writes next is carried)."""
        self.start_daemon(server.port, extra, server.host)
        link = server.accept(TIMEOUT)
        init = link.next_packet(timeout=TIMEOUT)
        self.assertEqual(init.type, 0)
        link.challenge(0, 1)
        answer = link.next_packet(timeout=TIMEOUT, skip_heartbeats=True)
        self.assertEqual(answer.section(PORT_VERIFY), verify_answer(0, 1))
        self.log(rb"--> socket write: Verify data\r\n")
        return link, init

    def wait_file(self, path, timeout=10.0):
        wait_path(path, timeout)
