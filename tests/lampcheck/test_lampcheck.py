"""lampcheck on the sandbox register file: the lines it prints, the set and
clear register words it writes, and a board without /dev/mem."""

import os
import time
import unittest

from trmkit.sandbox import Sandbox, GPIO_BASE

GPSR = [GPIO_BASE + off for off in (0x018, 0x01C, 0x020)]
GPCR = [GPIO_BASE + off for off in (0x024, 0x028, 0x02C)]
ON_LINES = [b"LED%d ON! -0\n" % n for n in range(5)]
OFF_LINES = [b"LED%d OFF! -0\n" % n for n in range(5)]

# Last word written per bank in a half cycle (pass-through SetLED, LEDs 0..4
# on lines 14, 84, 19, 50, 51): bank 0 ends with line 19, bank 1 with 51,
# bank 2 has line 84 only. "ON" lands in the set registers (line high), so
# the program carries the pass-through form; LED0 reporting 0 says the same.
LAST_WORDS = [1 << 19, 1 << 19, 1 << 20]


class Lampcheck(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox(prefix="trm310-lampcheck-")
        self.addCleanup(self.sb.close)

    def words(self, regs):
        return [self.sb.read32(r) for r in regs]

    def test_first_cycle_lines_in_order_and_register_words(self):
        self.sb.make_register_file()
        started = time.monotonic()
        p = self.sb.start("lampcheck")
        p.wait_for(rb"LED4 ON! -0\n", timeout=20)
        self.assertEqual(p.output, b"".join(ON_LINES))
        self.assertEqual(self.words(GPSR), LAST_WORDS)   # lines driven high
        self.assertEqual(self.words(GPCR), [0, 0, 0])    # nothing driven low yet
        p.wait_for(rb"LED4 OFF! -0\n", timeout=20)
        # a full second between the halves: no OFF line before one has passed
        self.assertGreaterEqual(time.monotonic() - started, 0.99)
        self.assertEqual(p.output, b"".join(ON_LINES + OFF_LINES))
        self.assertEqual(self.words(GPCR), LAST_WORDS)   # lines driven low
        p.wait_for(rb"LED4 ON! -0\n", timeout=20)         # and it goes on
        self.assertGreaterEqual(time.monotonic() - started, 1.99)
        self.assertEqual(p.output, b"".join(ON_LINES + OFF_LINES + ON_LINES))
        self.assertIsNone(p.proc.poll())

    def test_without_register_window_every_line_reports_failure_and_it_keeps_running(self):
        p = self.sb.start("lampcheck")
        p.wait_for(rb"LED4 OFF! --1\n", timeout=20)
        p.wait_for(rb"LED4 ON! --1\n", timeout=20)
        lines = p.output.splitlines(keepends=True)
        self.assertEqual(lines[:15], [l.replace(b"-0\n", b"--1\n")
                                      for l in ON_LINES + OFF_LINES + ON_LINES])
        self.assertIsNone(p.proc.poll())
        self.assertFalse(os.path.exists(self.sb.board("/dev/mem")))


if __name__ == "__main__":
    unittest.main()
