"""Sandbox for end-to-end tests of the real programs.

A Sandbox is a temporary working directory with the board's file tree below
./board: pseudo-terminals linked in as serial devices, a sparse register
file standing in for /dev/mem, and the /quarne files. The programs under
test are the sandbox copies the build puts in <build>/sandbox/, which open
every absolute path below ./board of their working directory, so nothing a
test runs can reach the host's devices.

The test runner (CTest) passes the build facts in the environment:
  TRM_SANDBOX_BIN   directory of the sandbox programs
  TRM_EMULATOR      command prefix for board binaries ("" on the host)
  TRM_ENCODE_TABLE  the scrambling table file the build compiled in
  TRM_TOOLS_BIN     directory of the host tools (console, simulators)
"""

import ctypes
import fcntl
import os
import pty
import re
import select
import shlex
import shutil
import struct
import subprocess
import tempfile
import termios
import time
import tty

from .procs import Process

GPIO_BASE = 0x40E00000
BOARD_BASE = 0x17000000
WINDOW_SIZE = 0x00100000
WDT_CONTROL = BOARD_BASE + 0x0000
WDT_SERVICE = BOARD_BASE + 0xF000
WDT_SERVICE_COUNT = BOARD_BASE + 0xF004  # sandbox build: one count per service read

CONFIG = "/quarne/qysc/qyserver.ini"
MODEM = "/quarne/modemInfo.txt"
MODEM_OK = "cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=1\r\n"


def sandbox_bin(name):
    return os.path.join(os.environ.get("TRM_SANDBOX_BIN", ""), name)


def tools_bin(name):
    return os.path.join(os.environ.get("TRM_TOOLS_BIN", ""), name)


def emulator():
    return shlex.split(os.environ.get("TRM_EMULATOR", ""))


def daemon_config(server, port, extra="", **keys):
    """The daemon's configuration file (qyserver.ini): ServerIP and
    ServerPort, then `keys` in their order (Key=value), then `extra` as it
    is; every line ended by \\r\\n as the daemon writes it."""
    text = "ServerIP=%s\r\nServerPort=%d\r\n" % (server, port)
    return text + "".join("%s=%s\r\n" % kv for kv in keys.items()) + extra


def fuzz_seed(what="random test"):
    """The seed of a random test: TRM_FUZZ_SEED when set, else a fresh one,
    printed first so that a failing run can be repeated."""
    import random
    seed = int(os.environ.get("TRM_FUZZ_SEED", random.randrange(1 << 30)))
    print("\n%s: TRM_FUZZ_SEED=%d" % (what, seed), flush=True)
    return seed


def load_encode_table(path=None):
    """The scrambling table as a list of 256 ints, read like the build reads it."""
    path = path or os.environ["TRM_ENCODE_TABLE"]
    with open(path) as f:
        text = re.sub(r"#[^\n]*", "", f.read())
    table = [int(tok, 0) for tok in re.split(r"[\s,]+", text) if tok]
    assert sorted(table) == list(range(256)), "not a permutation"
    return table


class Pty:
    """A pseudo-terminal linked in as a board serial device; the test holds
    the master side (the far end of the line) and keeps the slave open so the
    line never hangs up."""

    def __init__(self, link):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.name = os.ttyname(self.slave)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(self.name, link)
        fl = fcntl.fcntl(self.master, fcntl.F_GETFL)
        fcntl.fcntl(self.master, fcntl.F_SETFL, fl | os.O_NONBLOCK)

    def write(self, data):
        os.write(self.master, data)

    def write_some(self, data):
        """As much of data as the line takes now (the far end does not block)."""
        return os.write(self.master, data)

    def read(self, timeout=1.0, want=None):
        out = b""
        end = time.monotonic() + timeout
        while time.monotonic() < end and (want is None or len(out) < want):
            r, _, _ = select.select([self.master], [], [], min(0.02, max(0, end - time.monotonic())))
            if r:
                try:
                    out += os.read(self.master, 65536)
                except (BlockingIOError, OSError):
                    pass
        return out

    def attrs(self):
        """termios attributes of the line, as the program set them."""
        return termios.tcgetattr(self.slave)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


