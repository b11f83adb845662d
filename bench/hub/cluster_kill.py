"""(d) One hub killed under load while a job runs: its gateways come back
on the others (the balanced ones through HAProxy's health checks, its own
fleet started again with the surviving hubs as its list of servers), as
many as the survivors' descriptor limits take, and the job goes on."""

import re
import signal
import time

from trmkit.wait import wait_until
from .cluster_obs import command_counts, ip, online_sum, selection
from .cluster_phases import make_job, once, wait_job


def commands_of(fleet, first, count):
    """{k: command sections} of gateways first..first+count-1, by "show"."""
    out = {}
    for k in range(first, first + count):
        start = len(fleet.lines)
        fleet.send("show %d" % k)
        line = fleet.wait_line(lambda l: l.startswith("gw %d " % k), 10, start)[1]
        out[k] = int(re.search(r" commands=(\d+)", line).group(1))
    return out


def distribution(per_gateway):
    out = {"0": 0, "1": 0, "2": 0, "3+": 0}
    for n in per_gateway.values():
        out[str(n) if n < 3 else "3+"] += 1
    return out


def phase_kill(run):
    rig, a = run.rig, run.args
    victim, survivors = rig.hubs[-1], rig.hubs[:-1]
    v = victim.idx
    prefixes, ids = [], []
    for i in range(a.hubs):
        p, q = selection(run.direct_first(i), run.job_direct[i], a.kill_job)
        prefixes, ids = prefixes + p, ids + q
    job = make_job(run, prefixes, ids)
    time.sleep(0.5)  # under way
    victim.proc.stop(signal.SIGKILL)
    t0 = time.monotonic()
    old = rig.fleets["direct-%d" % (v + 1)]
    before = commands_of(old, run.job_direct[v], a.kill_job)
    rig.stop_fleet("direct-%d" % (v + 1))
    room = sum(max(0, a.hub_cap - h.metrics().get("trm_hub_gateways_connected", 0)) for h in survivors)
    # the balanced gateways it held come back through HAProxy first; the rest of the room is its own fleet's
    room = max(0, room - run.moving_on(v))
    n_back = min(run.direct[v], room)
    if n_back:
        rig.start_fleet("direct-%db" % (v + 1), [h.addr() for h in survivors], n_back, ip(run.direct_first(v)),
                        "127.%d.128.1" % (10 + v))
    expected = run.total - run.direct[v] + n_back
    try:
        wait_until(lambda: online_sum(survivors) >= expected, a.up_timeout, step=0.5, what="the killed hub's gateways back")
        back = round(time.monotonic() - t0, 1)
    except TimeoutError:
        back = "not within %ds: %d of %d online" % (a.up_timeout, online_sum(survivors), expected)
    result = wait_job(run, job, a.job_timeout)
    counts = {"0": 0, "1": 0, "2": 0, "3+": 0}
    for i in range(a.hubs - 1):
        c = command_counts(rig.fleets["direct-%d" % (i + 1)], run.job_direct[i], a.kill_job)
        counts = {k: counts[k] + c.get(k, 0) for k in counts}
    carried = n_back >= run.job_direct[v] + a.kill_job
    if carried:
        after = commands_of(rig.fleets["direct-%db" % (v + 1)], run.job_direct[v], a.kill_job)
        c = distribution({k: before[k] + after[k] for k in before})
        counts = {k: counts[k] + c[k] for k in counts}
    result.update(once(counts, a.kill_job * (a.hubs if carried else a.hubs - 1)))
    result.update({"job": job, "killed": victim.name, "its_gateways": run.direct[v] + run.moving_on(v),
                   "brought_back_directly": n_back, "not_brought_back": run.direct[v] - n_back,
                   "all_back_s": back, "online_after": online_sum(survivors),
                   "killed_hubs_job_targets_carried": carried})
    return result

