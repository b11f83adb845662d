"""The acknowledged link's cost: the hub with N simulated gateways on the
secure link, the extension on (the fleet offers it) beside the same fleet
with it off (--no-ack: the plain protocol over TLS), one fresh hub a mode:

  * the hub's CPU and RSS in the steady state, a share of the gateways
    bursting (so acknowledgements flow: at most one a second per link);
  * RSS per gateway, on less off: what the state kept per gateway costs;
  * with --churn, links dropped all the while, as cellular links break
    (none by default; the smoke drops 2 % a second): the bytes sent again,
    lost (0 expected: no outage outlasts a buffer), the acknowledgements.

A benchmark, not a test: it reports figures, bounded in time (every wait
has its limit), and ends what it started by PID.

    python3 -m bench.hub.acklink [-n 10000] [--json FILE]
    python3 -m bench.hub.acklink --smoke   # 200 gateways, short phases: the plumbing only
"""

import argparse
import json
import os
import re
import shutil
import sys
import tempfile
import time
import types

from .procs import Fleet
from .procstat import ProcStat
from .run import ROOT, descriptor_room
from .scenarios import all_online
from .tls_fleet import SKIPPED, Rig

METRICS = ("trm_hub_ack_links_total", "trm_hub_acks_total", "trm_hub_ack_resent_bytes_total",
           "trm_hub_ack_lost_bytes_total", "trm_hub_ack_retained_bytes", "trm_hub_ack_refused_total")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    p.add_argument("-n", "--gateways", type=int, default=10000)
    p.add_argument("--connect-rate", type=float, default=1000)
    p.add_argument("--connect-limit", type=float, default=180)
    p.add_argument("--burst-fraction", type=float, default=0.1, help="share of the gateways bursting, 1/s each")
    p.add_argument("--steady", type=float, default=60, help="seconds of steady state measured")
    p.add_argument("--churn", default="0:1", help="the fleet's --churn F:S: a share F of the links dropped every S s")
    p.add_argument("--modes", default="off,on")
    p.add_argument("--smoke", action="store_true", help="200 gateways, 5 s phases: the plumbing only")
    p.add_argument("--json", help="write the results here too")
    a = p.parse_args()
    if a.smoke:
        a.gateways, a.steady, a.connect_limit, a.churn = min(a.gateways, 200), 5, 60, "0.02:1"
    a.churn_fraction = float(a.churn.split(":")[0])
    return a


class AckRig(Rig):
    def __init__(self, a, workdir, on):
        super().__init__(a, workdir, True)
        self.on = on

    def fleet(self):
        extra = ["--heartbeat", 10, "--connect-rate", self.a.connect_rate, "--source-base", "127.1.0.1",
                 "--burst-fraction", self.a.burst_fraction, "--burst-size", "64-256", "--churn", self.a.churn,
                 "--reconnect-delay", 200, "--tls-ca-key", self.pki + "/ca/ca.key",
                 "--tls-ca-cert", self.pki + "/ca/ca.crt", "--tls-pin", self.pin]
        return Fleet(os.path.join(self.a.build, "tools", "trm-fleet"), [self.gw_addr], self.n, self.dir,
                     self.logs, extra + ([] if self.on else ["--no-ack"]))

    def metrics(self):
        text = self.server.http("GET", "http://127.0.0.1:%d/metrics" % self.server.values["http_port"]).decode()
        return {name: sum(float(v) for v in re.findall(r"^%s(?:\{[^}]*\})? (\S+)$" % name, text, re.M))
                for name in METRICS}


def one_mode(a, workdir, on):
    workdir = os.path.join(workdir, "on" if on else "off")
    os.makedirs(workdir)
    rig = AckRig(a, workdir, on)
    rig.server.start()
    try:
        fleet = rig.fleet()
        # Under churn a few are always reconnecting: 99 % online is the start.
        want = types.SimpleNamespace(n=int(a.gateways * (0.99 if a.churn_fraction else 1)), online=rig.online)
        out = {"connect_s": all_online(want, fleet, a.connect_limit)}
        hub, sim = ProcStat(rig.server.pid), ProcStat(fleet.pid)
        sim.mark()
        time.sleep(a.steady)
        out.update(cpu_pct=hub.cpu_pct_since_mark(), rss_mb=hub.rss_mb(), fleet_cpu_pct=sim.cpu_pct_since_mark(),
                   fleet_rss_mb=sim.rss_mb(), loadavg=round(os.getloadavg()[0], 2))
        time.sleep(min(5, a.steady))  # the last links' acknowledgements
        out["hub"] = rig.metrics()
        fin = fleet.quit()
        out["fleet_ack"] = fin.get("ack", {})
        out["fleet_bursts"] = fin.get("bursts", {})
        return out
    finally:
        rig.server.stop()


def main():
    a = parse_args()
    if not shutil.which("openssl"):
        print("no openssl: skipped")
        sys.exit(SKIPPED)
    a.gateways = min(a.gateways, descriptor_room())
    results = {"gateways": a.gateways, "steady_s": a.steady, "burst_fraction": a.burst_fraction}
    workdir = tempfile.mkdtemp(prefix="trm-hub-ack-bench-")
    try:
        for mode in (m for m in a.modes.split(",") if m):
            results[mode] = one_mode(a, workdir, mode == "on")
    except (TimeoutError, RuntimeError, OSError) as e:
        results["error"] = str(e)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    off, on = results.get("off"), results.get("on")
    if off and on and off.get("cpu_pct"):
        results["cpu_ratio"] = round(on["cpu_pct"] / off["cpu_pct"], 2)
        results["rss_kb_per_gateway_more"] = round((on["rss_mb"] - off["rss_mb"]) * 1024 / a.gateways, 2)
    text = json.dumps(results, indent=1)
    print(text)
    if a.json:
        with open(a.json, "w") as f:
            f.write(text + "\n")
    broke = "error" in results or any((results.get(m) or {}).get("connect_s") is None for m in ("off", "on"))
    if a.smoke and broke:
        sys.exit(1)  # the smoke fails only when the run breaks, never on a figure


if __name__ == "__main__":
    main()
