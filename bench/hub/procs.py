"""Processes of a benchmark run: started in their own session, their output
collected by a thread, ended by PID; the fleet simulator and the Modbus load
generator driven through their standard input."""

import json
import os
import random
import signal
import socket
import subprocess
import threading
import time


def free_port(low=20000):
    """A free port below the kernel's ephemeral range, so that none of the
    run's own outgoing connections can take it before the server binds it
    again (a restart)."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        high = int(f.read().split()[0]) - 1
    for _ in range(1000):
        port = random.randint(low, high)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        if port not in _given:
            _given.add(port)
            return port
    raise RuntimeError("no free port in %d..%d" % (low, high))


_given = set()


def wait_until(cond, timeout, step=0.1, what="condition"):
    """Polls cond() until it is true (returns its value) or timeout (raises)."""
    end = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() > end:
            raise TimeoutError("timed out after %.0fs waiting for %s" % (timeout, what))
        time.sleep(step)


class Proc:
    """A program of the run; every output line kept (and logged to a file)."""

    def __init__(self, name, argv, cwd, log_dir, stdin=True, env=None):
        self.name = name
        self.argv = [str(a) for a in argv]
        self.log = open(os.path.join(log_dir, name + ".log"), "ab")
        self.proc = subprocess.Popen(self.argv, cwd=cwd, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True, env=env)
        self.pid = self.proc.pid
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.log.write(raw)
            self.log.flush()
            with self.cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.cond.notify_all()

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def wait_line(self, pred, timeout, start=0):
        """The first line from index start on with pred(line) true; its index and text."""
        end = time.monotonic() + timeout
        with self.cond:
            i = start
            while True:
                while i < len(self.lines):
                    if pred(self.lines[i]):
                        return i, self.lines[i]
                    i += 1
                left = end - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self.reader.is_alive()):
                    raise TimeoutError("%s: no such line within %.0fs; last: %s"
                                       % (self.name, timeout, self.lines[-5:]))
                self.cond.wait(min(left, 0.2))

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=20):
        """Ends the program by its PID (SIGKILL after timeout); its status."""
        if self.proc.poll() is None:
            try:
                os.kill(self.pid, sig)
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.proc.wait(timeout=10)
            except ProcessLookupError:
                pass
        self.reader.join(timeout=5)
        return self.proc.returncode


class Fleet(Proc):
    """trm-fleet, asked for its figures through standard input."""

    def __init__(self, binary, servers, gateways, cwd, log_dir, extra=(), answer_log=None, name="fleet"):
        argv = [binary, "-n", gateways, "--stats", "5000", "--seed", "1"]
        if answer_log:
            argv += ["--answer-log", answer_log]
        for s in servers:
            argv += ["-s", s]
        super().__init__(name, argv + list(extra), cwd, log_dir)
        try:
            self.wait_line(lambda l: l.startswith("fleet gateways="), 30)
        except BaseException:
            self.stop()  # the caller never gets it to stop
            raise

    def figures(self, timeout=30):
        start = len(self.lines)
        self.send("json")
        return json.loads(self.wait_line(lambda l: l.startswith("{"), timeout, start)[1])

    def quit(self, timeout=60):
        start = len(self.lines)
        self.send("quit")
        line = self.wait_line(lambda l: l.startswith("{"), timeout, start)[1]
        self.stop()
        return json.loads(line)

    def command(self, line, timeout=10):
        start = len(self.lines)
        self.send(line)
        return self.wait_line(lambda l: l.startswith(("ok ", "error: ")), timeout, start)[1]


class ModbusLoad(Proc):
    """trm-mbload over a set of Modbus TCP servers; figures per interval."""

    def __init__(self, binary, targets, rate, seconds, cwd, log_dir, name="mbload", warmup=2):
        path = os.path.join(log_dir, name + "-targets.txt")
        with open(path, "w") as f:
            f.write("".join("%s:%d\n" % t for t in targets))
        self.rtt_log = os.path.join(log_dir, name + "-rtt.log")
        super().__init__(name, [binary, "--targets-file", path, "-r", rate, "-d", seconds,
                                "--warmup", warmup, "--log", self.rtt_log], cwd, log_dir)

    def report(self, timeout=10):
        """The figures since the last report; "log_end" is where the round-trip
        log stood at that moment."""
        start = len(self.lines)
        self.send("report")
        return json.loads(self.wait_line(lambda l: l.startswith("{"), timeout, start)[1])

    def result(self, timeout):
        """The whole run's figures (its last JSON line), once it has ended."""
        self.proc.wait(timeout=timeout)
        self.reader.join(timeout=5)
        for line in reversed(self.lines):
            if line.startswith("{"):
                return json.loads(line)
        return None


class StuckClient:
    """A Modbus TCP client that sends requests and never reads the answers."""

    def __init__(self, host, port, rcvbuf=4096):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.connect((host, port))
        self.sock.setblocking(False)
        self.tid = 0
        self.sent = 0

    def push(self, count=50):
        for _ in range(count):
            self.tid = (self.tid + 1) & 0xFFFF
            req = self.tid.to_bytes(2, "big") + b"\x00\x00\x00\x06\x01\x03\x00\x00\x00\x7d"
            try:
                self.sock.send(req)
                self.sent += 1
            except (BlockingIOError, OSError):
                return

    def close(self):
        self.sock.close()
