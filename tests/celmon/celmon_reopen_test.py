"""celmon end to end: a modem port that goes away after probing (a USB
modem unplugged) skips cycles without touching the file, and polling goes
on once it is back."""

import os
import signal
import unittest

from trmkit.sandbox import Sandbox
from trmkit.modem import Modem, MODEM_DEVICE, read_written

FILE = "/quarne/modemInfo.txt"


class Reopen(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.close)

    def unplug(self, modem):
        os.kill(modem.proc.pid, signal.SIGTERM)  # the simulator removes its link
        modem.proc.wait_exit(timeout=10)
        if os.path.lexists(self.sb.board(MODEM_DEVICE)):
            os.unlink(self.sb.board(MODEM_DEVICE))

    def test_cycle_skipped_while_the_port_is_gone(self):
        modem = Modem(self.sb, "--csq", 12)
        cel = self.sb.start("celmon")
        cel.wait_for(rb"baudrate=115200\r\n", timeout=20)
        self.unplug(modem)
        cel.wait_for(rb"Couldn't Open MODEM PORT=22 , Error Coe=2\r\n", timeout=15)
        self.assertNotIn(b"AT Command", cel.output)
        self.assertFalse(os.path.exists(self.sb.board(FILE)))

        Modem(self.sb, "--csq", 14)
        cel.wait_for(rb"open file success\r\n", timeout=15)
        self.assertEqual(read_written(self.sb, FILE),
                         b"cpintype=READY\r\ncregvalue=1\r\ncsqvalue=14\r\nppp0=0\r\n")


if __name__ == "__main__":
    unittest.main()
