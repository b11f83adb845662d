"""What refused gateways cost the hub: N simulated gateways refused for a
reason that lasts (their new IDs past a full registry: max_known admits
the first few) beside a few admitted ones, dialling again the moment the
hub closes, as the daemon does (trm-fleet --reconnect-delay 0, its init
packet 1 s after the connect). One fresh hub a mode:

  * hold  the hub's default: a refused connection held open and silent,
          15 s, then twice as long each time (refused_hold_s);
  * close refused_hold_s = 0: closed at once, as before the holds.

Per mode, over the window from the fleet's start: the hub's CPU (% of one
core) and RSS, refusals per refused gateway per minute (over the whole
window and over its last minute), connections held at the end, the
simulator's connects. --tls runs the same on the secure link (each
refusal then also costs a handshake; resumed after the first).

A benchmark, not a test: it reports figures against the goals (CPU at
most 5 % of a core, at most 6 refusals per gateway a minute), bounded in
time, and ends what it started by PID.

    python3 -m bench.hub.refused [-n 1000] [--seconds 300] [--tls] [--json FILE]
    python3 -m bench.hub.refused --smoke   # 50 refused, 20 s a mode: the plumbing only
"""

import argparse
import json
import os
import re
import shutil
import sys
import tempfile
import time

from .procs import Fleet
from .procstat import ProcStat
from .run import ROOT
from .tls_fleet import SKIPPED, Rig

GOALS = {"cpu_pct": 5.0, "refusals_per_gateway_min": 6.0}
REFUSED = 'trm_hub_connections_closed_total{reason="registry_full"}'


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    p.add_argument("-n", "--refused", type=int, default=1000, help="gateways refused")
    p.add_argument("--admitted", type=int, default=20, help="gateways admitted beside them (max_known)")
    p.add_argument("--seconds", type=float, default=300, help="the window measured, from the fleet's start")
    p.add_argument("--modes", default="close,hold")
    p.add_argument("--tls", action="store_true", help="on the secure link")
    p.add_argument("--smoke", action="store_true", help="50 refused, 20 s a mode: the plumbing only")
    p.add_argument("--json", help="write the results here too")
    a = p.parse_args()
    if a.smoke:
        a.refused, a.admitted, a.seconds = min(a.refused, 50), 5, 20
    return a


class RefusedRig(Rig):
    def __init__(self, a, workdir, hold):
        a.gateways = a.refused + a.admitted
        super().__init__(a, os.path.join(workdir, "hold" if hold else "close"), a.tls)
        cfg = self.server.profile["config"]
        cfg["hub"]["log_level"] = "warn"  # every refusal is a line, as an operator's hub writes it
        cfg["gateways"]["max_known"] = a.admitted
        cfg["security"].update(connect_rate=0, refused_hold_s=15 if hold else 0)

    def fleet(self):
        extra = ["--heartbeat", 10, "--connect-rate", 1000, "--source-base", "127.1.0.1", "--reconnect-delay", 0]
        if self.tls:
            extra += ["--tls-ca-key", self.pki + "/ca/ca.key", "--tls-ca-cert", self.pki + "/ca/ca.crt",
                      "--tls-pin", self.pin]
        return Fleet(os.path.join(self.a.build, "tools", "trm-fleet"), [self.gw_addr], self.n, self.dir,
                     self.logs, extra)

    def metric(self, name):
        text = self.server.http("GET", "http://127.0.0.1:%d/metrics" % self.server.values["http_port"]).decode()
        m = re.search(r"^%s (\S+)$" % re.escape(name), text, re.M)
        return float(m.group(1)) if m else 0.0


def one_mode(a, workdir, hold):
    rig = RefusedRig(a, workdir, hold)
    rig.server.start()
    try:
        hub = ProcStat(rig.server.pid)
        fleet = rig.fleet()
        t0, last = time.monotonic(), []
        while time.monotonic() - t0 < a.seconds:
            time.sleep(min(5.0, a.seconds - (time.monotonic() - t0)))
            last.append((time.monotonic(), rig.metric(REFUSED)))
        dt, refused = time.monotonic() - t0, rig.metric(REFUSED)
        before = next(((t, r) for t, r in last if t >= last[-1][0] - 60), last[0])
        per_min_last = (refused - before[1]) / a.refused / max(1e-9, (last[-1][0] - before[0]) / 60)
        out = {"cpu_pct": hub.cpu_pct_since_mark(), "rss_mb": hub.rss_mb(), "seconds": round(dt),
               "refusals": int(refused), "refusals_per_gateway_min": round(refused / a.refused / (dt / 60), 2),
               "refusals_per_gateway_min_last_minute": round(per_min_last, 2),
               "held_now": int(rig.metric("trm_hub_refused_held")),
               "not_held": int(rig.metric("trm_hub_refused_not_held_total")),
               "online": int(rig.metric("trm_hub_gateways_online")), "loadavg": round(os.getloadavg()[0], 2)}
        fin = fleet.quit()
        out["fleet_connects"] = fin.get("connects")
        return out
    finally:
        rig.server.stop()


def judged(results):
    for mode in ("close", "hold"):
        r = results.get(mode)
        if r:
            r["meets"] = {k: r.get(k, 1e9) <= v for k, v in GOALS.items()}
    return results


def main():
    a = parse_args()
    if a.tls and not shutil.which("openssl"):
        print("no openssl: skipped")
        sys.exit(SKIPPED)
    results = {"refused": a.refused, "admitted": a.admitted, "tls": a.tls, "goals": GOALS}
    workdir = tempfile.mkdtemp(prefix="trm-hub-refused-bench-")
    try:
        for mode in (m for m in a.modes.split(",") if m):
            results[mode] = one_mode(a, workdir, mode == "hold")
            print("refused: %s %s" % (mode, json.dumps(results[mode])), file=sys.stderr, flush=True)
    except (TimeoutError, RuntimeError, OSError) as e:
        results["error"] = str(e)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    text = json.dumps(judged(results), indent=1)
    print(text)
    if a.json:
        with open(a.json, "w") as f:
            f.write(text + "\n")
    if a.smoke and ("error" in results or any(results.get(m, {}).get("online", 0) < a.admitted
                                              for m in a.modes.split(","))):
        sys.exit(1)  # the smoke fails only when the run breaks, never on a figure


if __name__ == "__main__":
    main()
