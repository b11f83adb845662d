"""The secure link over the emulated cellular path (trmkit.cellpath): the
daemon in one network namespace, its hub in another, the relay between
them. Per profile and link (plain, TLS), `--samples` daemon starts, each
with two connections: the first (TLS: a full handshake) and, after the hub
closes it, the next (TLS: resumed). For each: the hub's accept to its TLS
handshake done and to the init packet, and the daemon's own handshake time
(its log line). The daemon's connect is about 1.5 round trips before the
hub's accept (SYN, SYN-ACK, the ACK that carries the ClientHello along).
The daemon is the host build: the board's CPU adds its own handshake time
(bench.tls_handshake). Both links include the daemon's 1 s pause between
link-up and the init packet.

    python3 -m bench.tls_overpath [--build build/host-release] [--samples 3]

Needs root (namespaces); without it, says so and does nothing."""

import argparse
import os
import re
import shutil
import statistics
import sys
import tempfile
import time

from bench.tls_handshake import board_sandbox, encode_table, gateway_pki
from trmkit import cellpath, netns
from trmkit.gwserver import GatewayServer, Link
from trmkit.procs import ROOT, Process

PROFILES = [
    ("rtt300", "rtt=300ms,jitter=30ms,up=1mbit,down=4mbit"),
    ("rtt600", "rtt=600ms,jitter=60ms,up=500kbit,down=2mbit,loss=1%"),
]
DONE = re.compile(rb"--> tls: handshake done, (full|resumed), [^\r]*, (\d+) round trips, (\d+) ms")


def connection(server, ctx):
    """One connection to its init packet: (s to handshake done, s to init)."""
    server.sock.settimeout(60)
    s, _ = server.sock.accept()
    accepted = time.monotonic()
    s.settimeout(60)
    if ctx is not None:
        s = ctx.wrap_socket(s, server_side=True)
    shaken = time.monotonic()
    link = Link(s, server.table)
    try:
        assert link.next_packet(timeout=30).type == 0
        return shaken - accepted, time.monotonic() - accepted
    finally:
        link.close()


def sample(path, build, pki, tls):
    """A daemon start with two connections; their figures, TLS's log times."""
    with path.server_ns.entered():
        server = GatewayServer(encode_table(build), addr=path.server_addr)
    ctx = pki.hub_context() if tls else None
    sb = board_sandbox(pki if tls else None, server.port, path.server_addr)
    try:
        daemon = Process(path.daemon_ns.prefix() + [os.path.join(build, "sandbox", "qysc")], sb.dir)
        sb.procs.append(daemon)
        figures = [connection(server, ctx) for _ in range(2)]
        logged = []
        if tls:
            logged = [daemon.wait_for(DONE, timeout=10).groups() for _ in range(2)]
        return figures, logged
    finally:
        server.close()
        sb.close()


def profile_run(name, profile, build, pki, samples):
    for tls in (False, True):
        rows = [[], []]
        logs = [[], []]
        for i in range(samples):
            path = netns.Path("cell", profile, tag="tlsbench", seed=1000 + i)
            try:
                figures, logged = sample(path, build, pki, tls)
            finally:
                path.close()
            for k in range(2):
                rows[k].append(figures[k])
                if logged:
                    logs[k].append(logged[k])
        report(name, tls, rows, logs)


def report(name, tls, rows, logs):
    kinds = ("full", "resumed") if tls else ("first", "again")
    for k, kind in enumerate(kinds):
        hs = [r[0] * 1000 for r in rows[k]]
        init = [r[1] * 1000 for r in rows[k]]
        line = "%s %-5s %-8s accept->handshake done %5.0f ms, accept->init %5.0f ms (median of %d; %s)" % (
            name, "tls" if tls else "plain", kind, statistics.median(hs), statistics.median(init),
            len(init), " ".join("%.0f" % v for v in init))
        if logs[k]:
            line += "; daemon: %s ms, %s round trips" % (
                " ".join(g[2].decode() for g in logs[k]), "/".join(sorted({g[1].decode() for g in logs[k]})))
        print(line, flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    ap.add_argument("--samples", type=int, default=3)
    a = ap.parse_args()
    why = netns.forbidden(cell=True)
    if why:
        print("skipped: %s" % why)
        return 0
    os.environ.setdefault("TRM_TOOLS_BIN", os.path.join(os.path.abspath(a.build), "tools"))
    folder = tempfile.mkdtemp(prefix="tlsbench-path-")
    try:
        pki = gateway_pki(folder)
        print(time.strftime("%Y-%m-%d %H:%M"), "relay", cellpath.binary())
        for name, profile in PROFILES:
            profile_run(name, profile, os.path.abspath(a.build), pki, max(1, min(a.samples, 20)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
