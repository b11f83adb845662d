"""The simulated modem on its own: a test plays the program's part on the
slave side of its pseudo-terminal."""

import os
import select
import termios
import time
import tty
import unittest

from trmkit.sandbox import Sandbox
from trmkit.modem import Modem, MODEM_DEVICE


class Line:
    """The program's end of the modem line."""

    def __init__(self, sb, rate):
        self.fd = os.open(sb.board(MODEM_DEVICE), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.set_rate(rate)

    def set_rate(self, rate):
        attrs = termios.tcgetattr(self.fd)
        speed = getattr(termios, "B%d" % rate)
        attrs[4] = attrs[5] = speed
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def ask(self, command, wait=0.4):
        """Sends `command`; what arrives within `wait` seconds (less once a
        final result code is in)."""
        os.write(self.fd, command)
        out = b""
        end = time.monotonic() + wait
        while time.monotonic() < end and not (out.endswith(b"\r\n") and (b"OK" in out or b"ERROR" in out)):
            r, _, _ = select.select([self.fd], [], [], 0.02)
            if r:
                out += os.read(self.fd, 4096)
        return out

    def close(self):
        os.close(self.fd)


class ModemSimulator(unittest.TestCase):
    def start(self, *args, rate=115200):
        sb = Sandbox()
        self.addCleanup(sb.close)
        modem = Modem(sb, *args)
        line = Line(sb, rate)
        self.addCleanup(line.close)
        return modem, line

    def test_answers_of_the_standard(self):
        _, line = self.start("--csq", 17, "--creg", 5)
        self.assertEqual(line.ask(b"AT\r\n"), b"\r\nOK\r\n")
        self.assertEqual(line.ask(b"AT+CSQ\r"), b"\r\n+CSQ: 17,99\r\n\r\nOK\r\n")
        self.assertEqual(line.ask(b"AT+CREG?\r"), b"\r\n+CREG: 0,5\r\n\r\nOK\r\n")
        self.assertEqual(line.ask(b"AT+CPIN?\r"), b"\r\n+CPIN: READY\r\n\r\nOK\r\n")
        self.assertEqual(line.ask(b"AT+XYZ\r"), b"\r\nERROR\r\n")
        self.assertEqual(line.ask(b"\xff\x00noise AT\r"), b"\r\nOK\r\n")

    def test_answers_only_at_its_rate(self):
        modem, line = self.start("--rate", 9600)
        self.assertEqual(line.ask(b"AT\r"), b"")
        line.set_rate(9600)
        self.assertEqual(line.ask(b"AT\r"), b"\r\nOK\r\n")
        self.assertEqual(modem.commands(), [("AT", 115200), ("AT", 9600)])

    def test_garbage_at_the_wrong_rate(self):
        _, line = self.start("--rate", 9600, "--wrong-rate", "garbage")
        out = line.ask(b"AT\r")
        self.assertTrue(out and all(b >= 0x80 for b in out))

    def test_pin_unlock_and_block(self):
        _, line = self.start("--sim", "SIM PIN", "--pin", "4711")
        self.assertEqual(line.ask(b"AT+CPIN=\"4711\"\r"), b"\r\nOK\r\n")
        self.assertEqual(line.ask(b"AT+CPIN?\r"), b"\r\n+CPIN: READY\r\n\r\nOK\r\n")
        self.assertEqual(line.ask(b"AT+CPIN=4711\r"), b"\r\n+CME ERROR: 3\r\n")
        _, line = self.start("--sim", "SIM PIN", "--pin", "4711")
        for _ in range(3):
            self.assertEqual(line.ask(b"AT+CPIN=0000\r"), b"\r\n+CME ERROR: 16\r\n")
        self.assertEqual(line.ask(b"AT+CPIN?\r"), b"\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n")
        self.assertEqual(line.ask(b"AT+CPIN=4711\r"), b"\r\n+CME ERROR: 12\r\n")

    def test_no_sim(self):
        _, line = self.start("--sim", "ABSENT")
        self.assertEqual(line.ask(b"AT+CPIN?\r"), b"\r\n+CME ERROR: 10\r\n")

    def test_echo_delay_and_settings_while_running(self):
        modem, line = self.start("--echo", "--delay", 300)
        self.assertEqual(line.ask(b"AT\r", wait=0.15), b"")
        self.assertEqual(line.ask(b"", wait=0.5), b"AT\r\r\nOK\r\n")
        line.ask(b"ATE0\r", wait=0.5)
        modem.set("delay", 0)
        modem.set("silent", 1)
        self.assertEqual(line.ask(b"AT\r"), b"")
        modem.set("silent", 0)
        modem.set("fault", "split")
        self.assertEqual(line.ask(b"AT+CSQ\r"), b"\r\n+CSQ: 23,99\r\n\r\nOK\r\n")

    def test_overlong_command_line_is_dropped(self):
        _, line = self.start()
        self.assertEqual(line.ask(b"AT" + b"X" * 600 + b"\r"), b"")
        self.assertEqual(line.ask(b"AT\r"), b"\r\nOK\r\n")


if __name__ == "__main__":
    unittest.main()
