"""End-to-end: the real gateway daemon (sandbox copy) dials into trm-hub:
it is listed with its init fields, answers configuration and virtual COM
commands and the verify challenge through the API, and the registry keeps
it and its counters across a restart of the hub."""

import os
import unittest

from hubcase import GW_ID, Hub, HubCase
from trmkit.wait import wait_until


class Gateways(HubCase):
    def test_listed_commanded_verified_and_kept_across_a_restart(self):
        db = os.path.join(self.sb.dir, "registry.db")
        hub = Hub(self, "--db", db, "--no-mqtt", "--admit-all")
        self.start_daemon(hub.port, "HeartbeatTime=2\r\n")
        g = hub.wait_state("online")
        self.assertEqual((g["alias"], g["model"], g["version"], g["signal"], g["network"]),
                         ("KX-7700", "TRM-310", "V1.01", 71, 0))  # csqvalue 23 of 32

        status, r = hub.api("POST", "/api/gateways/%s/cfg" % GW_ID, "@CSQ\nALIAS")
        self.assertEqual((status, r["outcome"], r["replies"]), (200, "done", ["!CSQ;71;0", "!ALIAS;KX-7700"]))
        status, r = hub.api("POST", "/api/gateways/%s/vcom" % GW_ID, {"command": "00\r01"})
        self.assertEqual((status, r["replies"]), (200, ["OK", "V1.2.3"]))
        status, r = hub.api("POST", "/api/gateways/%s/verify" % GW_ID, {"x": 1, "y": 2})
        self.assertEqual((status, r["answer"], r["match"]), (200, 11, True))
        status, _ = hub.api("POST", "/api/gateways/%s/cfg" % GW_ID, "\n\n")
        self.assertEqual(status, 400)
        self.assertEqual(hub.api("GET", "/api/gateways/10.9.9.9")[0], 404)
        wait_until(lambda: hub.gateway()["counters"]["packets_in"] > 20, what="heartbeats counted")

        # An orderly stop stores everything; the next hub starts from the registry
        # and the daemon comes back to it on its own.
        before = hub.gateway()["counters"]
        self.assertEqual(hub.terminate(), 0)
        hub = Hub(self, "--db", db, "--no-mqtt", "--admit-all", "--listen", "127.0.0.1:%d" % hub.port)
        kept = hub.gateway()
        self.assertEqual(kept["alias"], "KX-7700")
        self.assertGreaterEqual(kept["counters"]["packets_in"], before["packets_in"])
        g = hub.wait_state("online")
        self.assertEqual(g["counters"]["reconnects"], 1)
        wait_until(lambda: hub.metric("trm_hub_registry_writes_total") >= 1, what="a registry write")


if __name__ == "__main__":
    unittest.main()
