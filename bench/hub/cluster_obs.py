"""What the cluster benchmark reads: each hub's API and metrics, the
simulators' command counts, PostgreSQL's processes (/proc) and statistics
(SQL through psql), and the gateway IDs a job selects."""

import ipaddress
import os
import re
import time

from .procstat import TICK, ProcStat


def ip(n):
    return str(ipaddress.IPv4Address(n))


def ip_int(text):
    return int(ipaddress.IPv4Address(text))


def selection(first, start, count):
    """Gateways first+start .. first+start+count-1 as a job selects them:
    a prefix per whole third-octet block, the IDs of the rest."""
    prefixes, ids, k, end = [], [], first + start, first + start + count
    while k < end:
        if k % 256 == 0 and k + 256 <= end:
            prefixes.append(ip(k).rsplit(".", 1)[0] + ".")
            k += 256
        else:
            ids.append(ip(k))
            k += 1
    return prefixes, ids


def totals(hubs):
    """{hub: {"total", "online" (held by it), "online_anywhere"}} from each hub's GET /api/gateways."""
    out = {}
    for h in hubs:
        body = h.api("GET", "/api/gateways?limit=0")
        out[h.name] = {"total": body["total"], "online": body["online"],
                       "online_anywhere": body.get("summary", {}).get("online", body["online"])}
    return out


def online_sum(hubs):
    return sum(h.metrics().get("trm_hub_gateways_online", 0) for h in hubs)


def holders(hubs, prefix):
    """{gateway ID: hub} of the online gateways whose ID starts with prefix,
    each from the hub that says it holds it ("holder" where a hub lists
    other hubs' gateways too); a gateway two hubs claim maps to None."""
    out = {}
    for h in hubs:
        offset = 0
        while True:
            body = h.api("GET", "/api/gateways?state=online&q=%s&limit=1000&offset=%d" % (prefix, offset))
            rows = body["gateways"]
            for g in rows:
                if g["id"].startswith(prefix) and g.get("holder", g.get("hub", h.name)) == h.name:
                    out[g["id"]] = h.name if g["id"] not in out else None
            offset += len(rows)
            if not rows or offset >= body["matched"]:
                break
    return out


def command_counts(fleet, first, count):
    """{"0": n, "1": n, "2": n, "3+": n}: command sections each of these gateways answered."""
    start = len(fleet.lines)
    fleet.send("command-counts %d %d" % (first, count))
    line = fleet.wait_line(lambda l: l.startswith("command-counts"), 20, start)[1]
    return {k: int(v) for k, v in re.findall(r"(\S+)=(\d+)", line)}


def add_counts(a, b):
    return {k: a.get(k, 0) + b.get(k, 0) for k in set(a) | set(b)}


def sync_rows(hubs):
    """{hub: gateway and target rows its sync has read back so far}."""
    out = {}
    for h in hubs:
        try:
            out[h.name] = h.metrics().get("trm_hub_cluster_sync_rows_total", 0)
        except OSError:
            pass  # a hub killed or stopped
    return out


def pg_cpu_s(pg):
    """CPU seconds of the PostgreSQL server: the postmaster with its reaped
    children, and its children alive now."""
    pid = pg.proc.pid
    total = 0.0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(entry) == pid:
            total += sum(int(x) for x in fields[11:15]) / TICK  # utime stime cutime cstime
        elif int(fields[1]) == pid:
            total += (int(fields[11]) + int(fields[12])) / TICK
    return total


def pg_counters(pg):
    row = pg.sql("SELECT xact_commit, tup_inserted, tup_updated, tup_deleted,"
                 " pg_wal_lsn_diff(pg_current_wal_lsn(), '0/0')::bigint"
                 " FROM pg_stat_database WHERE datname = 'trm'")[0]
    return dict(zip(["commits", "inserted", "updated", "deleted", "wal_bytes"], (int(float(v)) for v in row)))


def table_counts(pg):
    names = ["gw_events", "gw_samples", "gw_traffic", "audit", "gateways", "job_targets"]
    row = pg.sql("SELECT " + ", ".join("(SELECT count(*) FROM %s)" % n for n in names), db="trm")[0]
    return dict(zip(names, (int(v) for v in row)))


class Window:
    """CPU and RSS of the hubs and PostgreSQL, and PostgreSQL's write
    rate, over a span of the run."""

    def __init__(self, rig):
        self.rig, self.t0 = rig, time.monotonic()
        self.stats = {h.name: ProcStat(h.proc.pid) for h in rig.hubs if h.proc.alive()}
        self.rows0 = sync_rows(rig.hubs) if rig.pg else {}
        self.pg0 = (pg_cpu_s(rig.pg), pg_counters(rig.pg)) if rig.pg else None

    def figures(self):
        dt = time.monotonic() - self.t0
        out = {"seconds": round(dt, 1), "load_average": round(os.getloadavg()[0], 1), "hubs": {}}
        rows = sync_rows(self.rig.hubs) if self.rows0 else {}
        for name, st in self.stats.items():
            out["hubs"][name] = {"cpu_pct": st.cpu_pct_since_start(), "rss_mb": st.rss_mb()}
            if name in rows and name in self.rows0:
                out["hubs"][name]["sync_rows_per_s"] = round((rows[name] - self.rows0[name]) / dt, 1)
        if self.pg0:
            cpu, c1 = pg_cpu_s(self.rig.pg), pg_counters(self.rig.pg)
            out["postgresql"] = {"cpu_pct": round(100 * (cpu - self.pg0[0]) / dt, 1)}
            out["postgresql"].update({k + "_per_s": round((c1[k] - self.pg0[1][k]) / dt, 1) for k in c1})
        return out
