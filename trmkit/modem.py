"""The simulated modem (modem_sim.py, from the build's tools) on a
sandbox's modem device, for the end-to-end tests of the modem programs
(celmon, simgate, seekresp) and the fault suite."""

import ast
import os

from .sandbox import tools_bin
from .wait import poll_until

PYTHON = "/usr/bin/python3"
MODEM_DEVICE = "/dev/ttyUSB2"


class Modem:
    """modem_sim.py on board/dev/ttyUSB2 of a sandbox."""

    def __init__(self, sb, *args):
        argv = [PYTHON, tools_bin("modem_sim.py"), "--link", sb.board(MODEM_DEVICE),
                "--seed", "310"] + [str(a) for a in args]
        # Settings go down a raw pipe (closed with the test process).
        read_end, self.control = os.pipe()
        self.proc = sb.start_host(argv, stdin=read_end)
        os.close(read_end)
        self.proc.wait_for(rb"modem_sim: ready .* -> (\S+)")
        stop_modems_last(sb, self.proc)
        self.pty = self.proc.output.split(b"-> ", 1)[1].split()[0].decode()

    def set(self, key, value):
        """Changes a setting while it runs; waits for the confirmation."""
        os.write(self.control, ("%s=%s\n" % (key, value)).encode())
        self.proc.wait_for(("modem_sim: set %s=" % key).encode())

    def log(self):
        while self.proc.poll_output(0.05):
            pass
        return self.proc.output.decode("latin-1")

    def commands(self):
        """Every command line received, with the rate it came at."""
        out = []
        for line in self.log().splitlines():
            if line.startswith("modem_sim: <- "):
                text, rate = line[len("modem_sim: <- "):].rsplit(" @", 1)
                out.append((ast.literal_eval(text), int(rate)))
        return out


def stop_modems_last(sb, modem_proc):
    """Makes the sandbox stop its programs before its modems: a program must
    not find the device link of a killed simulator pointing at a pty number
    that another test has been given meanwhile."""
    modem_proc.is_modem = True
    if getattr(sb, "modems_last", False):
        return
    sb.modems_last = True
    close = sb.close

    def close_programs_first():
        programs = [p for p in sb.procs if not getattr(p, "is_modem", False)]
        for p in programs:
            p.stop()
            sb.procs.remove(p)
        close()

    sb.close = close_programs_first


def read_written(sb, board_path, timeout=3.0):
    """The file once it exists ("open file success" is printed before the
    new file is renamed into place)."""
    poll_until(lambda: os.path.exists(sb.board(board_path)), timeout, step=0.01)
    return sb.read_file(board_path)


def holds_open(pid, path):
    """True when process `pid` has `path` open (a pty slave, for example)."""
    fd_dir = "/proc/%d/fd" % pid
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(os.path.join(fd_dir, fd)) == path:
                return True
        except OSError:
            pass
    return False
