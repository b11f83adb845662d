"""End-to-end: a hub whose registry is a PostgreSQL server of the test's
own, the real daemon (sandbox copy) and a churning simulated fleet as its
gateways. History and audit come back through the API; PostgreSQL restarts
under load and nothing the hub wrote or queued is lost: every gateway's
online events match its reconnect count, every audited request is there,
and the hub carries on by itself."""

import os
import time
import unittest

from hubcase import GW_ID, Hub, HubCase
from trmkit.sandbox import tools_bin
from trmkit.wait import wait_until

try:
    from trmkit.pgserver import PgServer, bindir
except ImportError:  # pragma: no cover
    bindir = None

FLEET = 20
OUTAGE_S = 3.0


class RegistryOnPostgres(HubCase):
    def setUp(self):
        super().setUp()
        if bindir is None or bindir() is None:
            self.skipTest("PostgreSQL is not installed (tools/install-deps.sh)")
        self.pg = PgServer()
        self.addCleanup(self.pg.close)
        self.db = self.pg.create_db("trm")

    def start_hub(self):
        config = '[registry]\nurl = "%s"\nflush_s = 1\n' % self.db
        return Hub(self, "--no-mqtt", "--admit-all", "--connect-rate", "0", config=config)

    def audited(self, hub, n, tag):
        """n requests that change nothing but are audited (unknown gateways)."""
        for i in range(n):
            self.assertEqual(hub.api("POST", "/api/gateways/10.9.%d.%d/close" % (tag, i))[0], 404)

    def test_history_audit_and_a_restart_of_postgres_under_load(self):
        hub = self.start_hub()
        self.start_daemon(hub.port, "HeartbeatTime=2\r\n")
        fleet = self.sb.start_host([tools_bin("trm-fleet"), "-s", "127.0.0.1:%d" % hub.port, "-n", FLEET,
                                    "--heartbeat", "2", "--stats", "0", "--init-delay", "100",
                                    "--churn", "0.2:1", "--reconnect-delay", "200"])
        hub.wait_state("online")
        self.audited(hub, 3, 1)
        wait_until(lambda: hub.api("GET", "/api/gateways/%s/history?kind=state" % GW_ID)[1]["state"]["rows"],
                   what="the daemon's history")
        status, audit = hub.api("GET", "/api/audit?who=anonymous")
        self.assertEqual((status, len(audit["rows"])), (200, 3))

        # PostgreSQL goes away: the API says so at once, the loop carries on,
        # rows and snapshots wait; it comes back and they are stored.
        self.pg.stop()
        t0, away_ms = time.monotonic(), int(time.time() * 1000)
        self.audited(hub, 5, 2)
        status, r = hub.api("GET", "/api/audit")
        self.assertEqual(status, 503)
        self.assertIn("database", r["error"])
        self.assertLess(time.monotonic() - t0, 2.0)
        time.sleep(max(0.0, OUTAGE_S - (time.monotonic() - t0)))  # churn goes on meanwhile
        back_ms = int(time.time() * 1000)
        self.pg.start()
        wait_until(lambda: hub.metric("trm_hub_registry_reconnects_total") >= 1
                   and hub.metric("trm_hub_registry_up") == 1 and hub.metric("trm_hub_history_queued") == 0,
                   30, what="the hub writing again")
        self.assertGreater(hub.metric("trm_hub_history_errors_total"), 0)
        self.assertEqual(hub.metric("trm_hub_history_dropped_total"), 0)
        self.audited(hub, 2, 3)
        status, audit = wait_until(lambda: (lambda r: r[0] == 200 and len(r[1]["rows"]) == 10 and r)(
            hub.api("GET", "/api/audit?who=anonymous")), 10, what="every audited request")
        self.assertEqual(sorted(a["action"] for a in audit["rows"])[3:8],
                         ["POST /api/gateways/10.9.2.%d/close" % i for i in range(5)])

        # An orderly stop stores the rest; then every gateway's online events
        # are its connections: nothing lost, nothing twice.
        fleet.kill()
        self.assertEqual(hub.terminate(), 0)
        rows = self.pg.sql("SELECT id, reconnects, (SELECT count(*) FROM gw_events e WHERE e.gateway = g.id"
                           " AND e.event = 'online') FROM gateways g", "trm")
        self.assertEqual(len(rows), FLEET + 1)
        for gw, reconnects, online in rows:
            self.assertEqual(int(online), int(reconnects) + 1, gw)
        during = self.pg.sql("SELECT count(*) FROM gw_events WHERE at >= %d AND at < %d" % (away_ms, back_ms), "trm")
        self.assertGreater(int(during[0][0]), 0)  # the churn went on while PostgreSQL was away
        print("\n%d reconnects stored across the outage" % sum(int(r[1]) for r in rows))


if __name__ == "__main__":
    unittest.main()
