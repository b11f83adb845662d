"""What the acknowledged link costs on the cellular path: the real daemon
and the real hub over the secure link (tools.faults.hubrig: the daemon in
one namespace, the hub behind a relay in the other, trm-cellpath between),
the extension on and then off, each for three stretches:

  idle    connected, nothing on the lines
  busy    both lines at 115 200 bit/s to the hub, half that to the lines
  bursts  a 16-byte burst on each line every 100 ms

Per stretch: acknowledgements each way (the hub's counters) and the bytes
they cost on the path (a 41-byte section in a 53-byte packet, 29 bytes of
TLS record around it), as bytes an hour, beside all bytes the link carried;
the daemon's CPU (utime + stime from /proc) per burst in the burst stretch.

    sudo python3 -m bench.acklink_cost [--seconds 120] [--build build/host-release]

Needs root (namespaces); without it, says so and does nothing."""

import argparse
import json
import os
import random
import re
import shutil
import sys
import tempfile
import time
import urllib.request

from tools.faults import streams
from tools.faults.hubrig import LINES, UP, HubRig
from tools.faults.run import PROFILE, environment
from tools.faults.viahub import online, settle
from trmkit import netns
from trmkit.procs import ROOT

ACK_WIRE = 53 + 29          # an acknowledgement's packet and its TLS record
BURST, EVERY = 16, 0.1


def counters(rig):
    with rig.path.server_ns.entered():
        text = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % rig.http, timeout=10).read().decode()
    got = dict(re.findall(r'^trm_hub_acks_total\{direction="(\w+)"\} (\S+)$', text, re.M))
    return {k: float(v) for k, v in got.items()}


def cpu_s(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def bursts(rig, seconds):
    """16 bytes on each line every 100 ms; how many went."""
    n, end, nxt = 0, time.monotonic() + seconds, time.monotonic()
    while time.monotonic() < end:
        if time.monotonic() >= nxt:
            for ln in LINES:
                c = rig.check[UP[ln]]
                c.fed += rig.pty[ln].write_some(streams.data(c.sid, c.fed, c.fed + BURST))
            n, nxt = n + 2, nxt + EVERY
        rig.pump(0.005)
    return n


def stretch(rig, kind, seconds):
    acks0, bytes0, cpu0 = counters(rig), dict(rig.relay.bytes), cpu_s(rig.daemon.pid)
    n = 0
    if kind == "busy":
        rig.feed(True)
        rig.run_for(seconds)
        rig.feed(False)
    elif kind == "bursts":
        n = bursts(rig, seconds)
    else:
        rig.run_for(seconds)
    cpu, acks = cpu_s(rig.daemon.pid) - cpu0, counters(rig)
    settle(rig)
    per_h = 3600.0 / seconds
    got = {k: acks.get(k, 0) - acks0.get(k, 0) for k in ("from_gateway", "to_gateway")}
    carried = sum(rig.relay.bytes.values()) - sum(bytes0.values())
    return {"kind": kind, "seconds": seconds, "acks": got,
            "ack_bytes_per_hour": round(sum(got.values()) * ACK_WIRE * per_h),
            "link_bytes_per_hour": round(carried * per_h),
            "daemon_cpu_s": round(cpu, 3), "bursts": n,
            "cpu_us_per_burst": round(cpu / n * 1e6, 1) if n else None}


def one(path, work, keys, ack, seconds):
    rig = HubRig(path, random.Random(1), work, keys, "" if ack else "ack=0\r\n")
    try:
        rig.start_daemon()
        if not rig.run_for(60, online(rig, None)):
            raise RuntimeError("the gateway never came online")
        rig.connect_clients()
        rig.run_for(2.0)
        rows = [stretch(rig, k, seconds) for k in ("idle", "busy", "bursts")]
        for r in rows:
            r["ack"] = ack
        return rows
    finally:
        rig.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    ap.add_argument("--seconds", type=float, default=120.0, help="length of each stretch")
    ap.add_argument("--profile", default=PROFILE)
    ap.add_argument("--json", help="write the rows here")
    a = ap.parse_args()
    environment(os.path.abspath(a.build))
    why = netns.forbidden(nft=False, cell=True)
    if why:
        print("SKIP: %s" % why)
        return 0
    netns.remove_stale()
    work = tempfile.mkdtemp(prefix="acklink-cost-")
    path = netns.Path("cell", a.profile, "cost")
    try:
        rows = []
        for ack in (True, False):
            rows += one(path, work, os.path.join(os.path.abspath(a.build), "faults-pki"), ack, a.seconds)
    finally:
        path.close()
        shutil.rmtree(work, ignore_errors=True)
    print("%-4s %-7s %8s %10s %14s %14s %12s" % ("ack", "stretch", "acks", "ack B/h", "link B/h",
                                                 "daemon cpu s", "us/burst"))
    for r in rows:
        print("%-4s %-7s %8d %10d %14d %14.3f %12s" % (
            "on" if r["ack"] else "off", r["kind"], sum(r["acks"].values()), r["ack_bytes_per_hour"],
            r["link_bytes_per_hour"], r["daemon_cpu_s"], r["cpu_us_per_burst"]))
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"profile": a.profile, "rows": rows}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
