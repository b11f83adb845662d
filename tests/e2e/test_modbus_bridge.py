"""End-to-end: Modbus TCP clients (pymodbus, mbpoll) reach Modbus RTU slaves
on the gateway's serial lines through the whole chain: the server
console's Modbus TCP exposure, the link, the real daemon's bridge, the
line. The slaves are pymodbus' own RTU serial server on the far end of a
socat pseudo-terminal pair, or a hand-made slave (the test) that answers
with damaged, torn or slow frames."""

import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

from trmkit.gwcase import GatewayCase, TIMEOUT
from trmkit.modbus import rtu

SLAVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtu_slave.py")
DEVICES = {1: "/dev/ttyS1", 2: "/dev/ttyS2"}


def mbap(tid, unit, pdu):
    return struct.pack(">HHH", tid, 0, len(pdu) + 1) + bytes([unit]) + pdu


def recv_adu(sock, timeout=TIMEOUT):
    sock.settimeout(timeout)
    buf = b""
    while len(buf) < 6 or len(buf) < 6 + struct.unpack(">H", buf[4:6])[0]:
        chunk = sock.recv(512)
        if not chunk:
            raise AssertionError("connection closed after %r" % buf)
        buf += chunk
    return buf


class BridgeCase(GatewayCase):
    def setUp(self):
        super().setUp()
        try:
            import pymodbus.client  # noqa: F401  (the peers need it)
        except ImportError:
            self.skipTest("pymodbus not installed")
        self.need("socat")
        if not os.path.exists(os.path.join(os.environ.get("TRM_TOOLS_BIN", ""), "trm-console")):
            self.skipTest("trm-console not built")

    def far_end(self, port):
        """The far end of line `port` as a device path: socat joins the
        daemon's pseudo-terminal to a second one that a slave can open."""
        near, far = self.sb.board(DEVICES[port]), os.path.join(self.sb.dir, "line%d" % port)
        self.sb.start_host(["socat", "pty,raw,echo=0,link=" + near, "pty,raw,echo=0,link=" + far])
        self.wait_file(near)
        self.wait_file(far)
        return far

    def slave(self, far, base):
        """A pymodbus RTU slave on the far end `far`, holding registers from base."""
        proc = self.sb.start_host([sys.executable, SLAVE, far, base])
        proc.wait_for(rb"ready ", TIMEOUT)
        return proc

    def gateway(self, ports, timeout_ms=3000, bridged=True, extra=""):
        """Console exposing the given ports of gateway 1, and the daemon with
        those ports bridged (unless told otherwise); returns
        {port: Modbus TCP port}."""
        args = ["-p", "0", "-t", str(timeout_ms)]
        for p in ports:
            args += ["-m", "1:%d:0" % p]
        self.con = self.sb.start_tool("trm-console", *args, stdin=subprocess.PIPE)
        gw_port = int(self.con.wait_for(rb"listening addr=127\.0\.0\.1 port=(\d+)\n", TIMEOUT).group(1))
        mb = {}
        for p in ports:
            m = self.con.wait_for(rb"modbus gw1 port%d listening addr=127\.0\.0\.1 port=(\d+)\n" % p,
                                  TIMEOUT, after_last=False)
            mb[p] = int(m.group(1))
        switches = "".join("IsTCP2RTU%d=%d\r\n" % (p, bridged) for p in ports)
        self.start_daemon(gw_port, switches + extra)
        for p in ports:
            self.log(rb"baseInfo\.isTCP2RTU%d = %d\r\n" % (p, bridged))
        self.con.wait_for(rb"gw1 init ", TIMEOUT)
        # The daemon empties its serial queues right after the init packet
        # and then opens nothing more: its ports are open once it has logged
        # the init write.
        self.log(rb"--> socket write: init data")
        return mb

    def client(self, tcp_port):
        from pymodbus.client import ModbusTcpClient
        c = ModbusTcpClient("127.0.0.1", port=tcp_port, timeout=TIMEOUT, retries=0)
        self.assertTrue(c.connect())
        self.addCleanup(c.close)
        return c

    def read(self, client, address, count):
        rr = client.read_holding_registers(address, count, slave=1)
        self.assertFalse(rr.isError(), rr)
        return rr.registers

    def mbpoll(self, tcp_port, *args):
        out = subprocess.run(["mbpoll", "-m", "tcp", "-a", "1", "-t", "4", "-p", str(tcp_port),
                              "-o", "10", *args], capture_output=True, timeout=TIMEOUT * 2)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        return out.stdout


