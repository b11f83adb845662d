#!/usr/bin/python3
"""Simulated cellular modem on a pseudo-terminal.

The simulator opens a pseudo-terminal, links its slave side at --link (for a
sandbox: board/dev/ttyUSB2, which the programs open as //dev//ttyUSB2) and
answers AT commands on the master side the way 3GPP TS 27.007 describes:

  AT              -> \\r\\nOK\\r\\n
  ATE0 / ATE1     -> echo off / on, OK
  AT+CPIN?        -> \\r\\n+CPIN: READY\\r\\n\\r\\nOK\\r\\n  (or SIM PIN, SIM PUK;
                     \\r\\n+CME ERROR: 10\\r\\n when no SIM is inserted)
  AT+CPIN=<pin>   -> OK when a PIN is wanted and <pin> is right (the SIM is
                     then READY); +CME ERROR: 16 for a wrong PIN (three wrong
                     PINs block the SIM: SIM PUK); +CME ERROR: 3 when no PIN
                     is wanted; +CME ERROR: 12 when a PUK is wanted
  AT+CREG?        -> \\r\\n+CREG: <n>,<stat>\\r\\n\\r\\nOK\\r\\n
  AT+CSQ          -> \\r\\n+CSQ: <rssi>,<ber>\\r\\n\\r\\nOK\\r\\n
  anything else   -> \\r\\nERROR\\r\\n

A command line ends at CR; an LF before the next command is ignored, as are
bytes before "AT" on the line.

The modem answers at one bit rate only. When a command line arrives it reads
the line's speed (tcgetattr on the master side returns the slave side's
settings) and stays silent (--wrong-rate silent) or sends bytes that cannot
be read as an answer (--wrong-rate garbage) when the program set another
rate. The speed is checked again when the answer goes out, so a late answer
after a rate change arrives as garbage, as it would on a real line.
Under qemu-user 7.2 a program that sets 921600 bit/s leaves the line at
speed 0 (B0): a modem configured for 921600 therefore never answers there.

Faults (on every command but a plain AT, so the rate probe still works):
  --fault garbage  random bytes (NULs, CR and LF among them) instead of answers
  --fault nul      NUL bytes before and inside each answer
  --fault long     a 300-character line between the answer line and the OK
  --fault split    each answer one byte at a time, 2 ms apart
  --error          every command but a plain AT answers ERROR
  --silent         no answer at all, not even to AT
  --delay MS       answers leave MS milliseconds after their command

Settings can be changed while it runs: write "key=value" lines to its
standard input (keys: rate, sim, pin, creg, csq, echo, delay, silent, error,
fault, wrong_rate). Each change is confirmed with "modem_sim: set key=value".

Output (one line each, flushed): "modem_sim: ready <link> -> <pty>" once the
link exists, "modem_sim: <- <command> @<rate>" for every command line and
what was done with it.
"""

import argparse
import fcntl
import os
import pty
import random
import select
import signal
import sys
import termios
import time
import tty

SPEEDS = {
    1200: termios.B1200, 2400: termios.B2400, 4800: termios.B4800, 9600: termios.B9600,
    19200: termios.B19200, 38400: termios.B38400, 57600: termios.B57600,
    115200: termios.B115200, 230400: termios.B230400, 460800: termios.B460800,
    921600: termios.B921600,
}
RATE_OF_SPEED = {v: k for k, v in SPEEDS.items()}
SIM_STATES = ("READY", "SIM PIN", "SIM PUK", "ABSENT")
FAULTS = ("none", "garbage", "nul", "long", "split")
MAX_LINE = 512           # a longer command line is dropped
WRONG_PIN_LIMIT = 3
SPLIT_GAP_S = 0.002
LONG_LINE = b"Z" * 300

OK = b"\r\nOK\r\n"
ERROR = b"\r\nERROR\r\n"


def cme(code):
    return b"\r\n+CME ERROR: %d\r\n" % code


def info(text):
    return b"\r\n" + text.encode() + b"\r\n" + OK


