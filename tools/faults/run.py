"""Fault injection and soak of the gateway daemon (its sandbox copy) in
network namespaces of the run's own. From the repository's root:

  python3 -m tools.faults.run [--episodes N] [--soak SECONDS] [--quick] [--build DIR] [--seed S]
                              [--profile P] [--soak-path veth|cell] [--falsedrop SECONDS]

Phases (--phases, comma separated; all by default): episodes (link faults
of every kind), reassembly (server packets split and joined), modemfile
(the modem information file replaced while the daemon reads it), soak,
deadlink (a silent path at the default settings, idle and busy, on a
cellular-sized veth path, on loopback and on the emulated cellular path of
--profile), save (killed during "@SAVE"), celmon (its modem port vanishing
and returning). Not in the default set: falsedrop (--falsedrop seconds,
half idle, half busy, on a slow lossy cellular path that never goes away:
no link may be given up, no byte lost). --soak-path cell runs the soak on
the emulated cellular path (sim/cellpath; profile keys in docs/cellpath.md).

--quick is the CI run (about a minute): a few of everything, celmon and
the save kills beside the rest. It fails only on a correctness finding
(bytes duplicated, reordered, crossed or corrupt, a packet acted on in
part, descriptor growth, a crash or sanitizer report, a daemon that never
came back, a broken configuration or modem file), never on a timing
figure. A full run also fails when a figure misses what the daemon must
show. Exit status 77: this machine cannot run it (no root or namespaces).
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

from trmkit import netns
from trmkit.procs import ROOT as REPO, module_argv, module_env
from . import phases, verdict

SKIP = 77
ALL = ["episodes", "reassembly", "modemfile", "soak", "deadlink", "save", "celmon", "hub"]
PROFILE = "rtt=300ms,jitter=30ms,up=1mbit,down=4mbit,loss=0.5%"
FALSEDROP_PATH = "rtt=600ms,jitter=60ms,loss=2%"


def arguments():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--episodes", type=int)
    p.add_argument("--soak", type=float, help="soak seconds")
    p.add_argument("--quick", action="store_true")
    p.add_argument("--build", default=os.path.join(REPO, "build", "host-release"))
    p.add_argument("--seed", type=int)
    p.add_argument("--phases", default=",".join(ALL))
    p.add_argument("--out", help="directory for the JSON and the daemon's output")
    p.add_argument("--kinds", help="episode kinds, comma separated (default: all)")
    p.add_argument("--profile", default=PROFILE, help="the emulated cellular path's profile "
                   "(default %(default)s)")
    p.add_argument("--deadlink-paths", default="veth,lo,cell",
                   help="paths of the deadlink phase (default %(default)s)")
    p.add_argument("--soak-path", choices=("veth", "cell"), default="veth")
    p.add_argument("--falsedrop", type=float, default=3600.0, metavar="SECONDS",
                   help="length of the falsedrop phase (default %(default)s)")
    p.add_argument("--falsedrop-mode", choices=("both", "idle", "busy"), default="both")
    p.add_argument("--falsedrop-path", default=FALSEDROP_PATH,
                   help="profile keys that override --profile for falsedrop (default %(default)s)")
    p.add_argument("--hub-episodes", type=int, help="link faults through the hub (quick 5, else 100)")
    p.add_argument("--hub-outages", help="outages of the cellular path through the hub, seconds, "
                   "comma separated (quick 5, else 5,30,60)")
    p.add_argument("--hub-ack", choices=("on", "off"), default="on",
                   help="the acknowledged link (off: what a break costs the plain protocol)")
    p.add_argument("--hub-overflow", type=float, help="outage past a 64 KiB buffer, seconds "
                   "(quick 8, else 20; 0: none)")
    p.add_argument("--hub-screen", help="a PNG of the gateway's page after the overflow")
    p.add_argument("--side", help=argparse.SUPPRESS)   # a child running side phases
    a = p.parse_args()
    q = a.quick
    a.episodes = a.episodes if a.episodes is not None else 10 if q else 1000
    a.soak = a.soak if a.soak is not None else 10.0 if q else 600.0
    a.hub_episodes = a.hub_episodes if a.hub_episodes is not None else 5 if q else 100
    outages = a.hub_outages if a.hub_outages is not None else "5" if q else "5,30,60"
    a.hub_outages = [float(x) for x in outages.split(",") if x]
    a.hub_overflow = a.hub_overflow if a.hub_overflow is not None else 8.0 if q else 20.0
    a.phases = [x for x in a.phases.split(",") if x]
    a.kinds = [x for x in (a.kinds or "").split(",") if x]
    if q and "deadlink" in a.phases and "--phases" not in " ".join(sys.argv):
        a.phases.remove("deadlink")      # the quick run's silent episode stands in
    a.build = os.path.abspath(a.build)
    a.out = os.path.abspath(a.out or os.path.join(a.build, "faults-report"))
    return a


def environment(build):
    table = os.path.join(REPO, "config", "encode_table.dev.txt")
    cache = os.path.join(build, "CMakeCache.txt")
    if os.path.exists(cache):
        for line in open(cache):
            if line.startswith("ENCODE_TABLE:"):
                table = line.split("=", 1)[1].strip()
    os.environ.update(TRM_SANDBOX_BIN=os.path.join(build, "sandbox"), TRM_EMULATOR="",
                      TRM_TOOLS_BIN=os.path.join(build, "tools"), TRM_ENCODE_TABLE=table)
    return os.path.exists(os.path.join(build, "sandbox", "qysc"))


def side_child(a, seed):
    """In a quick run celmon and the save kills run beside the rest."""
    side = [x for x in ("save", "celmon", "hub") if x in a.phases]
    if not a.quick or not side:
        return None, []
    path = os.path.join(a.out, "side.json")
    argv = module_argv("tools.faults.run", "--quick", "--build", a.build, "--seed", seed, "--out", a.out,
                       "--side", path, "--phases", ",".join(side))
    return (subprocess.Popen(argv, stdout=open(os.path.join(a.out, "side.out"), "w"),
                             stderr=subprocess.STDOUT, env=module_env()), path), side


def main():
    a = arguments()
    seed = a.seed if a.seed is not None else int(os.environ.get("TRM_FUZZ_SEED", "0")) or \
        random.SystemRandom().randrange(1, 2 ** 31)
    print("seed %d (repeat with --seed %d or TRM_FUZZ_SEED=%d)" % (seed, seed, seed), flush=True)
    if not environment(a.build):
        print("SKIP: no sandbox build of qysc in %s" % a.build)
        return SKIP
    why = netns.forbidden()
    if why:
        print("SKIP: %s" % why)
        return SKIP
    os.makedirs(a.out, exist_ok=True)
    netns.remove_stale()
    child, side = (None, []) if a.side else side_child(a, seed)
    run = phases.Run(a, seed)
    try:
        run.all([x for x in a.phases if x not in side])
    finally:
        run.close()
    results = run.results
    if child:
        proc, path = child
        proc.wait(timeout=600)
        if os.path.exists(path):
            got = json.load(open(path))
            results["rigs"].update(got.pop("rigs", {}))
            results.update({k: v for k, v in got.items() if k not in ("seed", "quick", "build")})
    if a.side:
        json.dump(results, open(a.side, "w"), indent=1, default=str)
        return 0
    v = verdict.judge(results, a.quick)
    results["verdict"] = v
    path = os.path.join(a.out, "faults.json")
    json.dump(results, open(path, "w"), indent=1, default=str)
    verdict.show(results)
    print("\nJSON: %s; the daemon's output: %s" % (path, a.out))
    return 1 if v["findings"] or (not a.quick and v["missed"]) else 0


if __name__ == "__main__":
    sys.exit(main())
