"""The fleet simulator against the server console: its gateways connect and
introduce themselves, send heartbeat bursts of the daemon's size, answer a
verify challenge, commands and Modbus requests through the console's Modbus
server, and take faults from the control socket."""

import json
import os
import re
import socket
import subprocess
import unittest

from pymodbus.client import ModbusTcpClient

from trmkit.sandbox import Sandbox, tools_bin

TIMEOUT = 30.0


class FleetAgainstConsole(unittest.TestCase):
    def setUp(self):
        for tool in ("trm-console", "trm-fleet"):
            if not os.path.exists(tools_bin(tool)):
                self.skipTest(tool + " not built")
        self.sb = Sandbox(prefix="trm310-fleet-")
        self.addCleanup(self.sb.close)
        self.con = self.sb.start_tool("trm-console", "-p", "0", "-m", "1:1:0", "-g", "0",
                                      stdin=subprocess.PIPE)
        port = int(self.con.wait_for(rb"listening addr=127\.0\.0\.1 port=(\d+)\n", TIMEOUT).group(1))
        self.mb_port = int(self.con.wait_for(rb"modbus gw1 port1 listening .* port=(\d+)\n", TIMEOUT).group(1))
        self.fleet = self.sb.start_host([tools_bin("trm-fleet"), "-s", "127.0.0.1:%d" % port, "-n", "3",
                                         "--heartbeat", "1", "--first-id", "10.9.0.1", "--control", "0",
                                         "--stats", "0", "--seed", "7"], stdin=subprocess.PIPE)
        m = self.fleet.wait_for(rb"fleet gateways=3 .* seed=7 control=(\d+)\n", TIMEOUT)
        self.control = socket.create_connection(("127.0.0.1", int(m.group(1))), timeout=TIMEOUT)
        self.addCleanup(self.control.close)

    def console(self, line):
        self.con.proc.stdin.write(line.encode() + b"\n")
        self.con.proc.stdin.flush()

    def expect(self, pattern):
        return self.con.wait_for(pattern, TIMEOUT, after_last=False)

    def ask_fleet(self, line):
        """One command on the control socket; its one answer line."""
        self.control.sendall(line.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            answer += self.control.recv(4096)
        return answer.decode()

    def test_gateways_speak_the_link(self):
        inits = {}
        for gw in (1, 2, 3):
            m = self.expect(rb'gw%d init ip="10\.9\.0\.(\d)" (.*)\n' % gw)
            inits[gw] = int(m.group(1)) - 1  # the simulator's gateway number
            self.assertEqual(m.group(2), b'signal=71 net=0 rsv=0 model="TRM-310" alias="SIM%05d" '
                             b'version="V1.01" ports=2 heartbeat=1 const=10 delay=50 '
                             b'reserved=00 00 00 00 00 00 00 00' % inits[gw])
        self.assertEqual(sorted(inits.values()), [0, 1, 2])
        # The daemon's burst: 103 copies of a 14-byte heartbeat, about every second.
        for gw in (1, 2, 3):
            self.expect(rb'gw%d heartbeat copies=103 expected=103 len=14 ip="10\.9\.0\.%d"'
                        % (gw, inits[gw] + 1))

        self.console("verify 2 3 4")
        self.expect(rb"gw2 verify answer=97 expected=97 match\n")
        self.console("cfg 3 CSQ")
        self.expect(rb'gw3 port257 len=11 text="!CSQ;71;0\\r\\n"\n')
        self.console("vcom 3 00")
        self.expect(rb'gw3 port256 len=3 text="OK\\r"\n')

        c = ModbusTcpClient("127.0.0.1", port=self.mb_port, timeout=TIMEOUT, retries=0)
        self.assertTrue(c.connect())
        self.addCleanup(c.close)
        base = inits[1] * 256
        self.assertEqual(c.read_holding_registers(10, 3, slave=1).registers, [base + 10, base + 11, base + 12])
        self.assertFalse(c.write_register(11, 4242, slave=1).isError())
        self.assertEqual(c.read_holding_registers(10, 3, slave=1).registers, [base + 10, 4242, base + 12])
        self.assertTrue(c.read_holding_registers(127, 2, slave=1).isError())

        # Faults: a dropped gateway comes back (in the one free slot); a
        # gateway sending garbage is hung up on by the console, and comes back.
        self.assertRegex(self.ask_fleet("drop %d" % inits[2]), r"^ok drop gw \d id=10\.9\.0\.\d")
        self.con.wait_for(rb"gw2 closed: peer closed\n", TIMEOUT)
        self.con.wait_for(rb'gw2 init ip="10\.9\.0\.%d"' % (inits[2] + 1), TIMEOUT)
        self.assertRegex(self.ask_fleet("garbage %d 2000 1" % inits[3]), r"^ok garbage")
        self.con.wait_for(rb"gw3 malformed: ", TIMEOUT)
        self.con.wait_for(rb"gw3 closed: too many malformed packets in a row\n", TIMEOUT)
        self.con.wait_for(rb'gw3 init ip="10\.9\.0\.%d"' % (inits[3] + 1), TIMEOUT)
        self.assertRegex(self.ask_fleet("bogus 1"), r"^error: ")

        figures = json.loads(self.ask_fleet("json"))
        self.assertEqual(figures["verify_answers"], 1)
        self.assertEqual(figures["modbus_answered"], 3)
        self.assertEqual(figures["modbus_exceptions"], 1)
        self.assertEqual((figures["config_replies"], figures["command_replies"]), (1, 1))
        self.assertEqual((figures["init_sent"], figures["drops"], figures["closed_by_peer"]), (5, 1, 1))
        self.assertGreater(figures["heartbeat_packets"], 0)
        self.assertEqual(figures["heartbeat_packets"], 103 * figures["heartbeat_bursts"])
        self.assertEqual(figures["malformed_rx"], 0)

        # quit: the final figures are the last line.
        self.fleet.proc.stdin.write(b"quit\n")
        self.fleet.proc.stdin.flush()
        self.assertEqual(self.fleet.wait_exit(TIMEOUT), 0)
        last = json.loads(self.fleet.output.strip().splitlines()[-1])
        self.assertEqual(last["verify_answers"], 1)
        self.assertIsNotNone(re.search(rb'"all_up_ms":\d+', self.fleet.output))


if __name__ == "__main__":
    unittest.main()
