"""End-to-end: a Modbus/TCP Security exposure (kind "modbus-tls") through
the real daemon's bridge to a pymodbus RTU slave, with keys made by
tools/trm-pki.sh. A read-role client reads and is refused a write
(exception 0x01, counted, audited, the slave never sees it); an
operate-role client writes; a plain client, clients without a
certificate, with another CA's, with a role the hub does not know, a read
role on a raw-tls port and a client that never begins its handshake never
get a frame through;
a session resumes from its ticket; testssl.sh finds nothing below TLS 1.2
and no weak cipher on the port."""

import asyncio
import json
import os
import socket
import ssl
import struct
import unittest

from hubcase import GW_ID, TIMEOUT, Hub, HubCase, Keys, tls_scan
from trmkit.wait import wait_until

READ = struct.pack(">HHHBBHH", 7, 0, 6, 1, 3, 3, 2)  # read holding registers 3 and 4 of unit 1


def config(keys):
    return """
[modbus]
tls_cert = "%s"
tls_key = "%s"
tls_ca = "%s"
roles = { viewer = "read", operator = "operate" }
tls_handshake_s = 3   # a client that never begins is refused soon; a slow machine still shakes hands
[[exposure]]
gateway = "%s"
port = 1
kind = "modbus-tls"
listen = "127.0.0.1:0"
[[exposure]]
gateway = "%s"
port = 2
kind = "raw-tls"
listen = "127.0.0.1:0"
""" % (keys.path("hub/hub.crt"), keys.path("hub/hub.key"), keys.path("ca/ca.crt"), GW_ID, GW_ID)


