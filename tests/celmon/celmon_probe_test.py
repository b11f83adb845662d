"""celmon end to end: rate probing, the poll cycle, exit statuses and the
command line, with the real program in a sandbox and the simulated modem."""

import os
import re
import time
import unittest

from trmkit.modem import Modem, holds_open, read_written
from trmkit.sandbox import Sandbox
from trmkit.wait import poll_until

READY_FILE = b"cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=0\r\n"


class Probing(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()

    def tearDown(self):
        self.sb.close()

    def test_modem_answering_only_at_9600(self):
        modem = Modem(self.sb, "--rate", 9600)
        cel = self.sb.start("celmon")
        cel.wait_for(rb"baudrate=9600\r\n", timeout=30)
        expected = b"".join(b"--> try baudrate = %d\r\nErr : received data [-2]:\r\n" % r
                            for r in (115200, 57600, 38400, 19200))
        expected += b"--> try baudrate = 9600\r\nOK : received data [6]:\r\nOK\r\nbaudrate=9600\r\n"
        self.assertEqual(cel.output[:len(expected)], expected)

        # Two poll cycles: the queries in order, at 9600, five seconds apart.
        cel.wait_for(rb"AT Command:AT\+CPIN\?\r\r\n", timeout=15)
        first = time.monotonic()
        cel.wait_for(rb"open file success\r\n", timeout=10)
        self.assertEqual(read_written(self.sb, "/quarne/modemInfo.txt"), READY_FILE)
        self.assert_port_released(cel, modem)
        cel.wait_for(rb"AT Command:AT\+CPIN\?\r\r\n", timeout=15)
        gap = time.monotonic() - first
        self.assertGreaterEqual(gap, 5.0)
        self.assertLess(gap, 9.0)
        cel.wait_for(rb"open file success\r\n", timeout=10)

        queries = [c for c in modem.commands() if c[0] != "AT"]
        self.assertEqual(queries, [("AT+CPIN?", 9600), ("AT+CREG?", 9600), ("AT+CSQ", 9600)] * 2)
        self.assertEqual(sorted(os.listdir(self.sb.board("/quarne"))), ["modemInfo.txt", "qysc"])
        cycle = cel.output[cel.output.index(b"AT Command:AT+CPIN?"):]
        self.assertIn(b"cpintype=READY\r\nAT Command:AT+CREG?\r\r\n", cycle)
        self.assertIn(b"cregvalue=1\r\nAT Command:AT+CSQ\r\r\n", cycle)
        self.assertIn(b"csqvalue=23\r\nppp0=0\r\nopen file success\r\n", cycle)

    def assert_port_released(self, cel, modem):
        """Between cycles the modem port is closed (polled for, then held)."""
        poll_until(lambda: not holds_open(cel.pid, modem.pty), 3, step=0.01)
        for _ in range(10):  # and stays closed for a second: a span that must elapse
            self.assertFalse(holds_open(cel.pid, modem.pty), "port held between cycles")
            time.sleep(0.1)

    def test_missing_device_exits_2(self):
        status, out = self.sb.run("celmon")
        self.assertEqual(status, 2)
        self.assertEqual(out, b"--> try baudrate = 115200\r\n"
                              b"Couldn't Open MODEM PORT=22 , Error Coe=2\r\n")

    def test_mute_modem_exits_4(self):
        Modem(self.sb, "--silent")
        status, out = self.sb.run("celmon", timeout=60)
        self.assertEqual(status, 4)
        rates = (115200, 57600, 38400, 19200, 9600, 230400, 460800, 921600)
        expected = b"".join(b"--> try baudrate = %d\r\nErr : received data [-2]:\r\n" % r
                            for r in rates)
        expected += b"couldn't communicate with modem\r\nbaudrate=error\r\n"
        self.assertEqual(out, expected)
        self.assertFalse(os.path.exists(self.sb.board("/quarne/modemInfo.txt")))

    def test_garbage_at_wrong_rates_is_not_taken_for_an_answer(self):
        Modem(self.sb, "--rate", 19200, "--wrong-rate", "garbage")
        cel = self.sb.start("celmon")
        cel.wait_for(rb"baudrate=19200\r\n", timeout=30)
        self.assertEqual(len(re.findall(rb"Err : received data \[\d+\]:", cel.output)), 3)


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()

    def tearDown(self):
        self.sb.close()

    def test_version(self):
        self.sb.add_pty("/dev/ttyUSB2")
        status, out = self.sb.run("celmon", "--ver")
        self.assertEqual((status, out), (0, b"celmon.exe version = V1.00 2013/03/21\r\n"))
        self.assertEqual(self.sb.ptys[0].read(0.2), b"")  # the modem port was not touched

    def test_path_argument(self):
        os.makedirs(self.sb.board("/tmp"))
        Modem(self.sb)
        cel = self.sb.start("celmon", "/tmp/x.txt")
        cel.wait_for(rb"open file success\r\n", timeout=20)
        self.assertTrue(cel.output.startswith(b"save result to : /tmp/x.txt\r\n"))
        self.assertEqual(read_written(self.sb, "/tmp/x.txt"), READY_FILE)
        self.assertFalse(os.path.exists(self.sb.board("/quarne/modemInfo.txt")))

    def test_path_of_99_characters_is_taken_and_100_refused(self):
        ok = "/" + "p" * 98
        status, out = self.sb.run("celmon", ok)
        self.assertEqual(status, 2)  # taken; then no modem port
        self.assertTrue(out.startswith(b"save result to : " + ok.encode() + b"\r\n"))
        status, out = self.sb.run("celmon", ok + "q")
        self.assertEqual(status, 1)
        self.assertIn(b"result path too long", out)
        self.assertNotIn(b"try baudrate", out)

    def test_extra_arguments_are_ignored(self):
        status, out = self.sb.run("celmon", "--ver", "/tmp/x.txt")
        self.assertEqual(status, 2)
        self.assertTrue(out.startswith(b"--> try baudrate = 115200\r\n"))


if __name__ == "__main__":
    unittest.main()
