"""What Modbus/TCP Security adds to a Modbus round trip through the hub on
loopback: two simulated gateways (trm-fleet, which answers a Modbus
request at once, so the hub and the client are what is measured), one
exposed as "modbus", the other as "modbus-tls"; a client reads 10 holding
registers from each in turn (plain TCP; TLS 1.3 and TLS 1.2 on one kept
connection each, an operate role's certificate by tools/trm-pki.sh), and
the round trips' percentiles are set side by side.

A benchmark, not a test: it reports figures, every wait bounded, and ends
what it started by PID.

    python3 -m bench.hub.modbus_tls [--build build/host-release] [--samples 5000]
    python3 -m bench.hub.modbus_tls --smoke     # 200 samples: the plumbing only
"""

import argparse
import json
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

from trmkit.procs import ROOT, Process
from .scenarios import quantile

PKI = os.path.join(ROOT, "tools", "trm-pki.sh")
PLAIN_GW, TLS_GW = "10.7.0.1", "10.7.0.2"


def pki(folder, what, sub, *args):
    subprocess.run([PKI, what, os.path.join(folder, sub)] + list(args), check=True, capture_output=True, timeout=60)


def config(folder):
    k = lambda p: os.path.join(folder, p)
    return """[modbus]
tls_cert = "%s"
tls_key = "%s"
tls_ca = "%s"
roles = { bench = "operate" }
[[exposure]]
gateway = "%s"
kind = "modbus"
listen = "127.0.0.1:0"
[[exposure]]
gateway = "%s"
kind = "modbus-tls"
listen = "127.0.0.1:0"
""" % (k("hub/hub.crt"), k("hub/hub.key"), k("ca/ca.crt"), PLAIN_GW, TLS_GW)


class Rig:
    def __init__(self, build, folder):
        for what, sub, args in (("ca", "ca", ()), ("hub", "hub", ("--name", "127.0.0.1")),
                                ("modbus", "client", ("--name", "bench", "--role", "bench", "--ca",
                                                      os.path.join(folder, "ca")))):
            pki(folder, what, sub, *args)
        with open(os.path.join(folder, "hub.toml"), "w") as f:
            f.write(config(folder))
        self.procs = []
        self.hub = self.start([os.path.join(build, "tools", "trm-hub"), "--listen", "127.0.0.1:0", "--http",
                               "127.0.0.1:0", "--no-mqtt", "--admit-all", "--gap", "0", "--log-level", "warn",
                               "-c", os.path.join(folder, "hub.toml")], folder)
        m = self.hub.wait_for(rb"listening gateways=127.0.0.1:(\d+) http=127.0.0.1:(\d+)", 30)
        self.http = int(m.group(2))
        self.fleet = self.start([os.path.join(build, "tools", "trm-fleet"), "--server", "127.0.0.1:" + m.group(1).decode(),
                                 "-n", "2", "--first-id", PLAIN_GW, "--init-delay", "50", "--stats", "0"], folder)
        end = time.monotonic() + 30
        while self.api("/api/gateways?limit=1")["online"] < 2:
            if time.monotonic() > end:
                raise RuntimeError("the fleet did not come online")
            time.sleep(0.1)
        self.ports = {e["gateway"]: int(e["listen"].split(":")[1]) for e in self.api("/api/exposures")}

    def start(self, argv, folder):
        p = Process(argv, folder)
        self.procs.append(p)
        return p

    def api(self, route):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.http, route), timeout=10) as r:
            return json.loads(r.read().decode())

    def close(self):
        for p in self.procs:
            p.stop()


def connect(rig, folder, tls):
    s = socket.create_connection(("127.0.0.1", rig.ports[TLS_GW if tls else PLAIN_GW]), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if not tls:
        return s
    ctx = ssl.create_default_context(cafile=os.path.join(folder, "hub", "hub.crt"))
    ctx.load_cert_chain(os.path.join(folder, "client", "client.crt"), os.path.join(folder, "client", "client.key"))
    ctx.minimum_version = ctx.maximum_version = tls
    return ctx.wrap_socket(s, server_hostname="127.0.0.1")


def round_trip(sock, tid):
    req = struct.pack(">HHHBBHH", tid, 0, 6, 1, 3, 0, 10)
    t0 = time.perf_counter_ns()
    sock.sendall(req)
    got = b""
    while len(got) < 29:
        chunk = sock.recv(64)
        if not chunk:
            raise RuntimeError("closed")
        got += chunk
    t1 = time.perf_counter_ns()
    if got[:2] != req[:2] or got[7] != 3:
        raise RuntimeError("not the answer: %r" % got)
    return (t1 - t0) / 1e6


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    p.add_argument("--samples", type=int, default=5000)
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--json")
    a = p.parse_args()
    if a.smoke:
        a.samples = 200
    a.build = os.path.abspath(a.build)
    return a


def main():
    a = parse_args()
    folder = tempfile.mkdtemp(prefix="mbtlsbench-")
    rig = None
    try:
        rig = Rig(a.build, folder)
        modes = {"plain": None, "tls1.3": ssl.TLSVersion.TLSv1_3, "tls1.2": ssl.TLSVersion.TLSv1_2}
        socks = {name: connect(rig, folder, v) for name, v in modes.items()}
        times = {name: [] for name in modes}
        for i in range(a.samples + 100):
            for name, s in socks.items():  # the first 100 warm up
                ms = round_trip(s, i & 0xFFFF)
                if i >= 100:
                    times[name].append(ms)
        for s in socks.values():
            s.close()
    finally:
        if rig:
            rig.close()
        shutil.rmtree(folder, ignore_errors=True)
    results = {}
    for name, ms in times.items():
        ms = sorted(ms)
        results[name] = {"n": len(ms), "p50": quantile(ms, 0.5), "p90": quantile(ms, 0.9),
                         "p99": quantile(ms, 0.99), "max": ms[-1]}
    base = results["plain"]
    for name, r in results.items():
        r["p99_added"] = r["p99"] - base["p99"]
        print("%-7s p50 %.3f ms  p90 %.3f  p99 %.3f  max %.3f  | p99 over plain %+.3f ms, p50 %+.3f ms" % (
            name, r["p50"], r["p90"], r["p99"], r["max"], r["p99_added"], r["p50"] - base["p50"]), flush=True)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