class ModbusTls(HubCase):
    def setUp(self):
        super().setUp()
        self.need("openssl", "socat")
        try:
            from pymodbus.client import AsyncModbusTlsClient  # noqa: F401
        except ImportError:
            self.skipTest("pymodbus not installed")
        self.loop = asyncio.new_event_loop()
        self.addCleanup(self.loop.close)
        self.keys = Keys(os.path.join(self.sb.dir, "pki"))

    def context(self, pair=None):
        """A client's context: the hub's certificate checked, pair (cert,
        key) shown."""
        ctx = ssl.create_default_context(cafile=self.keys.path("hub/hub.crt"))
        if pair:
            ctx.load_cert_chain(*pair)
        return ctx

    def client(self, pair):
        """pymodbus' asyncio TLS client (its blocking one waits on select(),
        blind to bytes OpenSSL has taken in already), with the MBAP framer
        (its TLS framer sends bare PDUs; Modbus/TCP Security keeps MBAP);
        each call runs to its end."""
        from pymodbus.client import AsyncModbusTlsClient
        from pymodbus.framer.socket_framer import ModbusSocketFramer
        c = AsyncModbusTlsClient("127.0.0.1", port=self.port, framer=ModbusSocketFramer, sslctx=self.context(pair),
                                 server_hostname="127.0.0.1", timeout=TIMEOUT, retries=0)
        self.loop.run_until_complete(c.connect())
        self.assertTrue(c.connected)
        self.addCleanup(lambda: self.loop.run_until_complete(c.close()))
        run = self.loop.run_until_complete
        return type("Client", (), {"read": lambda _, a, n: run(c.read_holding_registers(a, n, slave=1)),
                                   "write": lambda _, a, v: run(c.write_register(a, v, slave=1))})()

    def refused(self, pair, port=None):
        """A client's request never answered: the hub ends the connection."""
        raw = socket.create_connection(("127.0.0.1", port or self.port), timeout=TIMEOUT)
        self.addCleanup(raw.close)
        try:
            s = self.context(pair).wrap_socket(raw, server_hostname="127.0.0.1")
            s.sendall(READ)
            return s.recv(100)
        except (ssl.SSLError, ConnectionError):
            return b""

    def test_roles_refusals_resumption_and_a_scan(self):
        hub = Hub(self, "--no-mqtt", "--admit-all", "--db", os.path.join(self.sb.dir, "registry.db"),
                  config=config(self.keys))
        ports = {e["port"]: int(e["listen"].split(":")[1]) for e in hub.api("GET", "/api/exposures")[1]}
        self.port = ports[1]
        slave = self.rtu_slave()
        self.start_daemon(hub.port, "IsTCP2RTU1=1\r\n")
        hub.wait_state("online")

        reader = self.client(self.keys.modbus("scada-ro", "viewer"))
        self.assertEqual(reader.read(3, 2).registers, [1003, 1004])
        rr = reader.write(5, 4242)
        self.assertEqual((rr.isError(), getattr(rr, "exception_code", None)), (True, 0x01))
        self.assertEqual(reader.read(5, 1).registers, [1005], "the slave saw no write")
        self.assertEqual(hub.metric("trm_hub_modbus_unauthorized_total"), 1)
        audit = lambda: json.dumps(hub.api("GET", "/api/audit?gateway=" + GW_ID)[1])
        wait_until(lambda: "scada-ro (role viewer)" in audit(), TIMEOUT, what="the refused write in the audit log")
        self.assertIn("modbus function 0x06 unit 1 on port 1", audit())

        writer = self.client(self.keys.modbus("scada-rw", "operator"))
        self.assertFalse(writer.write(5, 4242).isError())
        slave.wait_for(rb"write 5 4242\n", TIMEOUT)

        # No certificate, another CA's, a role the hub does not know: not
        # a frame through, each counted by its reason.
        requests = hub.metric("trm_hub_modbus_requests_total")
        plain = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
        self.addCleanup(plain.close)
        plain.sendall(READ)  # a plain Modbus TCP client: closed, its request unread (a reset)
        with self.assertRaises(ConnectionResetError):
            self.assertEqual(plain.recv(100), b"")
        self.assertEqual(self.refused(None), b"")
        self.assertEqual(self.refused(self.keys.modbus("stranger", "operator", ca="otherca")), b"")
        self.assertEqual(self.refused(self.keys.modbus("ghost", "janitor")), b"")
        self.assertEqual(self.refused((self.keys.path("scada-ro/client.crt"), self.keys.path("scada-ro/client.key")), ports[2]), b"")  # raw bytes: no reads only
        silent = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)  # a handshake never begun
        self.addCleanup(silent.close)
        self.assertEqual(silent.recv(10), b"")
        for reason in ("plain", "no_cert", "wrong_ca", "unknown_role", "read_only", "handshake_timeout"):
            wait_until(lambda: hub.metric('trm_hub_exposure_tls_refused_total{reason="%s"}' % reason) == 1,
                       TIMEOUT, what="one refusal %s" % reason)
        self.assertEqual(hub.metric("trm_hub_modbus_requests_total"), requests)
        hub.proc.collect(0.1)
        self.assertIn(b'refused: role "janitor" is not one of [modbus] roles', hub.proc.output)

        # A session resumed from its ticket.
        ctx = self.context(self.keys.modbus("poller", "viewer"))
        first = ctx.wrap_socket(socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT),
                                server_hostname="127.0.0.1")
        first.sendall(READ)
        self.assertEqual(first.recv(100)[7:], b"\x03\x04\x03\xeb\x03\xec")
        session = first.session
        first.close()
        again = ctx.wrap_socket(socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT),
                                server_hostname="127.0.0.1", session=session)
        self.addCleanup(again.close)
        again.sendall(READ)
        self.assertEqual(again.recv(100)[7:], b"\x03\x04\x03\xeb\x03\xec")
        self.assertTrue(again.session_reused)
        self.assertEqual(hub.metric('trm_hub_exposure_tls_handshakes_total{kind="resumed"}'), 1)

        with self.subTest("testssl.sh"):
            tls_scan(self, self.port)


if __name__ == "__main__":
    unittest.main()
