"""The hub with a fleet on the secure link beside the same fleet plain: N
simulated gateways (trm-fleet, each with a factory-signed key of its own
over TLS) against trm-hub, one fresh hub a mode:

  * time until all are online from the simulator's start;
  * the hub's CPU and RSS in the steady state (RSS per gateway, TLS less
    plain);
  * a whole-fleet reconnect: the hub stopped (SIGTERM) and started again
    with the same ticket secret, every gateway back, its handshakes counted
    full and resumed (the new hub's metrics, the simulator's own count);
  * packets lost after the reconnect: sent by the simulator from a mark
    against those the new hub counts (the hub read first at the mark, so
    what is in flight then counts as lost: an upper bound).

A benchmark, not a test: it reports and judges figures, bounded in time
(every wait has its limit), and ends what it started by PID.

    python3 -m bench.hub.tls_fleet [-n 19400] [--json FILE]
    python3 -m bench.hub.tls_fleet --smoke   # 200 gateways, short phases: the plumbing only
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from trmkit.ports import free_port
from .procs import Fleet
from .procstat import ProcStat
from .run import ROOT, descriptor_room
from .scenarios import all_online, settle
from .servers import HubServer

PKI = os.path.join(ROOT, "tools", "trm-pki.sh")
TARGETS = {"connect_s": 30, "cpu_ratio": 1.5, "rss_kb_per_gateway": 16}
SKIPPED = 77  # ctest's skip code: no openssl here


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    p.add_argument("-n", "--gateways", type=int, default=19400)
    p.add_argument("--connect-rate", type=float, default=1000, help="the simulator's connects a second")
    p.add_argument("--restart-connect-rate", type=int, default=100000, help="... from the restart on")
    p.add_argument("--connect-limit", type=float, default=120, help="give up waiting for all after this")
    p.add_argument("--steady", type=float, default=60, help="seconds of steady state measured")
    p.add_argument("--modes", default="plain,tls")
    p.add_argument("--smoke", action="store_true", help="200 gateways, 5 s phases: the plumbing only")
    p.add_argument("--keep", action="store_true", help="keep the work directory")
    p.add_argument("--json", help="write the results here too")
    a = p.parse_args()
    if a.smoke:
        a.gateways, a.steady, a.connect_limit = min(a.gateways, 200), 5, 60
    return a


def pki(workdir):
    """A factory CA, the hub's pair for 127.0.0.1 and its pin."""
    d = os.path.join(workdir, "pki")
    run = lambda *args: subprocess.run([PKI, *args], check=True, capture_output=True, text=True,  # noqa: E731
                                       timeout=60).stdout
    run("ca", os.path.join(d, "ca"))
    run("hub", os.path.join(d, "hub"), "--name", "127.0.0.1")
    return d, run("pin", os.path.join(d, "hub", "hub.crt")).strip()


class Rig:
    """One hub of the profile (MQTT off: the link's cost alone), plain or
    with its TLS listener, and what all_online() asks of a run."""

    def __init__(self, a, workdir, tls):
        self.a, self.tls, self.n = a, tls, a.gateways
        self.dir = os.path.join(workdir, "tls" if tls else "plain")
        self.logs = os.path.join(self.dir, "logs")
        os.makedirs(self.logs)
        self.server = HubServer(os.path.join(ROOT, "bench", "hub", "hub-profile.json"), a.build, a.build,
                                self.dir, self.logs)
        cfg = self.server.profile["config"]
        cfg["mqtt"] = {"enabled": False}
        self.gw_addr = self.server.gateway_addr()
        if tls:
            pk, self.pin = pki(workdir)
            port = free_port(lasting=True)
            cfg["gateways"].update(tls_listen="127.0.0.1:%d" % port, tls_cert=pk + "/hub/hub.crt",
                                   tls_key=pk + "/hub/hub.key", tls_ca=pk + "/ca/ca.crt",
                                   tls_ticket_keys=os.path.join(self.dir, "tickets.key"))
            self.gw_addr, self.pki = "127.0.0.1:%d" % port, pk

    def fleet(self):
        extra = ["--heartbeat", 10, "--burst-fraction", 0.01, "--connect-rate", self.a.connect_rate,
                 "--source-base", "127.1.0.1"]
        if self.tls:
            extra += ["--tls-ca-key", self.pki + "/ca/ca.key", "--tls-ca-cert", self.pki + "/ca/ca.crt",
                      "--tls-pin", self.pin]
        return Fleet(os.path.join(self.a.build, "tools", "trm-fleet"), [self.gw_addr], self.n, self.dir,
                     self.logs, extra)

    def online(self, fleet):
        return self.server.counters().get("online")

    def handshakes(self):
        text = self.server.http("GET", "http://127.0.0.1:%d/metrics" % self.server.values["http_port"]).decode()
        out = {}
        for kind in ("full", "resumed"):
            key = 'trm_hub_tls_handshakes_total{kind="%s"} ' % kind
            out[kind] = int(float(next((l[len(key):] for l in text.splitlines() if l.startswith(key)), "0")))
        return out


