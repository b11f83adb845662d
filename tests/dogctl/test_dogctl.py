"""dogctl on the sandbox register file: usage, the action per first
character, two arguments, and a board whose watchdog cannot be reached."""

import os
import unittest

from trmkit.sandbox import Sandbox, WDT_CONTROL, WDT_SERVICE

USAGE = (b"dogctl:\r\n\t0: disable WDT\r\n\t1: enable WDT\r\n\t2: refresh WDT\r\n"
         b"\t3: WDT reset(WDT reboot)\r\n")


class DogctlCase(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox(prefix="trm310-dogctl-")
        self.addCleanup(self.sb.close)
        self.sb.make_register_file()

    def dogctl(self, *args):
        return self.sb.run("dogctl", *args, timeout=30)

    def watchdog(self):
        return (self.sb.read8(WDT_CONTROL), self.sb.read8(WDT_SERVICE), self.sb.wdt_services())


class Actions(DogctlCase):
    def test_enable_writes_code_then_enable_bit(self):
        self.sb.write8(WDT_CONTROL, 0xFF)  # the code write replaces the whole byte
        self.assertEqual(self.dogctl("1"), (0, b"Enable WDT\r\n"))
        self.assertEqual(self.watchdog(), (0x95, 0, 0))

    def test_only_the_first_character_counts(self):
        self.assertEqual(self.dogctl("12"), (0, b"Enable WDT\r\n"))
        self.assertEqual(self.watchdog(), (0x95, 0, 0))
        self.assertEqual(self.dogctl("3x"), (0, b"WDT Reset\r\n"))

    def test_disable_after_enable_keeps_the_timeout_code(self):
        self.dogctl("1")
        self.assertEqual(self.dogctl("0"), (0, b"Disable WDT\r\n"))
        self.assertEqual(self.watchdog(), (0x15, 0, 0))

    def test_any_other_first_character_disables(self):
        for arg in ("x", "", "9", " 1", "-1"):
            with self.subTest(arg=arg):
                self.sb.write8(WDT_CONTROL, 0x95)
                self.assertEqual(self.dogctl(arg), (0, b"Disable WDT\r\n"))
                self.assertEqual(self.sb.read8(WDT_CONTROL), 0x15)

    def test_refresh_reads_the_service_register_once(self):
        self.sb.write8(WDT_CONTROL, 0x95)
        self.assertEqual(self.dogctl("2"), (0, b"Refresh WDT\r\n"))
        self.assertEqual(self.watchdog(), (0x95, 0, 1))

    def test_reset_writes_one_to_the_service_register(self):
        self.assertEqual(self.dogctl("3"), (0, b"WDT Reset\r\n"))
        self.assertEqual(self.watchdog(), (0, 1, 0))


class CommandLine(DogctlCase):
    def test_no_argument_prints_usage_and_touches_nothing(self):
        self.assertEqual(self.dogctl(), (0, USAGE))
        self.assertEqual(self.watchdog(), (0, 0, 0))

    def test_two_arguments_do_nothing(self):
        self.sb.write8(WDT_CONTROL, 0x15)
        self.assertEqual(self.dogctl("1", "2"), (0, b""))
        self.assertEqual(self.watchdog(), (0x15, 0, 0))


class UnreachableWatchdog(DogctlCase):
    def test_without_memory_device_actions_are_silent_and_still_printed(self):
        os.unlink(self.sb.board("/dev/mem"))
        for arg, line in (("0", b"Disable WDT\r\n"), ("1", b"Enable WDT\r\n"),
                          ("2", b"Refresh WDT\r\n"), ("3", b"WDT Reset\r\n")):
            with self.subTest(arg=arg):
                self.assertEqual(self.dogctl(arg), (0, line))
        self.assertEqual(self.dogctl(), (0, USAGE))
        self.assertEqual(self.dogctl("1", "2"), (0, b""))

    def test_unmappable_memory_device_ends_with_the_mapping_error(self):
        os.unlink(self.sb.board("/dev/mem"))
        os.mkfifo(self.sb.board("/dev/mem"))
        status, out = self.dogctl("1")
        self.assertEqual(status, 1)
        self.assertRegex(out, rb"^Error at line \d+, file src/sys/mmio\.cpp \(\d+\) \[.+\]\n$")


if __name__ == "__main__":
    unittest.main()