class FileOpens:
    """When a program opens one file: an inotify watch (IN_OPEN) on it,
    read without blocking. times() gives the monotonic times of the opens
    seen since the last call (to the poll's resolution)."""

    IN_OPEN = 0x20

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, path.encode(), self.IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), "inotify on %s" % path)

    def times(self):
        out = []
        while True:
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                return out
            # each event: wd, mask, cookie, len (4 × 4 bytes), then len bytes of name
            off = 0
            while off + 16 <= len(data):
                out.append(time.monotonic())
                off += 16 + struct.unpack_from("I", data, off + 12)[0]

    def close(self):
        os.close(self.fd)


class Sandbox:
    def __init__(self, prefix="trm310-e2e-"):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        os.makedirs(self.board("/dev"))
        os.makedirs(self.board("/quarne/qysc"))
        self.ptys = []
        self.procs = []

    def board(self, path):
        return os.path.join(self.dir, "board") + path

    # --- files -------------------------------------------------------------
    def write_file(self, board_path, data):
        path = self.board(board_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def write_config(self, server, port, extra="", path=CONFIG, **keys):
        """The daemon's configuration file (see daemon_config)."""
        self.write_file(path, daemon_config(server, port, extra, **keys))

    def read_file(self, board_path):
        with open(self.board(board_path), "rb") as f:
            return f.read()

    # --- devices -----------------------------------------------------------
    def add_pty(self, device):
        p = Pty(self.board(device))
        self.ptys.append(p)
        return p

    def make_register_file(self):
        with open(self.board("/dev/mem"), "wb") as f:
            f.truncate(GPIO_BASE + WINDOW_SIZE)

    def read32(self, phys):
        with open(self.board("/dev/mem"), "rb") as f:
            f.seek(phys)
            return struct.unpack("<I", f.read(4))[0]

    def read8(self, phys):
        with open(self.board("/dev/mem"), "rb") as f:
            f.seek(phys)
            return f.read(1)[0]

    def write32(self, phys, value):
        with open(self.board("/dev/mem"), "r+b") as f:
            f.seek(phys)
            f.write(struct.pack("<I", value))

    def write8(self, phys, value):
        with open(self.board("/dev/mem"), "r+b") as f:
            f.seek(phys)
            f.write(bytes([value]))

    def wdt_services(self):
        return self.read32(WDT_SERVICE_COUNT)

    # --- programs ----------------------------------------------------------
    def start(self, program, *args, stdin=subprocess.DEVNULL):
        """Starts the sandbox copy of a board program in this sandbox."""
        argv = emulator() + [sandbox_bin(program)] + [str(a) for a in args]
        p = Process(argv, self.dir, stdin=stdin)
        self.procs.append(p)
        return p

    def start_tool(self, program, *args, stdin=subprocess.DEVNULL):
        """Starts one of the project's own tools (built like the programs, so
        under the emulator in the cross build) in this sandbox."""
        argv = emulator() + [tools_bin(program)] + [str(a) for a in args]
        p = Process(argv, self.dir, stdin=stdin)
        self.procs.append(p)
        return p

    def start_host(self, argv, stdin=subprocess.DEVNULL):
        """Starts a host program (simulator, console, peer) in this sandbox."""
        p = Process([str(a) for a in argv], self.dir, stdin=stdin)
        self.procs.append(p)
        return p

    def run(self, program, *args, timeout=30.0):
        """Runs a board program to its end; returns (status, output bytes)."""
        p = self.start(program, *args)
        status = p.wait_exit(timeout)
        return status, p.output

    def close(self):
        for p in self.procs:
            p.stop()
        for t in self.ptys:
            t.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
