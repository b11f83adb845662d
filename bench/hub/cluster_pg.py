"""(e) PostgreSQL stopped for a few seconds and started again under load:
every history and audit row the hubs queued meanwhile must be stored, the
hubs must come back to it by themselves, and what they dropped is counted."""

import signal
import time

from trmkit.wait import wait_until
from .cluster_obs import ip, online_sum, pg_counters, table_counts


def hub_sum(hubs, name):
    return sum(h.metrics().get(name, 0) for h in hubs)


def drain(hubs, timeout=60):
    try:
        wait_until(lambda: hub_sum(hubs, "trm_hub_history_queued") == 0, timeout, step=0.5, what="the history written")
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
            wait_until(lambda: h.metrics().get("trm_hub_registry_up") == 1, 120, step=0.2)
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