def steady(rig, fleet, sim):
    hub = ProcStat(rig.server.pid)
    sim.mark()
    time.sleep(rig.a.steady)
    return {"cpu_pct": hub.cpu_pct_since_mark(), "rss_mb": hub.rss_mb(), "fleet_cpu_pct": sim.cpu_pct_since_mark(),
            "fleet_rss_mb": sim.rss_mb(), "loadavg": round(os.getloadavg()[0], 2)}


def reconnect(rig, fleet):
    """The hub restarted: every gateway back, and how they shook hands."""
    before = fleet.figures().get("tls", {})
    fleet.command("connect-rate %d" % rig.a.restart_connect_rate)
    t0 = time.monotonic()
    rig.server.stop(signal.SIGTERM)
    rig.server.start()
    back = all_online(rig, fleet, rig.a.connect_limit)
    out = {"back_s": None if back is None else round(time.monotonic() - t0, 1),
           "loadavg": round(os.getloadavg()[0], 2)}
    if rig.tls:
        after = fleet.figures()["tls"]
        out["hub_handshakes"] = rig.handshakes()
        out["fleet_handshakes"] = {k: after[k] - before.get(k, 0) for k in ("full", "resumed", "failed")}
    return out


def one_mode(a, workdir, tls):
    rig = Rig(a, workdir, tls)
    rig.server.start()
    try:
        fleet = rig.fleet()
        sim = ProcStat(fleet.pid)
        out = {"connect_s": all_online(rig, fleet, a.connect_limit), "connect_loadavg": round(os.getloadavg()[0], 2)}
        out.update(steady(rig, fleet, sim))
        if tls:
            out["first_handshakes"] = rig.handshakes()
        out["reconnect"] = reconnect(rig, fleet)
        rx0 = rig.server.counters().get("rx_packets") or 0
        tx0 = fleet.figures()["tx_packets"]
        time.sleep(min(10, a.steady))
        fin = fleet.quit()
        out["fleet"] = {k: fin[k] for k in ("all_up_ms", "connects", "connect_fail", "connect_timeout",
                                            "closed_by_peer", "tx_packets") if k in fin}
        if tls:
            out["fleet"]["tls"] = fin["tls"]
        got = settle(rig.server)
        sent = fin["tx_packets"] - tx0
        out["after_reconnect"] = {"sent": sent, "lost_at_most": sent - ((got.get("rx_packets") or 0) - rx0)}
        return out
    finally:
        rig.server.stop()


def judge(r):
    p, t = r.get("plain"), r.get("tls")
    if not t:
        return {}
    v = {"connected_within_%ds" % TARGETS["connect_s"]: t["connect_s"] is not None
         and t["connect_s"] <= TARGETS["connect_s"]}
    if p and p.get("cpu_pct"):
        r["cpu_ratio"] = round(t["cpu_pct"] / p["cpu_pct"], 2)
        r["rss_kb_per_gateway_more"] = round((t["rss_mb"] - p["rss_mb"]) * 1024 / r["gateways"], 1)
        v["cpu_le_%.1fx_plain" % TARGETS["cpu_ratio"]] = r["cpu_ratio"] <= TARGETS["cpu_ratio"]
        v["rss_le_%dkb_more" % TARGETS["rss_kb_per_gateway"]] = (r["rss_kb_per_gateway_more"]
                                                                 <= TARGETS["rss_kb_per_gateway"])
    hs = t["reconnect"].get("hub_handshakes", {})
    v["reconnect_resumed"] = hs.get("resumed", 0) >= r["gateways"] and hs.get("full", 1) == 0
    return v


def main():
    a = parse_args()
    if not shutil.which("openssl"):
        print("no openssl: skipped")
        sys.exit(SKIPPED)
    asked = a.gateways
    a.gateways = min(a.gateways, descriptor_room())
    results = {"gateways": a.gateways, "asked": asked, "steady_s": a.steady, "connect_rate": a.connect_rate}
    workdir = tempfile.mkdtemp(prefix="trm-hub-tls-bench-")
    try:
        for mode in (m for m in a.modes.split(",") if m):
            results[mode] = one_mode(a, workdir, mode == "tls")
    except (TimeoutError, RuntimeError, OSError) as e:
        results["error"] = str(e)
    finally:
        if a.keep:
            print("work directory kept: %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    results["verdict"] = judge(results)
    text = json.dumps(results, indent=1)
    print(text)
    if a.json:
        with open(a.json, "w") as f:
            f.write(text + "\n")
    if a.smoke and ("error" in results or any(results.get(m, {}).get("connect_s") is None for m in ("plain", "tls"))):
        sys.exit(1)  # the smoke fails only when the run breaks, never on a figure


if __name__ == "__main__":
    main()
