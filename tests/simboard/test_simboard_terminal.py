"""The simulated board as a newcomer meets it (tools/simboard.sh --hub, which
builds, then execs this module): its first 25 lines name the status page,
the broker and the exposure's real port, and show the gateway online; then
it stays quiet; its help speaks of the hub; and a SIGTERM or a SIGHUP (a
closed terminal) to it leaves none of the processes it started running."""

import json
import os
import re
import signal
import sys
import time
import unittest
import urllib.request

from trmkit.ports import accepts
from trmkit.procs import ROOT, LineProcess, children, module_env
from trmkit.wait import wait_until

BUILD = os.path.dirname(os.environ["TRM_TOOLS_BIN"])
ONLINE = re.compile(r"gateway 127\.0\.0\.101 online from")
FIRST = 25
QUIET_S = 20  # no heartbeat (every 5 s), modem poll or link line shown in this long


def descendants(pid):
    out = []
    for child in children(pid):
        out += [child] + descendants(child)
    return out


def running(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def board():
    """The board with the hub, its output read line by line; online."""
    sb = LineProcess("simboard", [sys.executable, "-m", "sim.simboard.simboard", "--hub", "--build", BUILD],
                     ROOT, stdin=True, env=module_env(), group=False)
    try:
        sb.wait_line(ONLINE.search, 120)
    except BaseException:
        sb.stop(signal.SIGKILL)
        raise
    return sb


class Terminal(unittest.TestCase):
    def ended_by(self, sb, sig):
        pids = [sb.pid] + descendants(sb.pid)
        self.assertGreaterEqual(len(pids), 8, "the board's programs, the hub and the broker")
        os.kill(sb.pid, sig)  # the script alone, as a terminal's hang-up or a kill reaches it
        sb.proc.wait(timeout=60)
        try:
            wait_until(lambda: not any(running(p) for p in pids), 20, step=0.2)
        except TimeoutError:
            self.fail("still running after %s: %s" % (signal.Signals(sig).name, [p for p in pids if running(p)]))
        finally:
            sb.stop(signal.SIGKILL)

    def test_first_lines_quiet_help_and_sigterm(self):
        sb = board()
        try:
            head = "\n".join(sb.lines[:FIRST])
            self.assertRegex(head, ONLINE, "the gateway online within the first %d lines" % FIRST)
            page = re.search(r"status page http://127\.0\.0\.1:(\d+)/", head)
            broker = re.search(r"MQTT broker 127\.0\.0\.1:(\d+)", head)
            modbus = re.search(r"Modbus TCP for the RS-485 device: 127\.0\.0\.1:(\d+)", head)
            self.assertTrue(page and broker and modbus, head)
            with urllib.request.urlopen("http://127.0.0.1:%s/api/exposures" % page.group(1), timeout=10) as r:
                listen = [e["listen"] for e in json.loads(r.read())]
            self.assertEqual(listen, ["127.0.0.1:" + modbus.group(1)], "the exposure's real port")
            self.assertTrue(accepts(int(broker.group(1))))
            time.sleep(5)  # what follows the link coming up
            mark = len(sb.lines)
            time.sleep(QUIET_S)
            self.assertLessEqual(len(sb.lines) - mark, 1, sb.lines[mark:])
            sb.send("help")
            sb.wait_line(lambda l: "hub's Modbus TCP exposure" in l, 10, mark)
            self.assertNotIn("console LINE", "\n".join(sb.lines[mark:]))
        except BaseException:
            sb.stop(signal.SIGKILL)
            raise
        self.ended_by(sb, signal.SIGTERM)

    def test_a_hang_up_ends_everything(self):
        self.ended_by(board(), signal.SIGHUP)


if __name__ == "__main__":
    unittest.main()
