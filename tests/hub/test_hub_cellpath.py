"""End-to-end over the emulated cellular path: trm-hub in a server
namespace; the real daemon (sandbox copy, a pymodbus RTU slave on its
RS-485 line) and 50 simulated gateways in a device namespace; trm-cellpath
between them with a cellular profile (300 ms round trip, jitter, 1 and 4
Mbit/s, 0.5 % loss). Every gateway comes online, Modbus reads through the
hub's exposure reach the field device in time, and the fleet and the
exposure come through an outage of the path."""

import subprocess
import time
import unittest

from hubcase import GW_ID, Hub, HubCase
from trmkit import cellpath, netns
from trmkit.sandbox import tools_bin
from trmkit.wait import wait_until

PROFILE = "rtt=300ms,jitter=30ms,up=1mbit,down=4mbit,loss=0.5%"
FLEET = 50
ANSWER_S = 3.0  # a read's bound over the path: two round trips, the line, a lost segment
OUTAGE_S = 5.0
CONFIG = """
[modbus]
timeout_ms = 2500
[[exposure]]
gateway = "%s"
port = 1
kind = "modbus"
listen = "%s:0"
""" % (GW_ID, cellpath.SRV_ADDR)


class CellularPath(HubCase):
    def setUp(self):
        # The namespaces and the path come first, so that they go last: the
        # sandbox's cleanup ends the programs inside them before.
        why = netns.forbidden(nft=False, cell=True)
        if why:
            self.skipTest(why)
        netns.remove_stale()
        try:
            self.gw_ns = netns.NetNs("hubgw")
            self.addCleanup(self.gw_ns.close)
            self.srv_ns = netns.NetNs("hubsrv")
            self.addCleanup(self.srv_ns.close)
        except (OSError, subprocess.CalledProcessError) as e:
            self.skipTest("namespaces cannot be made here: %s" % e)
        self.path = cellpath.CellPath(self.gw_ns.name, self.srv_ns.name, PROFILE)
        self.addCleanup(self.path.close)
        super().setUp()
        self.need("socat")
        try:
            from pymodbus.client import ModbusTcpClient
        except ImportError:
            self.skipTest("pymodbus not installed")
        self.client_class = ModbusTcpClient

    def online(self, hub):
        _, r = hub.api("GET", "/api/gateways?state=online&limit=1000")
        return r["gateways"]

    def read(self, client, addr, count=4):
        """One read through the exposure: (registers or the exception code, seconds)."""
        t0 = time.monotonic()
        with self.srv_ns.entered():
            rr = client.read_holding_registers(addr, count, slave=1)
        return (getattr(rr, "exception_code", None) if rr.isError() else rr.registers), time.monotonic() - t0

    def check_reads(self, client, addrs):
        for a in addrs:
            got, took = self.read(client, a)
            self.assertEqual(got, [1000 + a + i for i in range(4)], "read at %d" % a)
            self.assertLess(took, ANSWER_S, "read at %d" % a)

    def test_fleet_and_exposure_over_the_path_and_an_outage(self):
        srv = cellpath.SRV_ADDR
        hub = Hub(self, "--no-mqtt", "--admit-all", "--connect-rate", "0", "--token", "cellpath", config=CONFIG,
                  token="cellpath", addr=srv, ns=self.srv_ns)
        self.rtu_slave()
        t0 = time.monotonic()
        with self.gw_ns.entered():
            self.start_daemon(hub.port, "IsTCP2RTU1=1\r\nHeartbeatTime=2\r\n", host=srv)
            self.sb.start_host([tools_bin("trm-fleet"), "-s", "%s:%d" % (srv, hub.port), "-n", FLEET,
                                "--heartbeat", "2", "--stats", "0"])
        # Connect, a round trip, the simulator's 1 s before its init packet.
        wait_until(lambda: len(self.online(hub)) == FLEET + 1, 15, what="every gateway online")
        print("\nall %d online after %.1f s" % (FLEET + 1, time.monotonic() - t0))
        self.assertEqual({g["peer"].split(":")[0] for g in self.online(hub)}, {cellpath.GW_ADDR})

        _, exps = hub.api("GET", "/api/exposures")
        client = self.client_class(srv, port=int(exps[0]["listen"].split(":")[1]), timeout=10, retries=0)
        with self.srv_ns.entered():
            self.assertTrue(client.connect())
        self.addCleanup(client.close)
        self.check_reads(client, (0, 7, 20, 33, 64))

        # The path goes out: a read in the meantime times out at the hub; the
        # outage's length is what is under test, hence the sleep.
        self.path.outage(True)
        t_out = time.monotonic()
        self.assertEqual(self.read(client, 90)[0], 0x0B)
        time.sleep(max(0.0, OUTAGE_S - (time.monotonic() - t_out)))
        self.path.outage(False)
        back = time.time()
        wait_until(lambda: all(g["last_seen"] >= int(back) for g in self.online(hub))
                   and len(self.online(hub)) == FLEET + 1, 30, what="every gateway online and heard again")
        # The late answer to the timed-out read is not taken for the next one's.
        self.check_reads(client, (3, 41))
        print("path: %s" % self.path.stats())


if __name__ == "__main__":
    unittest.main()
