"""A fleet job over many simulated gateways, some of them down when it
starts: the hub (its registry in a scratch directory) and trm-fleet on
loopback; a share of the gateways is taken down, a job is made for all of
them by prefix, the ones down come back spread over some seconds, and the
run reports when the job finished after the last came back and whether
every gateway answered the job's commands exactly once (the simulator's
own count of command sections per gateway).

    python3 -m bench.hub.jobs [--build build/host-release] [-n 1000] [--offline 0.3] [--back-over 10]
"""

import argparse
import json
import os
import random
import re
import sys
import tempfile
import time
import urllib.request

from trmkit.ports import free_port
from trmkit.procs import LineProcess
from trmkit.wait import wait_until
from .procs import Fleet

PREFIX = "10.8."
POLL_S = 0.02


def api(http, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (http, path), data=data, method=method)
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.loads(r.read())


def online(http):
    return api(http, "GET", "/api/gateways?limit=0")["online"]


def command_counts(fleet):
    start = len(fleet.lines)
    fleet.send("command-counts")
    line = fleet.wait_line(lambda l: l.startswith("command-counts"), 10, start)[1]
    return {k: int(v) for k, v in re.findall(r"(\S+)=(\d+)", line)}


def run(args, work):
    tools = os.path.join(os.path.abspath(args.build), "tools")
    gw_port, http = free_port(lasting=True), free_port(lasting=True)
    hub = LineProcess("hub", [os.path.join(tools, "trm-hub"), "--listen", "127.0.0.1:%d" % gw_port,
                              "--http", "127.0.0.1:%d" % http, "--no-mqtt", "--admit-all", "--connect-rate", "0",
                              "--gap", "0", "--db", os.path.join(work, "registry.db"), "--log-level", "warn"],
                      work, log_dir=work, stdin=True)
    fleet = None
    try:
        hub.wait_line(lambda l: "listening gateways=" in l, 30)
        fleet = Fleet(os.path.join(tools, "trm-fleet"), ["127.0.0.1:%d" % gw_port], args.n, work, work,
                      extra=["--first-id", "10.8.0.1", "--init-delay", "100", "--stats", "0"])
        wait_until(lambda: online(http) == args.n, 120, step=0.1, what="every gateway online")
        rng = random.Random(1)
        down = sorted(rng.sample(range(args.n), int(args.n * args.offline)))
        for k in down:
            fleet.command("down %d" % k)
        wait_until(lambda: online(http) == args.n - len(down), 60, step=0.1, what="the gateways down gone")

        t0 = time.monotonic()
        job = api(http, "POST", "/api/jobs", {"channel": "cfg", "commands": "@CSQ\n@HEARTBEAT=10",
                                              "prefixes": [PREFIX], "deadline_s": 600})
        status = lambda: api(http, "GET", "/api/jobs/%d?limit=0" % job["id"])
        wait_until(lambda: status()["counts"]["done"] == args.n - len(down), 120, step=POLL_S, what="the online ones done")
        online_done = time.monotonic() - t0

        t_back = time.monotonic()
        for i, k in enumerate(down):
            due = t_back + args.back_over * (i + 1) / len(down)
            time.sleep(max(0.0, due - time.monotonic()))
            fleet.command("up %d" % k)
        last_up = time.monotonic()
        wait_until(lambda: not status()["active"], 120, step=POLL_S, what="the job to finish")
        after_last = time.monotonic() - last_up
        final = status()
        counts = command_counts(fleet)
        return {"gateways": args.n, "offline_at_start": len(down), "back_over_s": args.back_over,
                "online_ones_done_s": round(online_done, 3), "finished_after_last_back_s": round(after_last, 3),
                "job": final["counts"], "command_sections_per_gateway": counts,
                "exactly_once": counts.get("1") == args.n and final["counts"]["done"] == args.n}
    finally:
        if fleet:
            fleet.stop()
        hub.stop()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default="build/host-release")
    p.add_argument("-n", type=int, default=1000)
    p.add_argument("--offline", type=float, default=0.3)
    p.add_argument("--back-over", type=float, default=10.0, help="seconds over which the gateways down come back")
    args = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="hub-jobs-") as work:
        result = run(args, work)
    print(json.dumps(result, indent=1))
    return 0 if result["exactly_once"] else 1


if __name__ == "__main__":
    sys.exit(main())
