"""simgate end to end: every exit status, rate probing and the PIN exchange,
with the real program in a sandbox and the simulated modem. The runs of a
group go side by side, since every exchange waits one second."""

import unittest

from trmkit.modem import Modem
from trmkit.sandbox import Sandbox

OK_AT = b"receive [6]:\r\n\r\nOK\r\n\r\n"
USAGE = b"version  = 2012/09/20\r\nbaudtune para1\r\n  para1 = PIN code\r\n"


def cpin_reply(state):
    text = b"\r\n+CPIN: " + state + b"\r\n\r\nOK\r\n"
    return b"receive [%d]:\r\n%s\r\n" % (len(text), text)


class Run:
    """One sandbox with a modem (or none) and one simgate run."""

    def __init__(self, modem_args, argv):
        self.sb = Sandbox()
        self.modem = Modem(self.sb, *modem_args) if modem_args is not None else None
        self.proc = self.sb.start("simgate", *argv)

    def finish(self):
        self.status = self.proc.wait_exit(timeout=60)
        self.out = self.proc.output
        self.commands = self.modem.commands() if self.modem else []
        return self

    def close(self):
        self.sb.close()


class Simgate(unittest.TestCase):
    def run_all(self, cases):
        """cases: {name: (modem args or None, simgate arguments)} -> {name: finished Run}."""
        runs = {}
        try:
            for name, (modem_args, argv) in cases.items():
                runs[name] = Run(modem_args, argv)
            return {name: run.finish() for name, run in runs.items()}
        finally:
            for run in runs.values():
                self.addCleanup(run.close)

    def test_outcomes(self):
        r = self.run_all({
            "usage": (("--sim", "SIM PIN"), ()),
            "no device": (None, ("1234",)),
            "ready": (("--sim", "READY"), ("12",)),
            "puk": (("--sim", "SIM PUK"), ("1234",)),
            "no sim": (("--sim", "ABSENT"), ("1234",)),
            "pin too short": (("--sim", "SIM PIN"), ("123",)),
            "pin too long": (("--sim", "SIM PIN"), ("12345",)),
            "right pin": (("--sim", "SIM PIN", "--pin", "4711"), ("4711",)),
            "wrong pin": (("--sim", "SIM PIN", "--pin", "4711"), ("0000",)),
            "pin with CR": (("--sim", "SIM PIN"), ("12\r4",)),
            "random bytes": (("--sim", "SIM PIN", "--fault", "garbage"), ("1234",)),
            "NULs": (("--sim", "READY", "--fault", "nul"), ("1234",)),
        })
        with self.subTest("random bytes"):
            self.assertEqual(r["random bytes"].status, 3)
            self.assert_no_pin_sent(r["random bytes"])
        with self.subTest("NULs"):
            self.assertEqual(r["NULs"].status, 0)
            self.assertTrue(r["NULs"].out.endswith(b"don't need PIN code\r\n"))
        with self.subTest("usage"):
            self.assertEqual((r["usage"].status, r["usage"].out), (0, USAGE))
            self.assertEqual(r["usage"].commands, [])
        with self.subTest("no device"):
            self.assertEqual(r["no device"].status, 1)
            self.assertEqual(r["no device"].out, b"try baudrate = 115200\r\n"
                                                 b"Couldn't Open MODEM_PORT=22,Error Coe=2\r\n")
        with self.subTest("ready"):
            self.assertEqual(r["ready"].status, 0)
            self.assertEqual(r["ready"].out, b"try baudrate = 115200\r\n" + OK_AT
                             + cpin_reply(b"READY") + b"don't need PIN code\r\n")
        for name in ("puk", "no sim"):
            with self.subTest(name):
                self.assertEqual(r[name].status, 3)
                self.assertTrue(r[name].out.endswith(b"need PUK code or other code\r\n"))
                self.assert_no_pin_sent(r[name])
        for name in ("pin too short", "pin too long"):
            with self.subTest(name):
                self.assertEqual(r[name].status, 2)
                self.assertTrue(r[name].out.endswith(
                    cpin_reply(b"SIM PIN") + b"need PIN code\r\nPIN code length != 4\r\n"))
                self.assert_no_pin_sent(r[name])
        with self.subTest("right pin"):
            run = r["right pin"]
            self.assertEqual(run.status, 0)
            self.assertTrue(run.out.endswith(b"need PIN code\r\n"
                                             b"after [AT+CPIN], receive [6]:\r\n\r\nOK\r\n\r\n"))
            self.assertEqual([c for c in run.commands if c[0].startswith("AT+CPIN=")],
                             [("AT+CPIN=4711", 115200)])
            self.assertNotIn(b"4711", run.out)
        with self.subTest("wrong pin"):
            self.assertEqual(r["wrong pin"].status, 2)
            self.assertTrue(r["wrong pin"].out.endswith(
                b"after [AT+CPIN], receive [18]:\r\n\r\n+CME ERROR: 16\r\n\r\n"))
        with self.subTest("pin with CR"):
            self.assertEqual(r["pin with CR"].status, 2)
            self.assertIn(b"need PIN code\r\nPIN code has characters", r["pin with CR"].out)
            self.assert_no_pin_sent(r["pin with CR"])

    def assert_no_pin_sent(self, run):
        self.assertEqual([c for c in run.commands if c[0].startswith("AT+CPIN=")], [])

    def test_rates_and_timing(self):
        r = self.run_all({
            "only 460800": (("--rate", 460800, "--sim", "SIM PIN"), ("1234",)),
            "slow": (("--delay", 1500), ("1234",)),
            "mute": (("--silent",), ("1234",)),
        })
        run = r["only 460800"]
        with self.subTest("only 460800"):
            self.assertEqual(run.status, 0)
            self.assertEqual(run.out.count(b"try baudrate = "), 3)
            self.assertTrue(run.out.startswith(
                b"try baudrate = 115200\r\nreceive [-2]:\r\n\r\n"
                b"try baudrate = 230400\r\nreceive [-2]:\r\n\r\n"
                b"try baudrate = 460800\r\n" + OK_AT))
            self.assertEqual(run.commands[-2:], [("AT+CPIN?", 460800), ("AT+CPIN=1234", 460800)])
        for name in ("slow", "mute"):
            with self.subTest(name):
                self.assertEqual(r[name].status, 1)
                tries = [b"try baudrate = %d\r\n" % rate for rate in (115200, 230400, 460800, 921600)]
                self.assertEqual([t in r[name].out for t in tries], [True] * 4)
                self.assertTrue(r[name].out.endswith(b"can't communicate with modem\r\n"))
                self.assertNotIn(b"OK", r[name].out)

    def test_error_answer_to_the_pin(self):
        sb = Sandbox()
        self.addCleanup(sb.close)
        modem = Modem(sb, "--sim", "SIM PIN")
        proc = sb.start("simgate", "1234")
        modem.proc.wait_for(rb"<- 'AT\+CPIN\?'", timeout=20)
        modem.set("error", 1)
        self.assertEqual(proc.wait_exit(timeout=20), 2)
        self.assertTrue(proc.output.endswith(b"after [AT+CPIN], receive [9]:\r\n\r\nERROR\r\n\r\n"))

    def test_echoing_modem(self):
        # The PIN reaches the output only inside the modem's echo.
        sb = Sandbox()
        self.addCleanup(sb.close)
        Modem(sb, "--sim", "SIM PIN", "--echo")
        proc = sb.start("simgate", "1234")
        self.assertEqual(proc.wait_exit(timeout=20), 0)
        self.assertEqual(proc.output.count(b"1234"), 1)
        self.assertIn(b"receive [19]:\r\nAT+CPIN=1234\r\r\nOK\r\n\r\n", proc.output)


if __name__ == "__main__":
    unittest.main()
