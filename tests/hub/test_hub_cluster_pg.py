"""End-to-end: three hubs sharing one PostgreSQL registry and one broker,
behind a balancer that spreads the gateways' connections over them: a
simulated fleet and the real daemon. Every hub's API lists the whole
fleet; an admission made on one hub holds on the hub that has the gateway;
a job whose gateways move between hubs while it runs reaches each once
(the simulator counts the command sections each answered); and a hub
killed under load: its gateways are back on the others and the job goes
on, what it had sent unanswered failing, never sent twice."""

import os
import time
import unittest

from hubcase import FLEET_FIRST as FIRST, GW_ID, Fleet, Hub, HubCase
from test_hub_mqtt import Balancer
from trmkit.sandbox import tools_bin
from trmkit.wait import wait_until

try:
    from trmkit.pgserver import PgServer, bindir
except ImportError:  # pragma: no cover
    bindir = None

N = 240
HUBS = ("hub-a", "hub-b", "hub-c")


class Spread(Balancer):
    """The balancer, each new connection to the next hub still listed."""

    def __init__(self, ports):
        self.ports, self.turn = list(ports), 0
        super().__init__(self.ports[0])

    @property
    def target(self):
        self.turn += 1
        return self.ports[self.turn % len(self.ports)]

    @target.setter
    def target(self, _):
        pass


def listing(hub):
    """{gateway ID: (state, hub)} as this hub's API lists the fleet."""
    _, r = hub.api("GET", "/api/gateways?limit=1000")
    return {g["id"]: (g["state"], g["hub"]) for g in r["gateways"]}


class ClusterOnPostgres(HubCase):
    def setUp(self):
        super().setUp()
        if bindir is None or bindir() is None:
            self.skipTest("PostgreSQL is not installed (tools/install-deps.sh)")
        if not os.path.exists(tools_bin("trm-fleet")):
            self.skipTest("trm-fleet not built")
        self.broker = self.need_broker()
        self.pg = PgServer()
        self.addCleanup(self.pg.close)
        self.db = self.pg.create_db("trm")

    def hub(self, name):
        config = '[registry]\nurl = "%s"\nflush_s = 1\n' % self.db
        return Hub(self, "--mqtt", "127.0.0.1:%d" % self.broker.port, "--admit-all", "--connect-rate", "0",
                   "--hub-id", name, "--log-level", "info", config=config, name=name)

    def job(self, hub, job_id):
        """The job's summary as the hub knows it ({} before it heard of it)."""
        status, j = hub.api("GET", "/api/jobs/%d?limit=0" % job_id)
        return j if status == 200 else {"counts": {"done": 0}, "active": True}

    def targets(self, hub, job_id, state):
        status, j = hub.api("GET", "/api/jobs/%d?state=%s&limit=1000" % (job_id, state))
        return j["items"] if status == 200 else []

    def test_the_fleet_admission_a_job_and_a_hub_killed_under_load(self):
        hubs = {name: self.hub(name) for name in HUBS}
        spread = Spread([h.port for h in hubs.values()])
        self.addCleanup(spread.close)
        fleet = Fleet(self, spread.port, N, "--heartbeat", "5", "--reconnect-delay", "300")
        self.start_daemon(spread.port, "HeartbeatTime=2\r\n")
        for name, hub in hubs.items():
            wait_until(lambda: sum(s == "online" for s, _ in listing(hub).values()) == N + 1, 60,
                       what="the whole fleet online on %s" % name)
        seen = listing(hubs["hub-a"])
        self.assertEqual({h for _, h in seen.values()}, set(HUBS))  # spread over all three

        # Held through a hub that does not have the daemon: its hub holds it.
        holder = seen[GW_ID][1]
        other = next(n for n in HUBS if n != holder)
        self.assertEqual(hubs[other].api("POST", "/api/gateways/%s/hold" % GW_ID)[0], 200)
        wait_until(lambda: (hubs[holder].gateway() or {}).get("state") == "held", 10, what="held on " + holder)
        self.assertEqual(hubs[other].api("POST", "/api/gateways/%s/release" % GW_ID)[0], 200)
        wait_until(lambda: (hubs[holder].gateway() or {}).get("state") == "online", 10, what="released on " + holder)

        # A job on hub-a while a third of the fleet is down; the rest come
        # back through the balancer, onto any hub, while it runs. A few of
        # hub-c's gateways are slow to read: their commands are out when
        # hub-c is killed.
        down = [k for k in range(N) if k % 3 == 0]
        for k in down:
            fleet.ask("down %d" % k)
        slow = [k for k in range(N) if k % 3 and seen["10.7.0.%d" % (k + 1)][1] == "hub-c"][:5]
        for k in slow:
            fleet.ask("stall %d 8" % k)
        status, j = hubs["hub-a"].api("POST", "/api/jobs", {"channel": "cfg", "commands": "@CSQ",
                                                           "prefixes": ["10.7."], "deadline_s": 300})
        self.assertEqual((status, j["targets"]), (201, N), j)
        slow_ids = {"10.7.0.%d" % (k + 1) for k in slow}
        claimed = "SELECT count(*) FROM job_targets WHERE state = 'sent' AND holder = 'hub-c' AND gateway IN (%s)" % (
            ",".join("'%s'" % i for i in slow_ids))
        wait_until(lambda: int(self.pg.sql(claimed, "trm")[0][0]) == len(slow), 4, what="hub-c's claims on the slow ones")
        for k in down[:len(down) // 2]:
            fleet.ask("up %d" % k)

        # hub-c dies under load: its gateways come back on the others.
        hubs["hub-c"].proc.kill()
        spread.ports.remove(hubs.pop("hub-c").port)
        t0 = time.monotonic()
        for k in down[len(down) // 2:]:
            fleet.ask("up %d" % k)
        for name, hub in hubs.items():
            wait_until(lambda: [s == "online" and h != "hub-c" for s, h in listing(hub).values()].count(True) == N + 1,
                       60, what="every gateway back on hub-a or hub-b, as %s lists them" % name)
        back_s = time.monotonic() - t0

        done = wait_until(lambda: (lambda x: not x["active"] and x)(self.job(hubs["hub-a"], j["id"])), 90,
                          what="the job to finish")
        counts = fleet.counts()
        print("\njob %d: %s; gateways back in %.1f s; sections answered per gateway: %s"
              % (j["id"], done["counts"], back_s, counts))
        self.assertEqual(counts["2"], "0")  # never twice
        self.assertEqual(counts["3+"], "0")
        self.assertEqual(done["counts"]["done"] + done["counts"]["failed"], N)
        self.assertGreaterEqual(int(counts["1"]), done["counts"]["done"])
        wait_until(lambda: self.job(hubs["hub-b"], j["id"])["counts"] == done["counts"], 10, what="hub-b to agree")
        failed = self.targets(hubs["hub-b"], j["id"], "failed")
        self.assertEqual(len(failed), done["counts"]["failed"])
        self.assertLessEqual(slow_ids, {t["gateway"] for t in failed})  # out from hub-c when it died
        for t in failed:  # sent from hub-c, unanswered when it died: failed, not sent again
            self.assertEqual((t["hub"], t["why"]), ("hub-c", "the hub holding it went away before the reply"))
        self.assertEqual(len({t["gateway"] for t in self.targets(hubs["hub-a"], j["id"], "done") + failed}), N)


if __name__ == "__main__":
    unittest.main()