class RealSlaves(BridgeCase):
    def test_rs485_slave_read_and_written_by_pymodbus_and_mbpoll(self):
        far = self.far_end(1)
        mb = self.gateway([1])
        slave = self.slave(far, 1000)
        c = self.client(mb[1])
        self.assertEqual(self.read(c, 0, 10), list(range(1000, 1010)))
        self.assertFalse(c.write_register(5, 4242, slave=1).isError())
        slave.wait_for(rb"write 5 4242\n", TIMEOUT)
        self.assertFalse(c.write_registers(10, [1, 2, 65535], slave=1).isError())
        slave.wait_for(rb"write 10 1 2 65535\n", TIMEOUT)
        self.assertEqual(self.read(c, 4, 8), [1004, 4242, 1006, 1007, 1008, 1009, 1, 2])
        # The longest read there is: 125 registers, a 255-byte RTU frame.
        self.assertEqual(self.read(c, 5, 125), [4242] + list(range(1006, 1010)) + [1, 2, 65535]
                         + list(range(1013, 1130)))
        # The slave's own exception comes back as the client's exception.
        rr = c.read_holding_registers(129, 2, slave=1)
        self.assertTrue(rr.isError())
        self.assertEqual(rr.exception_code, 0x02)
        # The longest write: 123 registers in a 259-byte request.
        block = [(7919 * i) & 0xFFFF for i in range(123)]
        self.assertFalse(c.write_registers(7, block, slave=1).isError())
        slave.wait_for(rb"write 7 " + " ".join(map(str, block)).encode() + rb"\n", TIMEOUT)
        self.assertEqual(self.read(c, 7, 123), block)

        # mbpoll counts references from 1.
        self.need("mbpoll")
        out = self.mbpoll(mb[1], "-r", "1", "-c", "6", "-1", "127.0.0.1")
        values = [(int(a), int(v)) for a, v in re.findall(rb"\[(\d+)\]:\s+(-?\d+)", out)]
        self.assertEqual(values, [(1, 1000), (2, 1001), (3, 1002), (4, 1003), (5, 1004), (6, 4242)])
        self.mbpoll(mb[1], "-r", "3", "127.0.0.1", "777")
        slave.wait_for(rb"write 2 777\n", TIMEOUT)
        self.assertEqual(self.read(c, 2, 1), [777])

    def test_rs232_slave_and_both_lines_at_once(self):
        far485, far232 = self.far_end(1), self.far_end(2)
        mb = self.gateway([1, 2])
        s485, s232 = self.slave(far485, 1000), self.slave(far232, 2000)
        c232, c485 = self.client(mb[2]), self.client(mb[1])
        self.assertEqual(self.read(c232, 0, 10), list(range(2000, 2010)))
        self.assertEqual(self.read(c485, 0, 3), [1000, 1001, 1002])
        self.assertFalse(c232.write_registers(1, [31, 32], slave=1).isError())
        s232.wait_for(rb"write 1 31 32\n", TIMEOUT)
        self.assertFalse(c485.write_register(1, 41, slave=1).isError())
        s485.wait_for(rb"write 1 41\n", TIMEOUT)
        self.assertEqual(self.read(c232, 0, 4), [2000, 31, 32, 2003])
        self.assertEqual(self.read(c485, 0, 4), [1000, 41, 1002, 1003])
        self.assertNotIn(b"write", s232.output.replace(b"write 1 31 32\n", b""),
                         "the RS-485 write reached the RS-232 slave")
        self.need("mbpoll")
        out = self.mbpoll(mb[2], "-r", "5", "-c", "2", "-1", "127.0.0.1")
        self.assertEqual(re.findall(rb"\[(\d+)\]:\s+(\d+)", out), [(b"5", b"2004"), (b"6", b"2005")])

    def test_both_lines_busy_at_the_same_time(self):
        far485, far232 = self.far_end(1), self.far_end(2)
        mb = self.gateway([1, 2])
        self.slave(far485, 1000)
        self.slave(far232, 2000)
        errors = []

        def worker(port, base):
            from pymodbus.client import ModbusTcpClient
            c = ModbusTcpClient("127.0.0.1", port=mb[port], timeout=TIMEOUT, retries=0)
            try:
                if not c.connect():
                    errors.append((port, "no connection"))
                    return
                for i in range(20):
                    addr, count = (7 * i) % 100, 1 + (11 * i) % 25
                    if i % 5 == 4:
                        w = c.write_register(120 + i % 10, base + i, slave=1)
                        if w.isError():
                            errors.append((port, i, w))
                        continue
                    rr = c.read_holding_registers(addr, count, slave=1)
                    want = list(range(base + addr, base + addr + count))
                    if rr.isError() or rr.registers != want:
                        errors.append((port, i, rr, getattr(rr, "registers", None)))
                want = {120 + i % 10: base + i for i in range(20) if i % 5 == 4}
                rr = c.read_holding_registers(120, 10, slave=1)
                got = dict(zip(range(120, 130), rr.registers)) if not rr.isError() else {}
                if any(got.get(a) != v for a, v in want.items()):
                    errors.append((port, "writes", got))
            except Exception as e:  # reported below
                errors.append((port, repr(e)))
            finally:
                c.close()

        threads = [threading.Thread(target=worker, args=a) for a in ((1, 1000), (2, 2000))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(6 * TIMEOUT)
        self.assertFalse(any(t.is_alive() for t in threads), "a client hangs")
        self.assertEqual(errors, [])

    def test_bridge_switched_on_by_configuration_command(self):
        far = self.far_end(2)
        mb = self.gateway([2], bridged=False)
        slave = self.slave(far, 3000)
        self.con.proc.stdin.write(b"cfg 1 ISTCP2RTU2=1\ncfg 1 ISTCP2RTU2\n")
        self.con.proc.stdin.flush()
        self.con.wait_for(rb'gw1 port257 len=16 text="!ISTCP2RTU2;OK\\r\\n"\n', TIMEOUT)
        self.con.wait_for(rb'gw1 port257 len=15 text="!ISTCP2RTU2;1\\r\\n"\n', TIMEOUT)
        c = self.client(mb[2])
        self.assertFalse(c.write_register(7, 12345, slave=1).isError())
        slave.wait_for(rb"write 7 12345\n", TIMEOUT)
        self.assertEqual(self.read(c, 6, 3), [3006, 12345, 3008])


READ10 = b"\x03\x00\x00\x00\x0A"
GOOD = b"\x01\x03\x14" + b"".join(struct.pack(">H", 500 + i) for i in range(10))


class HandMadeSlave(BridgeCase):
    """The test is the slave: it holds the far end of the RS-485 line and
    answers each request as the test says, bytes and timing. The frame
    gap is 200 ms, so a busy test machine does not tear the slow device's
    frames."""

    def setUp(self):
        super().setUp()
        self.line = self.sb.add_pty("/dev/ttyS1")
        self.sb.add_pty("/dev/ttyS2")
        mb = self.gateway([1], extra="TimeInterval=200\r\n")
        self.sock = socket.create_connection(("127.0.0.1", mb[1]), timeout=TIMEOUT)
        self.addCleanup(self.sock.close)

    def exchange(self, tid, *pieces, pause=0.0):
        """One read request; the answer goes out in pieces, `pause` seconds
        apart. Returns what the Modbus TCP client gets."""
        self.sock.sendall(mbap(tid, 1, READ10))
        self.assertEqual(self.line.read(TIMEOUT, want=8), bytes.fromhex("01 03 0000 000A C5CD"))
        for n, piece in enumerate(pieces):
            if n:
                time.sleep(pause)  # the line's own pace, not a wait for readiness
            self.line.write(piece)
        return recv_adu(self.sock)

    def time_out(self, tid):
        return struct.pack(">H", tid) + bytes.fromhex("0000 0003 01 83 0B")

    def test_bad_crc_and_cut_responses_become_time_outs(self):
        damaged = bytearray(rtu(GOOD))
        damaged[-1] ^= 0xFF
        self.assertEqual(self.exchange(0x0101, bytes(damaged)), self.time_out(0x0101))
        self.log(rb"  RTU response dropped: CRC [0-9A-F]{4}, expected [0-9A-F]{4}, len=25\r\n")
        self.con.wait_for(rb"modbus gw1 port1 exception 0x0B tid=257: no response in time", TIMEOUT)

        # A sound response after it goes through whole.
        self.assertEqual(self.exchange(0x0102, rtu(GOOD)), bytes.fromhex("0102 0000 0017") + GOOD)

        # A response with a byte flipped inside the data, and one cut to a
        # single byte, are dropped the same way.
        flipped = bytearray(rtu(GOOD))
        flipped[5] ^= 0x01
        self.assertEqual(self.exchange(0x0103, bytes(flipped)), self.time_out(0x0103))
        self.log(rb"  RTU response dropped: CRC [0-9A-F]{4}, expected [0-9A-F]{4}, len=25\r\n")
        self.assertEqual(self.exchange(0x0104, b"\x01"), self.time_out(0x0104))
        self.log(rb"  RTU response dropped: len=1, read 1\r\n")
        self.assertEqual(self.exchange(0x0105, rtu(GOOD)), bytes.fromhex("0105 0000 0017") + GOOD)

    def test_slow_device_and_a_frame_torn_by_a_pause(self):
        frame = rtu(GOOD)
        # A slow device: byte after byte, each well inside the gap.
        bytewise = [frame[i:i + 1] for i in range(len(frame))]
        self.assertEqual(self.exchange(0x0201, *bytewise, pause=0.004),
                         bytes.fromhex("0201 0000 0017") + GOOD)
        # A pause longer than the gap tears the frame in two bursts; neither
        # half is a frame, both are dropped and the client times out.
        self.assertEqual(self.exchange(0x0202, frame[:10], frame[10:], pause=1.0), self.time_out(0x0202))
        self.log(rb"  RTU response dropped: CRC [0-9A-F]{4}, expected [0-9A-F]{4}, len=10\r\n")
        self.log(rb"  RTU response dropped: CRC [0-9A-F]{4}, expected [0-9A-F]{4}, len=15\r\n")
        self.assertEqual(self.exchange(0x0203, frame), bytes.fromhex("0203 0000 0017") + GOOD)


if __name__ == "__main__":
    unittest.main()
