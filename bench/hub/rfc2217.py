"""An RFC 2217 bit-rate change through the hub: from the client's four
settings (as pyserial sends them on every change) to their four answers,
which the hub gives once the gateway has reopened the line and reported
it. Beside it, the same gateway's virtual COM report alone ("16", through
the API on the hub's machine): one round trip of the link and the
daemon's reply, no reopen. The real daemon (sandbox copy, its RS-232 line a
pseudo-terminal) and trm-hub, on loopback and, with root, over the
emulated cellular path (trmkit.cellpath) between two namespaces.

A benchmark, not a test: it reports figures, every wait bounded, and ends
what it started by PID.

    python3 -m bench.hub.rfc2217 [--build build/host-release] [--samples 40] [--paths lo,rtt300]
    python3 -m bench.hub.rfc2217 --smoke     # loopback, 4 samples: the plumbing only
"""

import argparse
import json
import os
import re
import shutil
import socket
import statistics
import struct
import sys
import tempfile
import time
import urllib.request

from trmkit import netns
from trmkit.procs import ROOT, Process
from trmkit.sandbox import MODEM, MODEM_OK, Sandbox, sandbox_bin
from .scenarios import quantile

GW_ID = "127.0.0.101"
PATHS = {"lo": None, "rtt300": "rtt=300ms,up=1mbit,down=4mbit"}
RATES = (9600, 19200, 38400, 57600)
IAC, SB, SE, WILL, COM_PORT = 255, 250, 240, 251, 44


def sub(command, value):
    return bytes([IAC, SB, COM_PORT, command]) + value.replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


def settings(rate):
    return (sub(1, struct.pack(">I", rate)) + sub(2, b"\x08") + sub(3, b"\x01") + sub(4, b"\x01"))


class Rig:
    """trm-hub (in the server's namespace) with an rfc2217 exposure of the
    daemon's port 2; the daemon (in the gateway's namespace)."""

    def __init__(self, build, path, folder):
        self.path, self.addr = path, path.server_addr if path else "127.0.0.1"
        self.sb = Sandbox(prefix="rfcbench-")
        self.sb.make_register_file()
        self.sb.write_file(MODEM, MODEM_OK)
        self.line = self.sb.add_pty("/dev/ttyS2")
        conf = os.path.join(folder, "hub.toml")
        with open(conf, "w") as f:
            f.write('[http]\ntoken = "bench"\nplain_tokens = true\n[[exposure]]\ngateway = "%s"\nport = 2\nkind = "rfc2217"\n'
                    'listen = "%s:0"\n' % (GW_ID, self.addr))
        argv = [os.path.join(build, "tools", "trm-hub"), "--listen", self.addr + ":0", "--http", self.addr + ":0",
                "--no-mqtt", "--admit-all", "--gap", "0", "-c", conf]
        self.hub = self.start(argv, path.server_ns if path else None)
        m = self.hub.wait_for(rb"listening gateways=\S+:(\d+) http=\S+:(\d+)", 30)
        self.gw_port, self.http = int(m.group(1)), int(m.group(2))
        self.sb.write_config(self.addr, self.gw_port)
        self.daemon = self.start([sandbox_bin("qysc")], path.daemon_ns if path else None)
        self.wait_online()
        self.exposure = int(self.api("GET", "/api/exposures")[0]["listen"].split(":")[1])

    def start(self, argv, ns):
        p = Process((ns.prefix() if ns else []) + argv, self.sb.dir)
        self.sb.procs.append(p)
        return p

    def inside(self):
        return self.path.server_ns.entered() if self.path else _Nowhere()

    def api(self, method, route, body=None):
        req = urllib.request.Request("http://%s:%d%s" % (self.addr, self.http, route), data=body, method=method,
                                     headers={"Authorization": "Bearer bench"})
        with self.inside(), urllib.request.urlopen(req, timeout=30) as r:
            return json.loads(r.read().decode())

    def wait_online(self):
        end = time.monotonic() + 60
        while time.monotonic() < end:
            try:
                if self.api("GET", "/api/gateways/" + GW_ID).get("state") == "online":
                    return
            except OSError:
                pass
            time.sleep(0.2)
        raise RuntimeError("the gateway did not come online")

    def close(self):
        self.sb.close()


