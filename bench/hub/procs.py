"""The fleet simulator and the Modbus load generator of a benchmark run,
driven through their standard input (trmkit's LineProcess: started in a
session of their own, their output read by a thread, ended by PID)."""

import json
import os
import socket

from trmkit.procs import LineProcess


class Fleet(LineProcess):
    """trm-fleet, asked for its figures through standard input."""

    def __init__(self, binary, servers, gateways, cwd, log_dir, extra=(), answer_log=None, name="fleet"):
        argv = [binary, "-n", gateways, "--stats", "5000", "--seed", "1"]
        if answer_log:
            argv += ["--answer-log", answer_log]
        for s in servers:
            argv += ["-s", s]
        super().__init__(name, argv + list(extra), cwd, log_dir=log_dir, stdin=True)
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


class ModbusLoad(LineProcess):
    """trm-mbload over a set of Modbus TCP servers; figures per interval."""

    def __init__(self, binary, targets, rate, seconds, cwd, log_dir, name="mbload", warmup=2):
        path = os.path.join(log_dir, name + "-targets.txt")
        with open(path, "w") as f:
            f.write("".join("%s:%d\n" % t for t in targets))
        self.rtt_log = os.path.join(log_dir, name + "-rtt.log")
        super().__init__(name, [binary, "--targets-file", path, "-r", rate, "-d", seconds,
                                "--warmup", warmup, "--log", self.rtt_log], cwd, log_dir=log_dir, stdin=True)

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
