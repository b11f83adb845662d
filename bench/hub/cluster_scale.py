"""(g) What grows with the registry, past what one machine can connect:
every hub holds every record and reads back every row any hub writes. A
registry prefilled with --prefill offline gateways (rows written straight
into PostgreSQL before the hubs start) shows it without the connections:

  * per hub: the records it holds, its RSS, the time it took to start
    (loading the registry) and the registry's cap in force;
  * listing the fleet: the API's answer times for the pages the fleet page
    asks for (a page by ID, the attention view, online only, the summary
    alone) and for /metrics (which walks every record), median of 3;
  * the sync's throughput: K rows changed in one transaction (the
    prefilled ones, or the whole fleet), the time until every hub has read
    them, its rows a second, the worst answer of each hub's API meanwhile
    (the loop applying them holds everything else up) and each hub's peak
    RSS (the rows read are held in memory while they are applied)."""

import statistics
import threading
import time
import urllib.request

from trmkit.wait import wait_until
from .cluster_obs import sync_rows

LISTS = {"page_by_id": "/api/gateways?limit=1000", "attention": "/api/gateways?limit=100&sort=attention",
         "online": "/api/gateways?state=online&limit=1000", "summary": "/api/gateways?limit=0", "metrics": "/metrics"}
PREFIX = "11."  # the prefilled gateways' IDs: 11.x.y.z


def prefill(pg, n, batch=100000):
    """n offline gateways, 11.0.0.0 on, in batches (each a transaction)."""
    now = int(time.time())
    for a in range(0, n, batch):
        b = min(n, a + batch) - 1
        pg.sql("INSERT INTO gateways(id, alias, model, version, peer, first_seen, last_seen, online, signal, network,"
               " heartbeat, admission, bytes_in, bytes_out, packets_in, packets_out, reconnects, malformed,"
               " modbus_timeouts, verify_fail, holder, holder_session, updated)"
               " SELECT '11.' || (g >> 16) || '.' || ((g >> 8) & 255) || '.' || (g & 255), 'PRE' || g, 'TRM-310',"
               " 'V1.01', '10.255.0.1:40000', %d, %d, 0, 20, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, '', 0, %d"
               " FROM generate_series(%d, %d) g" % (now, now, now * 1000, a, b), db="trm", timeout=600)


def timed(url, timeout=120):
    t0 = time.monotonic()
    with urllib.request.urlopen(url, timeout=timeout) as r:
        r.read()
    return time.monotonic() - t0


def list_times(hub):
    base = "http://127.0.0.1:%d" % hub.http_port
    return {k: round(1000 * statistics.median(timed(base + path) for _ in range(3))) for k, path in LISTS.items()}


class Pinger(threading.Thread):
    """Each hub's /api/hub every 0.1 s: the worst answer time while it runs."""

    def __init__(self, hubs):
        super().__init__(daemon=True)
        self.hubs, self.worst, self.stop = hubs, {h.name: 0.0 for h in hubs}, threading.Event()

    def run(self):
        while not self.stop.is_set():
            for h in self.hubs:
                try:
                    self.worst[h.name] = max(self.worst[h.name], timed("http://127.0.0.1:%d/api/hub" % h.http_port, 30))
                except OSError:
                    self.worst[h.name] = float("inf")
            self.stop.wait(0.1)


def sync_throughput(run):
    """K rows changed at once; the time until every hub has read them."""
    hubs, pg = run.rig.hubs, run.rig.pg
    where = "id LIKE '%s%%'" % PREFIX if run.args.prefill else "TRUE"
    k = int(pg.sql("SELECT count(*) FROM gateways WHERE %s" % where, db="trm")[0][0])
    before, ping = sync_rows(hubs), Pinger(hubs)
    ping.start()
    t0 = time.monotonic()
    pg.sql("UPDATE gateways SET updated = updated + 1 WHERE %s" % where, db="trm", timeout=600)
    written = time.monotonic() - t0
    try:
        wait_until(lambda: all(v - before[n] >= k for n, v in sync_rows(hubs).items()), run.args.sync_timeout * 10,
                   step=0.2, what="every hub reading the rows back")
        seen = time.monotonic() - t0
    except TimeoutError:
        seen = None
    ping.stop.set()
    ping.join(timeout=30)
    return {"rows": k, "update_s": round(written, 2), "every_hub_read_them_s": round(seen, 2) if seen else "not yet",
            "rows_per_s_per_hub": round(k / seen) if seen else None,
            "worst_api_ms_meanwhile": {n: round(1000 * v) for n, v in ping.worst.items()},
            "peak_rss_mb": {h.name: h.stat.peak_rss_mb() for h in hubs}}


def phase_scale(run):
    hubs = run.rig.hubs
    per_hub = {}
    for h in hubs:
        m = h.metrics()
        per_hub[h.name] = {"records": int(m.get("trm_hub_gateways_known", 0)), "rss_mb": h.stat.rss_mb(),
                           "start_s": h.start_s, "registry_cap": int(m.get("trm_hub_registry_cap", 0))}
    return {"prefilled": run.args.prefill, "per_hub": per_hub, "list_ms_hub_1": list_times(hubs[0]),
            "sync": sync_throughput(run) if run.rig.pg else "no: one registry per hub"}
