"""Capacity of the fleet simulator itself: N simulated gateways against a
trivial sink (accepts, reads, discards) in this process, so that a load run
of a real server knows the simulator is not its bottleneck.

Reports the simulator's connect time to all gateways, its CPU (share of one
core) while connecting and in the steady state, its RSS, and whether every
byte it says it sent reached the sink. A benchmark, not a test: bounded in
time, nothing fails on a slow machine.

    python3 -m bench.fleet.capacity [-n 10000] [--steady 30] [--fleet build/host-release/tools/trm-fleet]
"""

import argparse
import json
import os
import resource
import selectors
import socket
import subprocess
import time

from trmkit import procs
from ..hub.procstat import ProcStat

HERE = os.path.dirname(os.path.abspath(__file__))


def parse_args():
    root = os.path.normpath(os.path.join(HERE, "..", ".."))
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--fleet", default=os.path.join(root, "build/host-release/tools/trm-fleet"))
    p.add_argument("-n", "--gateways", type=int, default=10000)
    p.add_argument("--heartbeat", type=int, default=10)
    p.add_argument("--burst-fraction", type=float, default=0.01)
    p.add_argument("--connect-rate", type=float, default=1000)
    p.add_argument("--source-base", default="127.1.0.1",
                   help="bind gateway k to this address + k ('' for the default source)")
    p.add_argument("--connect-limit", type=float, default=60, help="seconds allowed to connect all")
    p.add_argument("--steady", type=float, default=30, help="seconds of steady state measured")
    p.add_argument("--json", help="write the figures here too")
    return p.parse_args()


class Sink:
    """Accepts everything, reads and discards; counts bytes and connections."""

    def __init__(self, sel):
        self.sel = sel
        self.lsock = socket.socket()
        self.lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.lsock.bind(("127.0.0.1", 0))
        self.lsock.listen(4096)
        self.lsock.setblocking(False)
        self.port = self.lsock.getsockname()[1]
        self.bytes = 0
        self.open = 0
        self.accepted = 0
        sel.register(self.lsock, selectors.EVENT_READ, self.accept)

    def accept(self, _sock):
        for _ in range(256):
            try:
                conn, _ = self.lsock.accept()
            except BlockingIOError:
                return
            conn.setblocking(False)
            self.sel.register(conn, selectors.EVENT_READ, self.read)
            self.open += 1
            self.accepted += 1

    def read(self, conn):
        try:
            data = conn.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if data:
            self.bytes += len(data)
            return
        self.sel.unregister(conn)
        conn.close()
        self.open -= 1


class FleetOutput:
    """The simulator's standard output, line by line."""

    def __init__(self, proc, sel):
        self.proc = proc
        self.buf = b""
        self.lines = []
        os.set_blocking(proc.stdout.fileno(), False)
        sel.register(proc.stdout, selectors.EVENT_READ, self.read)

    def read(self, f):
        chunk = os.read(f.fileno(), 65536)
        self.buf += chunk
        *done, self.buf = self.buf.split(b"\n")
        self.lines += [d.decode(errors="replace") for d in done]

    def last_json(self):
        for line in reversed(self.lines):
            if line.startswith("{"):
                return json.loads(line)
        return None


def pump(sel, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key, _ in sel.select(timeout=min(0.05, max(0.0, end - time.monotonic()))):
            key.data(key.fileobj)


def raise_fd_limit(n):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = n + 256
    if soft < want:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (max(want, hard), max(want, hard)))
        except (ValueError, OSError):
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def main():
    a = parse_args()
    raise_fd_limit(a.gateways)
    sel = selectors.DefaultSelector()
    sink = Sink(sel)
    argv = [a.fleet, "-s", "127.0.0.1:%d" % sink.port, "-n", str(a.gateways),
            "--heartbeat", str(a.heartbeat), "--burst-fraction", str(a.burst_fraction),
            "--connect-rate", str(a.connect_rate), "--seed", "1"]
    if a.source_base:
        argv += ["--source-base", a.source_base]
    proc = procs.spawn(argv, stdin=subprocess.PIPE, stderr=None)
    out = FleetOutput(proc, sel)
    stat = ProcStat(proc.pid)
    figures = {"gateways": a.gateways, "heartbeat_s": a.heartbeat, "burst_fraction": a.burst_fraction,
               "connect_rate": a.connect_rate}
    try:
        start = time.monotonic()
        while time.monotonic() - start < a.connect_limit and sink.accepted < a.gateways:
            pump(sel, 0.2)
        pump(sel, 2.0)  # the last init packets
        proc.stdin.write(b"json\n")
        proc.stdin.flush()
        pump(sel, 0.5)
        connect = out.last_json() or {}
        figures["all_up_s"] = connect.get("all_up_ms", -1) / 1000.0
        figures["connect_cpu_pct"] = stat.cpu_pct_since_start()
        stat.mark()
        proc.stdin.write(b"reset-times\n")  # the timer lateness of the steady state alone
        proc.stdin.flush()
        pump(sel, a.steady)
        figures["steady_cpu_pct"] = stat.cpu_pct_since_mark()
        figures["rss_mb"] = stat.rss_mb()
        figures["peak_rss_mb"] = stat.peak_rss_mb()
        proc.stdin.write(b"quit\n")  # its final figures, then the sink drains
        proc.stdin.flush()
        end = time.monotonic() + 30
        while proc.poll() is None and time.monotonic() < end:
            pump(sel, 0.1)
        pump(sel, 1.0)
        fin = out.last_json() or {}
        figures.update({k: fin.get(k) for k in ("up", "tx_packets", "tx_bytes", "heartbeat_bursts",
                                                 "bursts", "connects", "tx_dropped", "tx_unsent_bytes",
                                                 "timer_late_ms")})
        figures["sink_bytes"] = sink.bytes
        figures["sink_lost_bytes"] = (fin.get("tx_bytes") or 0) - (fin.get("tx_unsent_bytes") or 0) - sink.bytes
    finally:
        procs.end(proc, grace=30)
    print(json.dumps(figures, indent=1))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
