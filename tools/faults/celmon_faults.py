"""The modem port vanishing and returning under celmon (a USB modem
unplugged and plugged in again), between poll cycles and in the middle of
a query. celmon must live on, keep the modem information file well formed
at every moment (the old contents while the port is gone), pick the modem
up again within a couple of cycles, and not grow its descriptors."""

import os
import re
import signal
import time

from trmkit.modem import MODEM_DEVICE, Modem
from trmkit.sandbox import Sandbox
from .monitor import resources

FILE = "/quarne/modemInfo.txt"
WELL_FORMED = re.compile(rb"cpintype=[^\r\n]*\r\ncregvalue=-?\d+\r\ncsqvalue=-?\d+\r\nppp0=[01]\r\n")


class CelmonRun:
    def __init__(self):
        self.sb = Sandbox(prefix="trmfault-celmon-")
        self.modem = Modem(self.sb, "--csq", 10)
        self.cel = self.sb.start("celmon")
        self.samples = self.malformed = 0
        self.examples = []        # the first distinct malformed contents

    def watch(self, seconds, until=None):
        """Polls celmon's output and the file until `until` holds."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.cel.poll_output(0.05)
            self._sample()
            if until is not None and until():
                return True
            if self.cel.proc.poll() is not None:
                return False
        return False

    def _sample(self):
        try:
            with open(self.sb.board(FILE), "rb") as f:
                text = f.read()
        except FileNotFoundError:
            return
        self.samples += 1
        if WELL_FORMED.fullmatch(text) is None:
            self.malformed += 1
            if len(self.examples) < 3 and text.decode(errors="replace") not in self.examples:
                self.examples.append(text.decode(errors="replace"))

    def fds_between_cycles(self):
        """celmon's descriptors with the modem port closed: the fewest seen
        over a little more than one cycle (the port is held about 2 s of
        every 5)."""
        counts = []
        end = time.monotonic() + 6.5
        while time.monotonic() < end and self.cel.proc.poll() is None:
            got = resources(self.cel.pid)
            if got:
                counts.append(got[0])
            self.watch(0.2)
        return min(counts) if counts else None

    def seen(self, pattern, start):
        return re.search(pattern, self.cel.output[start:]) is not None

    def unplug(self):
        os.kill(self.modem.proc.pid, signal.SIGTERM)   # the simulator removes its link
        self.modem.proc.wait_exit(timeout=10)
        if os.path.lexists(self.sb.board(MODEM_DEVICE)):
            os.unlink(self.sb.board(MODEM_DEVICE))

    def file(self):
        with open(self.sb.board(FILE), "rb") as f:
            return f.read()


def run(cycles):
    c = CelmonRun()
    r = {"cycles": 0, "recovered": 0, "recover_s": [], "skipped_ok": 0, "alive": True}
    try:
        if not c.watch(25.0, lambda: os.path.exists(c.sb.board(FILE))):
            r["alive"] = False
            r["error"] = "no modem information file: %s" % c.cel.output[-400:]
            return r
        fds_first = c.fds_between_cycles()
        for i in range(cycles):
            mark = len(c.cel.output)
            mid = i % 2 == 1
            what = rb"AT Command:AT\+CREG" if mid else rb"open file success"
            c.watch(15.0, lambda: c.seen(what, mark))
            c.unplug()
            held = c.file()
            mark = len(c.cel.output)
            gone = c.watch(15.0, lambda: c.seen(rb"Couldn't Open MODEM PORT=22", mark))
            r["skipped_ok"] += gone and c.file() == held
            csq = 11 + i
            c.modem = Modem(c.sb, "--csq", csq)
            t = time.monotonic()
            back = c.watch(25.0, lambda: b"csqvalue=%d\r\n" % csq in c.file())
            r["cycles"] += 1
            r["recovered"] += back
            if back:
                r["recover_s"].append(round(time.monotonic() - t, 1))
            if c.cel.proc.poll() is not None:
                r["alive"] = False
                break
        r["fds_first"], r["fds_last"] = fds_first, c.fds_between_cycles()
    finally:
        r["file_samples"], r["malformed"] = c.samples, c.malformed
        r["malformed_examples"] = c.examples
        r["alive"] = r["alive"] and c.cel.proc.poll() is None
        r["tail"] = c.cel.output.decode(errors="replace")[-300:] if not r["alive"] else ""
        c.sb.close()
    return r
