"""Modbus TCP through the console: standard clients (pymodbus, mbpoll) read
and write the registers of the RTU slave behind a fake gateway's bridge;
time-outs, vanished clients and gateways, a full queue."""

import random
import re
import socket
import struct
import subprocess
import threading
import time
import unittest

from pymodbus.client import ModbusTcpClient

from consolekit import ConsoleCase, TIMEOUT
from trmkit.sandbox import fuzz_seed


def request(tid, unit=1, pdu=b"\x03\x00\x00\x00\x02"):
    return struct.pack(">HHH", tid, 0, len(pdu) + 1) + bytes([unit]) + pdu


_leftover = {}


def recv_adu(sock, timeout=TIMEOUT):
    """One whole Modbus TCP ADU from sock (bytes of the next one are kept)."""
    sock.settimeout(timeout)
    buf = _leftover.pop(sock.fileno(), b"")
    while len(buf) < 6 or len(buf) < 6 + struct.unpack(">H", buf[4:6])[0]:
        chunk = sock.recv(512)
        if not chunk:
            raise AssertionError("connection closed after %r" % buf)
        buf += chunk
    n = 6 + struct.unpack(">H", buf[4:6])[0]
    if len(buf) > n:
        _leftover[sock.fileno()] = buf[n:]
    return buf[:n]


