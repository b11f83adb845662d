"""End-to-end: a gateway's serial ports exposed by trm-hub. Port 1 as a
Modbus TCP server (from the configuration file) for pymodbus and mbpoll,
through the real daemon's bridge to a pymodbus RTU slave on the line; port
2 raw (made through the API): bytes pass both ways as they are. Both wait
for the gateway and work again after it reconnects. Port 2 as an RFC 2217
serial port for pyserial's client: the bit rates and formats it sets are
what the simulated board's line runs, 0xFF passes both ways, and carrier
follows the gateway. libmodbus's own TCP client through hub, link and
bridge to a libmodbus RTU server: broadcasts and replies from the wrong
address behave as decided."""

import os
import re
import socket
import struct
import subprocess
import termios
import unittest

from hubcase import GW_ID, TIMEOUT, Hub, HubCase
from trmkit.wait import wait_until

CONFIG = """
[modbus]
timeout_ms = 2000
[[exposure]]
gateway = "%s"
port = 1
kind = "modbus"
listen = "127.0.0.1:0"
""" % GW_ID


class Exposures(HubCase):
    def setUp(self):
        super().setUp()
        self.need("socat")
        try:
            import pymodbus.client  # noqa: F401
        except ImportError:
            self.skipTest("pymodbus not installed")

    def client(self, port):
        from pymodbus.client import ModbusTcpClient
        c = ModbusTcpClient("127.0.0.1", port=port, timeout=TIMEOUT, retries=0)
        self.assertTrue(c.connect())
        self.addCleanup(c.close)
        return c

    def test_modbus_and_raw_exposures_across_a_reconnect(self):
        hub = Hub(self, "--no-mqtt", "--admit-all", config=CONFIG)
        _, exps = hub.api("GET", "/api/exposures")
        mb_port = int(exps[0]["listen"].split(":")[1])
        # Before the gateway is there: exception 0x0A (path unavailable).
        c = self.client(mb_port)
        rr = c.read_holding_registers(0, 2, slave=1)
        self.assertEqual((rr.isError(), getattr(rr, "exception_code", None)), (True, 0x0A))

        slave = self.rtu_slave()
        rs232 = self.sb.add_pty("/dev/ttyS2")
        self.start_daemon(hub.port, "IsTCP2RTU1=1\r\n")
        hub.wait_state("online")
        self.assertEqual(c.read_holding_registers(3, 4, slave=1).registers, [1003, 1004, 1005, 1006])
        self.assertFalse(c.write_register(5, 4242, slave=1).isError())
        slave.wait_for(rb"write 5 4242\n", TIMEOUT)
        out = subprocess.run(["mbpoll", "-m", "tcp", "-a", "1", "-t", "4", "-r", "5", "-c", "2", "-1",
                              "-o", "10", "-p", str(mb_port), "127.0.0.1"], capture_output=True, timeout=60)
        values = [(int(a), int(v)) for a, v in re.findall(rb"\[(\d+)\]:\s+(-?\d+)", out.stdout)]
        self.assertEqual(values, [(5, 1004), (6, 4242)], out.stdout)  # mbpoll counts from 1

        status, e = hub.api("POST", "/api/exposures", {"gateway": GW_ID, "port": 2, "kind": "raw"})
        self.assertEqual(status, 201, e)
        self.assertEqual(hub.api("POST", "/api/exposures", {"gateway": GW_ID, "port": 2})[0], 409)
        raw = socket.create_connection(("127.0.0.1", int(e["listen"].split(":")[1])), timeout=TIMEOUT)
        self.addCleanup(raw.close)
        raw.sendall(b"to the line\r\n")
        self.assertEqual(rs232.read(TIMEOUT, want=13), b"to the line\r\n")
        rs232.write(b"from the line")
        got = b""
        while len(got) < 13:
            got += raw.recv(100)
        self.assertEqual(got, b"from the line")

        # The gateway drops and comes back: both exposures carry on.
        self.kill_daemon()
        hub.wait_state("offline")
        rr = c.read_holding_registers(0, 1, slave=1)
        self.assertEqual(getattr(rr, "exception_code", None), 0x0A)
        self.start_daemon(hub.port, "IsTCP2RTU1=1\r\n")
        hub.wait_state("online")
        self.assertEqual(c.read_holding_registers(5, 1, slave=1).registers, [4242])
        raw.sendall(b"again")
        self.assertEqual(rs232.read(TIMEOUT, want=5), b"again")
        self.assertEqual(hub.api("DELETE", "/api/exposures/%s/2" % GW_ID)[0], 200)
        self.assertEqual(raw.recv(10), b"")  # its clients are closed with it
        self.assertGreaterEqual(hub.metric("trm_hub_modbus_responses_total"), 3)

    def test_an_rfc2217_port_sets_the_lines_format_and_carries_bytes_and_carrier(self):
        import serial
        config = '[[exposure]]\ngateway = "%s"\nport = 2\nkind = "rfc2217"\nlisten = "127.0.0.1:0"\n' % GW_ID
        hub = Hub(self, "--no-mqtt", "--admit-all", config=config)
        port = int(hub.api("GET", "/api/exposures")[1][0]["listen"].split(":")[1])
        rs232 = self.sb.add_pty("/dev/ttyS2")
        self.start_daemon(hub.port)
        hub.wait_state("online")

        def line(data_bits_and_parity):
            """(speed, stop bits) the board's line runs, from its terminal
            settings; a pseudo-terminal runs 8 data bits without parity
            whatever is asked (the kernel's), so those two come from the
            daemon's line that it reopened the line with them."""
            a = rs232.attrs()
            d, p = data_bits_and_parity
            self.log(rb"reopen: baseInfo\.comInfo\[2\]=port 2, br=\d+, d=%d, p=%d, s=0\r\n" % (d, p))
            return a[4], a[5], 2 if a[2] & termios.CSTOPB else 1

        ser = serial.serial_for_url("rfc2217://127.0.0.1:%d" % port, baudrate=9600, bytesize=7, parity="E",
                                    stopbits=1, timeout=TIMEOUT)
        self.addCleanup(ser.close)
        self.assertEqual(line((7, 2)), (termios.B9600, termios.B9600, 1))  # it had two stop bits
        ser.apply_settings({"baudrate": 57600, "bytesize": 8, "parity": "N"})
        self.assertEqual(line((8, 0)), (termios.B57600, termios.B57600, 1))
        with self.assertRaises(ValueError):  # a rate the line does not run: answered with the one it runs
            ser.baudrate = 7200
        self.assertEqual(rs232.attrs()[5], termios.B57600)

        everything = bytes(range(256)) + b"\xff\xff"
        ser.write(everything)
        self.assertEqual(rs232.read(TIMEOUT, want=len(everything)), everything)
        rs232.write(everything)
        self.assertEqual(ser.read(len(everything)), everything)

        self.assertTrue(ser.cd)
        self.kill_daemon()
        hub.wait_state("offline")
        wait_until(lambda: not ser.cd, TIMEOUT, what="carrier dropped")
        self.start_daemon(hub.port)
        wait_until(lambda: ser.cd, TIMEOUT, what="carrier back")
        self.assertEqual(rs232.attrs()[5], termios.B115200, "the daemon's restart brings back its own")

    def test_libmodbus_broadcasts_and_replies_from_the_wrong_unit(self):
        peers = os.environ.get("TRM_LIBMODBUS_BIN")
        if not peers:
            self.skipTest("libmodbus-dev not installed (tools/install-deps.sh installs it)")
        hub = Hub(self, "--no-mqtt", "--admit-all", config=CONFIG)
        port = int(hub.api("GET", "/api/exposures")[1][0]["listen"].split(":")[1])
        server = self.line_peer([os.path.join(peers, "libmodbus_rtu_server"), "{line}", 17])
        self.start_daemon(hub.port, "IsTCP2RTU1=1\r\n")
        hub.wait_state("online")
        client = self.sb.start_host([os.path.join(peers, "libmodbus_tcp_client"), "127.0.0.1", port, 17])
        status = client.wait_exit(TIMEOUT)
        self.assertEqual(status, 0, client.output.decode())
        self.assertEqual(client.output.count(b"\nok ") + client.output.startswith(b"ok "), 6, client.output)
        server.collect(0.2)
        self.assertEqual(server.output.count(b"unit 0 function 0x10 address 10\n"), 1, "the broadcast, once")
        self.assertNotIn(b"unit 0 function 0x03", server.output, "the broadcast read never sent")
        self.assertIn(b"answered from unit 18", server.output)
        self.assertEqual(hub.metric("trm_hub_modbus_mismatched_total"), 1)
        self.assertEqual(hub.metric('trm_hub_modbus_broadcasts_total{result="sent"}'), 1)
        self.assertEqual(hub.metric('trm_hub_modbus_broadcasts_total{result="refused"}'), 1)


if __name__ == "__main__":
    unittest.main()