class Modem:
    """The AT command interpreter: command line in, answer bytes out."""

    def __init__(self, cfg):
        self.cfg = cfg
        self.wrong_pins = 0

    def answer(self, cmd):
        """Answer to one command (the text after "AT", upper case)."""
        c = self.cfg
        if cmd == "":
            return OK
        if c.error:
            return ERROR
        if cmd in ("E0", "E1"):
            c.echo = cmd == "E1"
            return OK
        if cmd == "+CPIN?":
            return cme(10) if c.sim == "ABSENT" else info("+CPIN: " + c.sim)
        if cmd.startswith("+CPIN="):
            return self.enter_pin(cmd[len("+CPIN="):].strip('"'))
        if cmd == "+CREG?":
            return info("+CREG: %d,%d" % (c.creg_n, c.creg))
        if cmd == "+CSQ":
            return info("+CSQ: %d,%d" % (c.csq, c.ber))
        return ERROR

    def enter_pin(self, pin):
        c = self.cfg
        if c.sim == "ABSENT":
            return cme(10)
        if c.sim == "SIM PUK":
            return cme(12)
        if c.sim != "SIM PIN":
            return cme(3)
        if pin == c.pin:
            c.sim = "READY"
            self.wrong_pins = 0
            return OK
        self.wrong_pins += 1
        if self.wrong_pins >= WRONG_PIN_LIMIT:
            c.sim = "SIM PUK"
        return cme(16)


class Line:
    """The pseudo-terminal, the command framing, rate checks and timing."""

    def __init__(self, cfg, rng):
        self.cfg = cfg
        self.rng = rng
        self.modem = Modem(cfg)
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.name = os.ttyname(self.slave)
        fl = fcntl.fcntl(self.master, fcntl.F_GETFL)
        fcntl.fcntl(self.master, fcntl.F_SETFL, fl | os.O_NONBLOCK)
        self.pending = []    # (due time, bytes, rate the answer belongs to)
        self.line = bytearray()
        self.dropping = False

    def line_rate(self):
        speed = termios.tcgetattr(self.master)[5]
        return RATE_OF_SPEED.get(speed, 0)

    def garbage(self, n):
        # High bytes only: what a UART at the wrong rate makes of text.
        return bytes(self.rng.randrange(0x80, 0x100) for _ in range(max(1, n)))

    def feed(self, data):
        for b in data:
            if b == 0x0D:
                if not self.dropping:
                    self.command(bytes(self.line))
                self.line.clear()
                self.dropping = False
            elif b == 0x0A and not self.line:
                continue
            elif len(self.line) >= MAX_LINE:
                self.dropping = True
            else:
                self.line.append(b)

    def command(self, raw):
        at = raw.upper().find(b"AT")
        if at < 0:
            return
        cmd = raw[at + 2:].decode("latin-1").upper()
        if cmd.startswith("+CPIN="):  # keep the PIN as typed
            cmd = "+CPIN=" + raw[at + 2 + 6:].decode("latin-1")
        rate = self.line_rate()
        log("<- %r @%d" % (raw.decode("latin-1"), rate))
        c = self.cfg
        if c.silent:
            log("   silent")
            return
        if rate != c.rate:
            log("   wrong rate (answering at %d): %s" % (c.rate, c.wrong_rate))
            if c.wrong_rate == "garbage":
                self.schedule(self.garbage(len(raw) + 6), rate)
            return
        out = (raw + b"\r") if c.echo else b""
        answer = self.modem.answer(cmd)
        out += answer if cmd == "" else self.apply_fault(answer)
        self.schedule(out, rate)

    def apply_fault(self, answer):
        f = self.cfg.fault
        if f == "garbage":
            return bytes(self.rng.randrange(0, 256) for _ in range(self.rng.randrange(1, 300)))
        if f == "nul":
            return b"\0\0" + answer[:2] + b"\0" + answer[2:]
        if f == "long" and answer.endswith(OK) and len(answer) > len(OK):
            return answer[:-len(OK)] + b"\r\n" + LONG_LINE + OK
        return answer

    def schedule(self, data, rate):
        due = time.monotonic() + self.cfg.delay / 1000.0
        if self.cfg.fault == "split":
            for i, b in enumerate(data):
                self.pending.append((due + i * SPLIT_GAP_S, bytes([b]), rate))
        else:
            self.pending.append((due, data, rate))

    def send_due(self):
        now = time.monotonic()
        while self.pending and self.pending[0][0] <= now:
            _, data, rate = self.pending.pop(0)
            if self.line_rate() != rate:
                data = self.garbage(len(data))  # the line changed speed meanwhile
            try:
                os.write(self.master, data)
            except OSError as e:
                log("   write failed: %s" % e)

    def timeout(self):
        if not self.pending:
            return None
        return max(0.0, self.pending[0][0] - time.monotonic())

    def read(self):
        try:
            data = os.read(self.master, 4096)
        except (BlockingIOError, OSError):
            return
        self.feed(data)