class ModbusCase(ConsoleCase):
    def start(self, *args, gateway=True, **kw):
        self.start_console("-m", "1:1:0", *args)
        m = self.expect(rb"modbus gw1 port1 listening addr=127\.0\.0\.1 port=(\d+)\n")
        self.mb_port = int(m.group(1))
        if gateway:
            self.gw = self.gateway(1, bridge_ports=(1, 2), **kw)

    def client(self, rcvbuf=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:  # before connecting: a window shrunk later stalls the peer
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(TIMEOUT)
        s.connect(("127.0.0.1", self.mb_port))
        self.addCleanup(s.close)
        self.addCleanup(_leftover.pop, s.fileno(), None)
        return s

    def pymodbus(self):
        c = ModbusTcpClient("127.0.0.1", port=self.mb_port, timeout=TIMEOUT, retries=0)
        self.assertTrue(c.connect())
        self.addCleanup(c.close)
        return c


class Clients(ModbusCase):
    def test_pymodbus_reads_and_writes(self):
        self.start()
        c = self.pymodbus()
        rr = c.read_holding_registers(0, 10, slave=1)
        self.assertFalse(rr.isError(), rr)
        self.assertEqual(rr.registers, list(range(100, 110)))
        self.assertFalse(c.write_register(5, 4242, slave=1).isError())
        self.assertFalse(c.write_registers(10, [1, 2, 3], slave=1).isError())
        self.assertEqual(self.gw.registers[5], 4242)
        self.assertEqual(c.read_holding_registers(9, 4, slave=1).registers, [109, 1, 2, 3])
        # The request went to the gateway unchanged, as one port-1 section.
        port, first = self.gw.sections[0]
        self.assertEqual(port, 1)
        self.assertEqual(first[2:], bytes.fromhex("0000 0006 01 03 0000 000A"))

    def test_mbpoll(self):
        self.start()
        out = subprocess.run(["mbpoll", "-m", "tcp", "-a", "1", "-r", "1", "-c", "5", "-t", "4",
                              "-p", str(self.mb_port), "-1", "-o", "10", "127.0.0.1"],
                             capture_output=True, timeout=TIMEOUT)
        values = re.findall(rb"\[(\d+)\]:\s+(\d+)", out.stdout)
        self.assertEqual([(int(a), int(v)) for a, v in values],
                         [(1, 100), (2, 101), (3, 102), (4, 103), (5, 104)], out.stdout + out.stderr)
        out = subprocess.run(["mbpoll", "-m", "tcp", "-a", "1", "-r", "3", "-t", "4",
                              "-p", str(self.mb_port), "-o", "10", "127.0.0.1", "777"],
                             capture_output=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertEqual(self.gw.registers[2], 777)

    def test_two_clients_take_turns(self):
        self.start()
        errors = []

        def worker(base):
            try:
                c = ModbusTcpClient("127.0.0.1", port=self.mb_port, timeout=TIMEOUT, retries=0)
                c.connect()
                for i in range(15):
                    rr = c.read_holding_registers(base + i % 8, 2, slave=1)
                    if rr.isError() or rr.registers != [100 + base + i % 8, 101 + base + i % 8]:
                        errors.append((base, i, rr))
                c.close()
            except Exception as e:  # reported below
                errors.append((base, e))

        threads = [threading.Thread(target=worker, args=(b,)) for b in (0, 30)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(4 * TIMEOUT)
        self.assertEqual(errors, [])

    def test_second_port_by_command(self):
        self.start()
        self.cmd("modbus 1 2 0")
        port2 = int(self.expect(rb"modbus gw1 port2 listening addr=127\.0\.0\.1 port=(\d+)\n").group(1))
        s = socket.create_connection(("127.0.0.1", port2), timeout=TIMEOUT)
        self.addCleanup(s.close)
        s.sendall(request(0x4321, pdu=b"\x03\x00\x01\x00\x01"))
        self.assertEqual(recv_adu(s), bytes.fromhex("4321 0000 0005 01 03 02 0065"))
        self.assertEqual(self.gw.sections[-1][0], 2)


class Failures(ModbusCase):
    def test_no_response_gives_exception_0B(self):
        self.start("-t", "300")
        self.gw.silent_ports = {1}
        s = self.client()
        t0 = time.monotonic()
        s.sendall(request(0x1234))
        self.assertEqual(recv_adu(s), bytes.fromhex("1234 0000 0003 01 83 0B"))
        self.assertGreaterEqual(time.monotonic() - t0, 0.3)
        self.expect(rb"modbus gw1 port1 exception 0x0B tid=4660: no response in time")
        # The port is free again for the next request.
        self.gw.silent_ports = set()
        c = self.pymodbus()
        self.assertEqual(c.read_holding_registers(0, 1, slave=1).registers, [100])

    def test_pymodbus_sees_the_exception(self):
        self.start("-t", "200")
        self.gw.silent_ports = {1}
        rr = self.pymodbus().read_holding_registers(0, 1, slave=1)
        self.assertTrue(rr.isError())
        self.assertEqual(rr.exception_code, 0x0B)

    def test_vanished_client_does_not_block_another(self):
        self.start()
        self.gw.response_delay = 0.3
        gone = self.client()
        gone.sendall(request(1))
        gone.close()
        other = self.client()
        other.sendall(request(2))
        self.assertEqual(recv_adu(other), bytes.fromhex("0002 0000 0007 01 03 04 0064 0065"))
        self.expect(rb"client 127\.0\.0\.1:\d+ closed: disconnected")

    def test_client_that_never_reads_is_dropped_not_waited_for(self):
        self.start()
        hog = self.client(rcvbuf=1024)
        other = self.client()
        hog.setblocking(False)
        # Requests, mostly answered "busy", never read. The console's own
        # output is drained meanwhile, so its log never holds it up.
        dropped = rb"closed: not reading its responses"
        deadline = time.monotonic() + TIMEOUT
        tid, pending = 0, b""
        while dropped not in self.con.output and time.monotonic() < deadline:
            while len(pending) < 768:
                pending += request(tid & 0xFFFF)
                tid += 1
            try:
                pending = pending[hog.send(pending):]  # whole requests only, in order
            except OSError:
                pass  # our side is full, or the console dropped us
            self.con.poll_output(0.005)
        self.expect(dropped)
        other.sendall(request(9999))
        self.assertEqual(recv_adu(other)[:2], b"\x27\x0f")

    def test_gateway_that_vanishes_fails_the_request(self):
        self.start("-t", "20000")
        self.gw.close_on_request = True
        s = self.client()
        t0 = time.monotonic()
        s.sendall(request(7))
        self.assertEqual(recv_adu(s), bytes.fromhex("0007 0000 0003 01 83 0B"))
        self.assertLess(time.monotonic() - t0, 15)
        self.expect(rb"exception 0x0B tid=7: gateway disconnected")
        s.sendall(request(8))
        self.assertEqual(recv_adu(s), bytes.fromhex("0008 0000 0003 01 83 0A"))

    def test_no_gateway_gives_exception_0A(self):
        self.start(gateway=False)
        s = self.client()
        s.sendall(request(5, unit=9))
        self.assertEqual(recv_adu(s), bytes.fromhex("0005 0000 0003 09 83 0A"))

    def test_full_queue_answers_busy(self):
        self.start("-t", "5000")
        self.gw.silent_ports = {1}
        s = self.client()
        s.sendall(b"".join(request(t) for t in range(1, 21)))  # one write, one read
        busy = []
        while len(busy) < 3:
            adu = recv_adu(s)
            self.assertEqual(adu[2:], bytes.fromhex("0000 0003 01 83 06"))
            busy.append(struct.unpack(">H", adu[:2])[0])
        self.assertTrue(set(busy) <= {17, 18, 19, 20}, busy)

    def test_random_bytes_from_clients(self):
        self.start()
        rng = random.Random(fuzz_seed("random client bytes"))
        for _ in range(20):
            s = self.client()
            s.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600))))
            s.close()
        c = self.pymodbus()
        self.assertEqual(c.read_holding_registers(3, 1, slave=1).registers, [103])

    def test_bad_header_drops_the_client(self):
        self.start()
        s = self.client()
        s.sendall(b"\x00\x01\x00\x07\x00\x06\x01\x03\x00\x00\x00\x01")  # protocol 7
        s.settimeout(TIMEOUT)
        self.assertEqual(s.recv(100), b"")
        self.expect(rb"closed: bad MBAP header")


if __name__ == "__main__":
    unittest.main()
