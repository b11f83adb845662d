"""celmon end to end: what the modem information file holds for each kind
of modem answer. Several sandboxes run side by side, so each group costs
one poll cycle."""

import re
import unittest

from trmkit.sandbox import Sandbox
from trmkit.modem import Modem, read_written

FILE = "/quarne/modemInfo.txt"
LINES = re.compile(rb"\Acpintype=[ -~]{0,19}\r\ncregvalue=-?\d+\r\ncsqvalue=-?\d+\r\nppp0=[01]\r\n\Z")


class FileContents(unittest.TestCase):
    def run_cases(self, cases):
        """cases: {name: (modem args, settings after the probe, expected file or None)}."""
        boxes = {}
        try:
            for name, (args, _, _) in cases.items():
                sb = Sandbox()
                boxes[name] = (sb, Modem(sb, *args), sb.start("celmon"))
            for name, (_, settings, _) in cases.items():
                sb, modem, cel = boxes[name]
                cel.wait_for(rb"baudrate=\d+\r\n", timeout=30)
                for key, value in settings:
                    modem.set(key, value)
            for name, (_, _, expected) in cases.items():
                sb, modem, cel = boxes[name]
                with self.subTest(name):
                    cel.wait_for(rb"open file success\r\n", timeout=20)
                    got = read_written(sb, FILE)
                    self.assertRegex(got, LINES)
                    if expected is not None:
                        self.assertEqual(got, expected)
                    self.assertIsNone(cel.proc.poll(), "celmon ended")
        finally:
            for sb, _, _ in boxes.values():
                sb.close()

    def test_sim_states(self):
        self.run_cases({
            "ready": ((), (), b"cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=0\r\n"),
            "sim pin": (("--sim", "SIM PIN", "--creg", 5, "--csq", 99), (),
                        b"cpintype=SIM PIN\r\ncregvalue=5\r\ncsqvalue=99\r\nppp0=0\r\n"),
            "no sim (+CME ERROR: 10)": (("--sim", "ABSENT", "--creg", 0, "--csq", 31), (),
                                        b"cpintype=10\r\ncregvalue=0\r\ncsqvalue=31\r\nppp0=0\r\n"),
            "silence": ((), (("silent", 1),),
                        b"cpintype=\r\ncregvalue=-1\r\ncsqvalue=-1\r\nppp0=0\r\n"),
        })

    def test_awkward_answers(self):
        normal = b"cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=0\r\n"
        self.run_cases({
            "echo": (("--echo",), (), normal),
            "split one byte at a time": (("--fault", "split"), (), normal),
            "NULs in the answers": (("--fault", "nul"), (), normal),
            "over-long lines": (("--fault", "long"), (), normal),
            "ERROR answers": (("--error",), (),
                              b"cpintype=\r\ncregvalue=-1\r\ncsqvalue=-1\r\nppp0=0\r\n"),
            "random bytes": (("--fault", "garbage"), (), None),
        })


if __name__ == "__main__":
    unittest.main()
