"""Several hubs on one registry: N trm-hub processes on one PostgreSQL of
the run's own (or a SQLite file each), one mosquitto, HAProxy in front of
the hubs, and trm-fleet processes, all on loopback.

Each hub's own fleet connects to it directly (as DNS round robin or a
balancer per hub would); the moving gateways connect through HAProxy, a
frontend per hub whose backups are the other hubs. Phases, in order:
up (all online, each hub's listing), steady (CPU, RSS, PostgreSQL's write
rate), admission (made on one hub, seen on the others), job (a job while
the moving gateways are moved to other hubs; exactly once each), pg
(PostgreSQL restarted under load: nothing lost), kill (a hub killed during
a job), scale (what grows with the registry: records and RSS per hub, start
time, the API's list times, the sync's throughput; --prefill N puts N
offline gateways in the registry first). Figures as JSON on standard
output (and --json FILE).

    python3 -m bench.hub.cluster [--hubs 3] [--per-hub 19400] [--move 0.3] [--job 10000]
    python3 -m bench.hub.cluster --registry sqlite --phases up,steady
    python3 -m bench.hub.cluster --smoke
    python3 -m bench.hub.cluster --hubs 2 --per-hub 2000 --prefill 1000000 --phases up,steady,scale
"""

import argparse
import json
import resource
import shutil
import signal
import sys
import tempfile

from trmkit import pgserver
from .cluster_kill import phase_kill
from .cluster_obs import ip, ip_int
from .cluster_pg import phase_pg_restart
from .cluster_phases import phase_admission, phase_job, phase_steady, phase_up
from .cluster_rig import Rig
from .cluster_scale import phase_scale

PHASES = {"up": phase_up, "steady": phase_steady, "admission": phase_admission, "job": phase_job,
          "pg": phase_pg_restart, "kill": phase_kill, "scale": phase_scale}
SKIP = 77  # what CTest reads as skipped: a tool of the rig is not installed


class Run:
    """The layout: hub i's own fleet (IDs 10.<10+i>.0.0 on) and the moving
    fleet (10.50.0.0 on, gateway k through HAProxy's frontend k % hubs)."""

    def __init__(self, args, rig):
        self.args, self.rig = args, rig
        h = args.hubs
        self.job_size = args.job
        self.moving = int(round(args.job * args.move))
        self.direct = [args.per_hub - self.moving_on(i) for i in range(h)]
        self.total = sum(self.direct) + self.moving
        rest = args.job - self.moving
        self.job_direct = [rest // h + (1 if i < rest % h else 0) for i in range(h)]
        if any(d < j + args.kill_job + args.pg_churn + 3 for d, j in zip(self.direct, self.job_direct)):
            raise SystemExit("cluster: --per-hub too small for --job, --kill-job and --pg-churn")

    def moving_on(self, i):
        return len(range(i, self.moving, self.args.hubs))

    def direct_first(self, i):
        return ip_int("10.%d.0.0" % (10 + i))

    def start_fleets(self):
        for i, h in enumerate(self.rig.hubs):
            self.rig.start_fleet("direct-%d" % (i + 1), [h.addr()], self.direct[i], ip(self.direct_first(i)),
                                 "127.%d.0.1" % (10 + i))
        if self.moving:
            servers = ["127.0.0.1:%d" % p for p in self.rig.ha_ports]
            self.rig.start_fleet("moving", servers, self.moving, "10.50.0.0", "127.50.0.1")


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default="build/host-release")
    p.add_argument("--registry", choices=["postgresql", "sqlite"], default="postgresql")
    p.add_argument("--hubs", type=int, default=3)
    p.add_argument("--per-hub", type=int, default=19400, help="gateways per hub (own fleet + moving share)")
    p.add_argument("--move", type=float, default=0.3, help="share of the job's gateways moved during it")
    p.add_argument("--job", type=int, default=10000, help="gateways in the job")
    p.add_argument("--kill-job", type=int, default=500, help="gateways per hub in the job the kill interrupts")
    p.add_argument("--hub-cap", type=int, help="gateways a hub can take (default: descriptor hard limit - 600)")
    p.add_argument("--phases", default="up,steady,scale,admission,job,pg,kill")
    p.add_argument("--prefill", type=int, default=0,
                   help="offline gateways written into the registry before the hubs start (the scale phase)")
    p.add_argument("--heartbeat", type=int, default=10)
    p.add_argument("--burst-fraction", type=float, default=0.01)
    p.add_argument("--connect-rate", type=int, default=1000, help="per fleet process")
    p.add_argument("--steady-s", type=float, default=60)
    p.add_argument("--pg-down-s", type=float, default=5)
    p.add_argument("--pg-churn", type=int, default=300, help="gateways per hub dropped while the database is away")
    p.add_argument("--up-timeout", type=int, default=300)
    p.add_argument("--job-timeout", type=int, default=120)
    p.add_argument("--sync-timeout", type=int, default=30, help="wait for another hub to show a change")
    p.add_argument("--json", help="write the figures here too")
    p.add_argument("--keep", action="store_true", help="keep the scratch directory (logs)")
    p.add_argument("--smoke", action="store_true", help="2 hubs x 200 gateways, a few seconds a phase")
    a = p.parse_args(argv)
    if a.smoke:
        a.hubs, a.per_hub, a.job, a.kill_job, a.steady_s, a.pg_down_s, a.pg_churn = 2, 200, 100, 20, 3, 2, 20
        a.up_timeout, a.job_timeout, a.sync_timeout = 60, 5, 5
    if a.hub_cap is None:
        a.hub_cap = resource.getrlimit(resource.RLIMIT_NOFILE)[1] - 600
    if a.registry == "sqlite":
        a.phases = ",".join(x for x in a.phases.split(",") if x in ("up", "steady", "job"))
        a.prefill = 0
    return a


def missing_tools(a):
    gone = [t for t in ("mosquitto", "haproxy") if not shutil.which(t)]
    if a.registry == "postgresql" and pgserver.bindir() is None:
        gone.append("postgresql")
    return gone


def main(argv=None):
    a = parse_args(argv)
    if missing_tools(a):
        print("cluster: skipped, not installed: %s (tools/install-deps.sh)" % " ".join(missing_tools(a)))
        return SKIP
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # both unwind through close(),
    signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started in the background
    work = tempfile.mkdtemp(prefix="hub-cluster-")
    rig = Rig(a, work)
    figures = {"hubs": a.hubs, "per_hub": a.per_hub, "registry": a.registry, "hub_cap": a.hub_cap}
    try:
        rig.start()
        run = Run(a, rig)
        figures.update(gateways=run.total, moving=run.moving)
        for name in a.phases.split(","):
            figures[name] = PHASES[name](run)
            print("cluster: %s %s" % (name, json.dumps(figures[name])), file=sys.stderr, flush=True)
    finally:
        rig.close()
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
    text = json.dumps(figures, indent=1)
    print(text)
    if a.json:
        with open(a.json, "w") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