def log(text):
    sys.stdout.write("modem_sim: " + text + "\n")
    sys.stdout.flush()


def parse_bool(text):
    return text.strip().lower() in ("1", "on", "yes", "true")


SETTERS = {
    "rate": lambda c, v: setattr(c, "rate", int(v)),
    "sim": lambda c, v: setattr(c, "sim", check(v, SIM_STATES)),
    "pin": lambda c, v: setattr(c, "pin", v),
    "creg": lambda c, v: setattr(c, "creg", int(v)),
    "csq": lambda c, v: setattr(c, "csq", int(v)),
    "echo": lambda c, v: setattr(c, "echo", parse_bool(v)),
    "delay": lambda c, v: setattr(c, "delay", int(v)),
    "silent": lambda c, v: setattr(c, "silent", parse_bool(v)),
    "error": lambda c, v: setattr(c, "error", parse_bool(v)),
    "fault": lambda c, v: setattr(c, "fault", check(v, FAULTS)),
    "wrong_rate": lambda c, v: setattr(c, "wrong_rate", check(v, ("silent", "garbage"))),
}


def check(value, allowed):
    if value not in allowed:
        raise ValueError("%r is not one of %s" % (value, ", ".join(allowed)))
    return value


def control(cfg, text):
    key, sep, value = text.strip().partition("=")
    if not sep or key not in SETTERS:
        log("unknown setting %r (keys: %s)" % (text.strip(), ", ".join(SETTERS)))
        return
    try:
        SETTERS[key](cfg, value)
        log("set %s=%s" % (key, value))
    except ValueError as e:
        log("bad value for %s: %s" % (key, e))


def parse_args(argv):
    p = argparse.ArgumentParser(description="Simulated cellular modem on a pseudo-terminal.")
    p.add_argument("--link", required=True, help="path of the device link to create")
    p.add_argument("--rate", type=int, default=115200, choices=sorted(SPEEDS),
                   help="the one bit rate at which the modem answers")
    p.add_argument("--sim", default="READY", choices=SIM_STATES)
    p.add_argument("--pin", default="1234", help="the SIM's PIN")
    p.add_argument("--creg-n", type=int, default=0, help="+CREG <n> field")
    p.add_argument("--creg", type=int, default=1, help="+CREG <stat> field")
    p.add_argument("--csq", type=int, default=23, help="+CSQ <rssi> field")
    p.add_argument("--ber", type=int, default=99, help="+CSQ <ber> field")
    p.add_argument("--echo", action="store_true", help="echo command lines")
    p.add_argument("--delay", type=int, default=20, help="answer delay in ms")
    p.add_argument("--silent", action="store_true")
    p.add_argument("--error", action="store_true")
    p.add_argument("--fault", default="none", choices=FAULTS)
    p.add_argument("--wrong-rate", dest="wrong_rate", default="silent", choices=("silent", "garbage"))
    p.add_argument("--seed", type=int, default=None)
    return p.parse_args(argv)


def make_link(link, target):
    os.makedirs(os.path.dirname(os.path.abspath(link)), exist_ok=True)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(target, link)


def run(cfg):
    seed = cfg.seed if cfg.seed is not None else random.randrange(1 << 30)
    line = Line(cfg, random.Random(seed))
    make_link(cfg.link, line.name)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    log("ready %s -> %s (rate %d, sim %s, seed %d)" % (cfg.link, line.name, cfg.rate, cfg.sim, seed))
    watch = [line.master, sys.stdin]
    try:
        while True:
            readable, _, _ = select.select(watch, [], [], line.timeout())
            if line.master in readable:
                line.read()
            if sys.stdin in readable:
                text = sys.stdin.readline()
                if text:
                    control(cfg, text)
                else:
                    watch.remove(sys.stdin)
            line.send_due()
    finally:
        if os.path.islink(cfg.link) and os.readlink(cfg.link) == line.name:
            os.unlink(cfg.link)


if __name__ == "__main__":
    try:
        run(parse_args(sys.argv[1:]))
    except KeyboardInterrupt:
        pass
