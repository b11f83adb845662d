"""Shared set-up of the console's end-to-end tests: a console started on a
free port with its standard input on a pipe, and fake gateways."""

import os
import re
import subprocess
import time
import unittest

from trmkit.sandbox import Sandbox, tools_bin
from trmkit.fakegw import FakeGateway

TIMEOUT = 30.0  # generous: under the emulator everything is slower


class ConsoleCase(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(tools_bin("trm-console")):
            self.skipTest("trm-console not built")
        self.sb = Sandbox(prefix="trm310-console-")
        self.addCleanup(self.sb.close)

    def start_console(self, *args, stdin=subprocess.PIPE):
        self.con = self.sb.start_tool("trm-console", "-p", "0", *args, stdin=stdin)
        m = self.con.wait_for(rb"listening addr=127\.0\.0\.1 port=(\d+)\n", TIMEOUT)
        self.port = int(m.group(1))
        return self.con

    def cmd(self, line):
        self.con.proc.stdin.write(line.encode() + b"\n")
        self.con.proc.stdin.flush()

    def expect(self, pattern, timeout=TIMEOUT):
        """Waits for pattern anywhere in the output (order-free)."""
        return self.con.wait_for(pattern, timeout, after_last=False)

    def gateway(self, gw_id, **kw):
        g = FakeGateway(self.port, **kw)
        self.addCleanup(g.close)
        self.expect(rb"gw%d connected from=127\.0\.0\.1:\d+\n" % gw_id)
        if kw.get("send_init", True):
            self.expect(rb"gw%d init " % gw_id)
        return g

    def expect_count(self, pattern, count, timeout=TIMEOUT):
        """Waits until pattern has matched count times in the whole output."""
        end = time.monotonic() + timeout
        while len(self.lines(pattern)) < count:
            if time.monotonic() > end:
                raise AssertionError("%r seen %d times, want %d; output:\n%s" % (
                    pattern, len(self.lines(pattern)), count, self.con.output.decode(errors="replace")[-3000:]))
            self.con.poll_output(0.05)

    def lines(self, pattern):
        return re.findall(pattern, self.con.output)