class _Nowhere:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def answers(sock, want, timeout=10.0):
    """Reads until `want` COM port answers (SB 44 101..104) came; returns
    the rate answered."""
    buf, got, rate, end = b"", 0, None, time.monotonic() + timeout
    while got < want and time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        buf += sock.recv(4096)
        for m in re.finditer(rb"\xff\xfa\x2c([\x65-\x68])((?:[^\xff]|\xff\xff)*)\xff\xf0", buf):
            got += 1
            if m.group(1) == b"\x65":
                rate = struct.unpack(">I", m.group(2).replace(b"\xff\xff", b"\xff"))[0]
        buf = buf[buf.rfind(b"\xff\xf0") + 2:] if b"\xff\xf0" in buf else buf
    if got < want:
        raise RuntimeError("%d of %d answers" % (got, want))
    return rate


def measure(rig, samples):
    """(rate changes ms, report alone ms), interleaved."""
    with rig.inside():
        sock = socket.create_connection((rig.addr, rig.exposure), timeout=10)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.sendall(bytes([IAC, WILL, COM_PORT]))
    time.sleep(0.5)  # the opening offers, the modem state, the hub's first report
    sock.setblocking(False)
    try:
        while sock.recv(4096):
            pass
    except BlockingIOError:
        pass
    sock.setblocking(True)
    changes, reports = [], []
    for i in range(samples):
        rate = RATES[i % len(RATES)]
        t0 = time.monotonic()
        sock.sendall(settings(rate))
        if answers(sock, 4) != rate:
            raise RuntimeError("the line does not run %d" % rate)
        changes.append((time.monotonic() - t0) * 1000)
        t0 = time.monotonic()
        rig.api("POST", "/api/gateways/%s/vcom" % GW_ID, b"162")
        reports.append((time.monotonic() - t0) * 1000)
    sock.close()
    return changes, reports


def figures(ms):
    ms = sorted(ms)
    return {"n": len(ms), "p50": round(statistics.median(ms), 1),
            "p95": round(quantile(ms, 0.95), 1), "max": round(ms[-1], 1)}


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    p.add_argument("--samples", type=int, default=40)
    p.add_argument("--paths", default="lo,rtt300")
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--json")
    a = p.parse_args()
    if a.smoke:
        a.samples, a.paths = 4, "lo"
    a.build = os.path.abspath(a.build)
    return a


def main():
    a = parse_args()
    os.environ.setdefault("TRM_SANDBOX_BIN", os.path.join(a.build, "sandbox"))
    os.environ.setdefault("TRM_TOOLS_BIN", os.path.join(a.build, "tools"))
    results = {}
    for name in a.paths.split(","):
        profile = PATHS[name]
        path = None
        if profile:
            why = netns.forbidden(nft=False, cell=True)
            if why:
                print("%s: skipped (%s)" % (name, why))
                continue
            path = netns.Path("cell", profile, tag="rfcbench", seed=7)
        folder = tempfile.mkdtemp(prefix="rfcbench-")
        rig = None
        try:
            rig = Rig(a.build, path, folder)
            changes, reports = measure(rig, a.samples)
        finally:
            if rig:
                rig.close()
            if path:
                path.close()
            shutil.rmtree(folder, ignore_errors=True)
        results[name] = {"profile": profile or "loopback", "rate_change_ms": figures(changes),
                         "report_alone_ms": figures(reports)}
        r = results[name]
        print("%-7s rate change p50 %6.1f ms p95 %6.1f max %6.1f | the report alone (one link round trip) "
              "p50 %6.1f p95 %6.1f | the difference of medians %5.1f ms" % (
                  name, r["rate_change_ms"]["p50"], r["rate_change_ms"]["p95"], r["rate_change_ms"]["max"],
                  r["report_alone_ms"]["p50"], r["report_alone_ms"]["p95"],
                  r["rate_change_ms"]["p50"] - r["report_alone_ms"]["p50"]), flush=True)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
