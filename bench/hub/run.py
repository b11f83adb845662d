"""Benchmark of the fleet server (trm-hub, or trm-console as a stand-in):

  capacity   N simulated gateways (10 s heartbeat, 1 % sending bursts): time
             until all are connected, the server's CPU and RSS in the steady
             state, and no packet lost or misframed (the simulator's sent
             counts against the server's counters, and every burst checked
             on MQTT when the server publishes them)
  modbus     Modbus TCP at 1000 requests/s over 100 gateways through the
             server to simulated gateways that answer at once: round trips,
             and the added p99 (round trip minus the simulator's answer time)
  isolation  the same load while one gateway floods garbage, one client
             never reads, one gateway floods data: each phase's p99 against
             the undisturbed one
  restart    the server stopped and started under that load: time until
             every gateway is back, registry intact

A benchmark, not a test: it reports figures and judges them against the
targets, bounded in time; nothing here fails because the machine was slow.

    python3 -m bench.hub.run --server console              # try it: 8 gateways, 4 exposures
    python3 -m bench.hub.run --profile bench/hub/hub-profile.json [--scenarios capacity,modbus]
"""

import argparse
import json
import os
import resource
import shutil
import sys
import tempfile

from trmkit.mosquitto import Mosquitto
from . import scenarios
from .bursts import BurstChecker
from .procs import Fleet
from .servers import ConsoleServer, HubServer

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
ALL = ("capacity", "modbus", "isolation", "restart")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--server", choices=("hub", "console"), default="hub")
    p.add_argument("--profile", default=os.path.join(HERE, "hub-profile.json"),
                   help="how to run and read the hub (command, configuration, metrics, API)")
    p.add_argument("--build", default=os.path.join(ROOT, "build", "host-release"))
    p.add_argument("--hub-build", help="build directory of the hub, if another ({hub_build}; default --build)")
    p.add_argument("--scenarios", default=",".join(ALL))
    p.add_argument("-n", "--gateways", type=int, default=10000)
    p.add_argument("--heartbeat", type=int, default=10)
    p.add_argument("--burst-fraction", type=float, default=0.01)
    p.add_argument("--connect-rate", type=float, default=1000, help="the simulator's connects a second")
    p.add_argument("--source-base", default="127.1.0.1",
                   help="gateway k connects from this address + k ('' for one address)")
    p.add_argument("--connect-limit", type=float, default=120, help="give up waiting for all after this")
    p.add_argument("--steady", type=float, default=60, help="seconds of steady state measured")
    p.add_argument("--modbus-gateways", type=int, default=100)
    p.add_argument("--modbus-rate", type=float, default=1000)
    p.add_argument("--modbus-seconds", type=float, default=30)
    p.add_argument("--phase", type=float, default=20, help="seconds of each isolation phase")
    p.add_argument("--restart-signal", choices=("TERM", "KILL"), default="TERM")
    p.add_argument("--restart-connect-rate", type=int, default=100000,
                   help="the simulator's connects a second from the restart on")
    p.add_argument("--keep", action="store_true", help="keep the work directory (logs, database)")
    p.add_argument("--json", help="write the results here too")
    return p.parse_args()


