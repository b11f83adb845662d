"""The cluster benchmark's phases. Each takes the run (rig, layout, args)
and returns its figures; a behaviour the hubs do not have yet is reported
as "not yet", never raised. Every wait is bounded."""

import time
import urllib.error

from trmkit.wait import wait_until
from .cluster_obs import Window, add_counts, command_counts, holders, ip, online_sum, selection, totals

MOVING_PREFIX = "10.50."


def phase_up(run):
    """(a) Every fleet started at once; all online; each hub's listing."""
    t0, w = time.monotonic(), Window(run.rig)
    run.start_fleets()
    wait_until(lambda: online_sum(run.rig.hubs) >= run.total, run.args.up_timeout, step=0.5, what="every gateway online")
    up_s, connecting = time.monotonic() - t0, w.figures()

    def whole():
        return all(v["total"] >= run.total and v["online_anywhere"] >= run.total
                   for v in totals(run.rig.hubs).values())
    try:
        wait_until(whole, run.args.sync_timeout, step=0.5, what="every hub listing the whole fleet online")
        seen = round(time.monotonic() - t0 - up_s, 1)
    except TimeoutError:
        seen = "not yet: each hub lists the gateways it has held"
    return {"gateways": run.total, "all_online_s": round(up_s, 1), "while_connecting": connecting,
            "listed_by_hub": totals(run.rig.hubs), "every_hub_lists_the_fleet_online_after_s": seen,
            "refused": refusals(run.rig.hubs)}


def refusals(hubs):
    """Per hub: the registry's cap in force, new IDs refused for it, refused connections held now."""
    out = {}
    for h in hubs:
        series = h.metric_series()
        out[h.name] = {"registry_cap": int(series.get("trm_hub_registry_cap", 0)),
                       "registry_full": int(series.get('trm_hub_connections_closed_total{reason="registry_full"}', 0)),
                       "held": int(series.get("trm_hub_refused_held", 0))}
    return out


def phase_steady(run):
    """(f) CPU, RSS and PostgreSQL's write rate with the fleet up."""
    w = Window(run.rig)
    time.sleep(run.args.steady_s)
    return w.figures()


def gateway_view(hub, gw):
    try:
        return hub.api("GET", "/api/gateways/%s" % gw)
    except urllib.error.HTTPError as e:
        return {"error": e.code}


def phase_admission(run):
    """(b) A gateway another hub holds is held through the first hub; the
    others must show it held; then released the same way."""
    hubs = run.rig.hubs
    gw = ip(run.direct_first(1) + run.direct[1] - 1)
    try:
        hubs[0].api("POST", "/api/gateways/%s/hold" % gw)
    except urllib.error.HTTPError as e:
        return {"gateway": gw, "holder": hubs[1].name, "made_on": hubs[0].name,
                "result": "not yet: %s answers %d for a gateway another hub holds" % (hubs[0].name, e.code)}
    t0 = time.monotonic()
    seen = {}
    for h in hubs[1:]:
        try:
            wait_until(lambda: gateway_view(h, gw).get("admission") == "held", run.args.sync_timeout, step=0.2)
            seen[h.name] = round(time.monotonic() - t0, 2)
        except TimeoutError:
            seen[h.name] = "not yet: admission %s" % gateway_view(h, gw).get("admission")
    holder_state = gateway_view(hubs[1], gw).get("state")
    hubs[0].api("POST", "/api/gateways/%s/release" % gw)
    return {"gateway": gw, "holder": hubs[1].name, "made_on": hubs[0].name, "held_seen_after_s": seen,
            "holder_state": holder_state}


def make_job(run, prefixes, ids):
    body = {"channel": "cfg", "commands": "@CSQ", "deadline_s": 3600}
    if prefixes:
        body["prefixes"] = prefixes
    if ids:
        body["ids"] = ids
    return run.rig.hubs[0].api("POST", "/api/jobs", body)["id"]


def wait_job(run, job, timeout):
    hub = run.rig.hubs[0]
    status = lambda: hub.api("GET", "/api/jobs/%d?limit=0" % job)
    t0 = time.monotonic()
    try:
        wait_until(lambda: not status()["active"], timeout, step=0.5, what="the job to end")
        ended = round(time.monotonic() - t0, 1)
    except TimeoutError:
        ended = "not within %ds" % timeout
    s = status()
    return {"targets": s["targets"], "counts": s["counts"], "ended_after_s": ended}


def once(counts, expected):
    return {"command_sections_per_gateway": counts,
            "exactly_once": counts.get("1", 0) == expected and counts.get("2", 0) + counts.get("3+", 0) == 0}


def phase_job(run):
    """(c) A job over the moving gateways and some of every hub's own; the
    moving ones are moved to another hub right after it is made."""
    prefixes, ids = [MOVING_PREFIX], []
    for i in range(run.args.hubs):
        p, q = selection(run.direct_first(i), 0, run.job_direct[i])
        prefixes, ids = prefixes + p, ids + q
    before = holders(run.rig.hubs, MOVING_PREFIX)
    job = make_job(run, prefixes, ids)
    t0 = time.monotonic()
    for h in run.rig.hubs:  # the balancer drains each hub of its moving gateways
        run.rig.haproxy_cmd("set server to-%d/%s state maint" % (h.idx + 1, h.name))
        run.rig.haproxy_cmd("shutdown sessions server to-%d/%s" % (h.idx + 1, h.name))
    time.sleep(1.0)
    wait_until(lambda: len(holders(run.rig.hubs, MOVING_PREFIX)) >= run.moving, run.args.up_timeout, step=0.5,
               what="the moving gateways back")
    back_s = time.monotonic() - t0
    after = holders(run.rig.hubs, MOVING_PREFIX)
    moved = sum(1 for gw, hub in after.items() if hub and before.get(gw) not in (None, hub))
    claimed_twice = sum(1 for hub in after.values() if hub is None)
    for h in run.rig.hubs:  # new connections to their own hub again; the moved ones stay
        run.rig.haproxy_cmd("set server to-%d/%s state ready" % (h.idx + 1, h.name))
    result = wait_job(run, job, run.args.job_timeout)
    counts = command_counts(run.rig.fleets["moving"], 0, run.moving)
    for i in range(run.args.hubs):
        counts = add_counts(counts, command_counts(run.rig.fleets["direct-%d" % (i + 1)], 0, run.job_direct[i]))
    result.update(once(counts, run.job_size))
    result.update({"job": job, "made_on": run.rig.hubs[0].name, "size": run.job_size, "moved": moved,
                   "moved_share": round(moved / run.job_size, 3), "moved_back_online_s": round(back_s, 1),
                   "claimed_by_two_hubs": claimed_twice})
    return result
