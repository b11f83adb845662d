"""The cluster benchmark's phases. Each takes the run (rig, layout, args)
and returns its figures; a behaviour the hubs do not have yet is reported
as "not yet", never raised. Every wait is bounded."""

import signal
import time
import urllib.error

from cluster_obs import (Window, add_counts, command_counts, holders, ip, online_sum, pg_counters, selection,
                         table_counts, totals)
from procs import wait_until

MOVING_PREFIX = "10.50."


def phase_up(run):
    """(a) Every fleet started at once; all online; each hub's listing."""
    t0 = time.monotonic()
    run.start_fleets()
    wait_until(lambda: online_sum(run.rig.hubs) >= run.total, run.args.up_timeout, 0.5, "every gateway online")
    up_s = time.monotonic() - t0
    listed = totals(run.rig.hubs)
    whole = all(v["total"] >= run.total for v in listed.values())
    return {"gateways": run.total, "all_online_s": round(up_s, 1), "listed_by_hub": listed,
            "every_hub_lists_the_fleet": whole if whole else "not yet: each hub lists the gateways it has held"}


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
            wait_until(lambda: gateway_view(h, gw).get("admission") == "held", run.args.sync_timeout, 0.2)
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
        wait_until(lambda: not status()["active"], timeout, 0.5, "the job to end")
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
    wait_until(lambda: len(holders(run.rig.hubs, MOVING_PREFIX)) >= run.moving, run.args.up_timeout, 0.5,
               "the moving gateways back")
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


def hub_sum(hubs, name):
    return sum(h.metrics().get(name, 0) for h in hubs)


def drain(hubs, timeout=60):
    try:
        wait_until(lambda: hub_sum(hubs, "trm_hub_history_queued") == 0, timeout, 0.5, "the history written")
        return True
    except TimeoutError:
        return False


def churn(run, until):
    """Connections dropped (each gateway reconnects at once) while the
    database is away, --pg-churn per hub at most: history rows to keep."""
    n = 0
    for k in range(run.args.pg_churn):
        for i in range(run.args.hubs):
            if time.monotonic() > until:
                return n
            # the hub's own gateways past both jobs' blocks
            run.rig.fleets["direct-%d" % (i + 1)].command("drop %d" % (run.direct[i] - 3 - k))
            n += 1
    return n


def phase_pg_restart(run):
    """(e) PostgreSQL stopped for a few seconds under load, with known rows
    made meanwhile (an admission change per hub); nothing may be lost."""
    rig, hubs = run.rig, run.rig.hubs
    if not rig.pg:
        return {"skipped": "no PostgreSQL (--registry sqlite)"}
    drain(hubs)
    w0, d0, c0 = hub_sum(hubs, "trm_hub_history_rows_total"), hub_sum(hubs, "trm_hub_history_dropped_total"), table_counts(rig.pg)
    r0 = hub_sum(hubs, "trm_hub_registry_reconnects_total")
    known = [ip(run.direct_first(i) + run.direct[i] - 2) for i in range(len(hubs))]
    rig.pg.stop(signal.SIGINT)
    t_down = time.monotonic()
    for h, gw in zip(hubs, known):
        h.api("POST", "/api/gateways/%s/hold" % gw)
        h.api("POST", "/api/gateways/%s/release" % gw)
    dropped = churn(run, time.monotonic() + run.args.pg_down_s * 0.8)
    time.sleep(max(0.0, run.args.pg_down_s - (time.monotonic() - t_down)))
    rig.pg.start()
    t_up = time.monotonic()
    recovered = {}
    for h in hubs:
        try:
            wait_until(lambda: h.metrics().get("trm_hub_registry_up") == 1, 120, 0.2)
            recovered[h.name] = round(time.monotonic() - t_up, 1)
        except TimeoutError:
            recovered[h.name] = "not within 120 s"
    drained = drain(hubs, 120)
    w1, d1, c1 = hub_sum(hubs, "trm_hub_history_rows_total"), hub_sum(hubs, "trm_hub_history_dropped_total"), table_counts(rig.pg)
    in_tables = sum(c1[t] - c0[t] for t in ("gw_events", "gw_samples", "gw_traffic", "audit"))
    audit = int(rig.pg.sql("SELECT count(*) FROM audit WHERE gateway IN (%s)"
                           % ",".join("'%s'" % g for g in known), db="trm")[0][0])
    return {"down_s": run.args.pg_down_s, "registry_up_after_start_s": recovered, "queues_drained": drained,
            "history_rows_written": int(w1 - w0), "history_rows_dropped": int(d1 - d0),
            "rows_added_to_tables": in_tables, "by_table": {t: c1[t] - c0[t] for t in c1},
            "rows_lost": int(w1 - w0) - in_tables, "audit_rows_made_while_down": 2 * len(hubs),
            "audit_rows_of_them_stored": audit,
            "gateways_dropped_while_down": dropped, "registry_reconnects": int(hub_sum(hubs, "trm_hub_registry_reconnects_total") - r0),
            "online_after": online_sum(hubs), "hubs_alive": all(h.proc.alive() for h in hubs),
            "pg_after": pg_counters(rig.pg)}