class Run:
    """What every scenario needs: the server, the tools, the plan of gateways."""

    def __init__(self, a):
        self.a = a
        self.workdir = tempfile.mkdtemp(prefix="trm-hub-bench-")
        self.logs = os.path.join(self.workdir, "logs")
        os.makedirs(self.logs)
        tools = os.path.join(a.build, "tools")
        self.fleet_bin = os.path.join(tools, "trm-fleet")
        self.mbload_bin = os.path.join(tools, "trm-mbload")
        if a.server == "console":
            self.server = ConsoleServer(a.build, self.workdir, self.logs)
        else:
            self.server = HubServer(a.profile, a.build, a.hub_build or a.build, self.workdir, self.logs)
        self.n = min(a.gateways, self.server.max_gateways, descriptor_room())
        self.plan()
        self.broker = self.checker = None

    def plan(self):
        """Which gateway does what: exposed (measured, and one for the client
        that never reads), garbage, flood; none of them sends bursts."""
        a = self.a
        quiet = [k for k in range(self.n) if not bursting(k, a.burst_fraction)]
        m = min(a.modbus_gateways, self.server.max_exposures - 1, len(quiet) - 3)
        self.exposed = quiet[:m + 1]
        self.target_ids = [gateway_id(k) for k in self.exposed[:m]]
        self.garbage_gw, self.flood_gw = quiet[m + 1], quiet[m + 2]
        targets = self.server.plan_exposures([gateway_id(k) for k in self.exposed])
        self.targets, self.stuck_target = targets[:m], targets[m]
        self.modbus_rate = a.modbus_rate if a.server == "hub" else min(a.modbus_rate, 100.0 * m)

    def fleet(self, answer_log=None):
        a = self.a
        extra = ["--heartbeat", a.heartbeat, "--burst-fraction", a.burst_fraction,
                 "--connect-rate", a.connect_rate]
        if a.source_base:
            extra += ["--source-base", a.source_base]
        return Fleet(self.fleet_bin, [self.server.gateway_addr()], self.n, self.workdir, self.logs, extra,
                     answer_log)

    def start(self):
        if self.server.needs_broker():
            self.broker = Mosquitto(self.workdir, log=os.path.join(self.logs, "mosquitto.log"))
            port = self.broker.port
            self.server.set_broker(port)
            if self.server.burst_topics():
                self.checker = BurstChecker(port, self.server.burst_topics(), self.workdir, self.logs,
                                            getattr(self.server, "status_topic", lambda: None)())
        self.server.start()

    def online(self, fleet):
        """Gateways the server holds (its own count; else the simulator's)."""
        c = self.server.counters().get("online")
        return c if c is not None else fleet.figures()["up"]

    def close(self):
        self.server.stop()
        for p in (self.checker, self.broker):
            if p:
                p.stop()
        if self.a.keep:
            print("work directory kept: %s" % self.workdir)
        else:
            shutil.rmtree(self.workdir, ignore_errors=True)


def descriptor_room():
    """Gateways one process can hold here: every gateway is a descriptor in
    the server and in the simulator, which both raise their limit to the
    hard one; the server keeps 512 for everything else (and the exposures'
    clients need some)."""
    return resource.getrlimit(resource.RLIMIT_NOFILE)[1] - 600


def bursting(k, fraction):
    whole = lambda n: int(n * fraction + 1e-9)  # noqa: E731 (the simulator's rule)
    return fraction > 0 and whole(k + 1) > whole(k)


def gateway_id(k, first=0x0A000001):
    v = first + k
    return "%d.%d.%d.%d" % (v >> 24, v >> 16 & 255, v >> 8 & 255, v & 255)


def main():
    a = parse_args()
    wanted = [s for s in a.scenarios.split(",") if s]
    bad = [s for s in wanted if s not in ALL]
    if bad:
        sys.exit("unknown scenario: %s" % ", ".join(bad))
    run = Run(a)
    results = {"server": a.server, "gateways": run.n}
    if run.n < min(a.gateways, run.server.max_gateways):
        results["asked"] = a.gateways
        results["capped_by"] = "descriptor hard limit %d (ulimit -Hn)" % resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    try:
        run.start()
        if "capacity" in wanted:
            results["capacity"] = scenarios.capacity(run)
        if any(s in wanted for s in ("modbus", "isolation", "restart")):
            results.update(scenarios.under_load(run, wanted))
    except (TimeoutError, RuntimeError, OSError) as e:
        results["error"] = str(e)
    finally:
        run.close()
    results["verdict"] = scenarios.judge(results)
    text = json.dumps(results, indent=1)
    print(text)
    if a.json:
        with open(a.json, "w") as f:
            f.write(text + "\n")
    scenarios.print_summary(results)


if __name__ == "__main__":
    main()
