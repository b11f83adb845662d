"""A fake TRM-310 gateway for testing the server console.

It connects to the console like the gateway daemon does and speaks the
packet format with the build's scrambling table. A background thread
reads what the console sends, records every section, answers verify
challenges like the daemon, and in bridge mode plays the daemon's Modbus
bridge together with an RTU slave: a Modbus TCP request in a port section
is answered from the fake's own register table with a port section holding
the Modbus TCP response exactly as the bridge builds it (the request's
first six bytes with the MBAP length replaced, then unit id and PDU).

Fault injection: `silent_ports` (bridged requests get no answer),
`verify_wrong` (answers verify challenges off by one), `response_delay`
(seconds before a bridged response), `close_on_request` (hangs up when a
bridged request arrives).
"""

import socket
import struct
import threading
import time

from .sandbox import load_encode_table

TABLE = load_encode_table()
INVERSE = [0] * 256
for _i, _v in enumerate(TABLE):
    INVERSE[_v] = _i


def scramble(data):
    return bytes(TABLE[b] for b in data)


def unscramble(data):
    return bytes(INVERSE[b] for b in data)


def prefix(ptype, total_len, ip=b"10.20.30.40", signal=23):
    return struct.pack("<BHBB", 2, total_len, ptype, len(ip)) + ip + bytes([signal])


def init_packet(ip=b"10.20.30.40", signal=23, net=0, model=b"TRM-310", alias=b"KX-7700",
                version=b"V1.01", ports=2, heartbeat=60, const=10, delay=50, reserved=bytes(8)):
    body = bytes([net, 0, len(model)]) + model + bytes([len(alias)]) + alias
    body += bytes([len(version)]) + version + bytes([ports]) + struct.pack("<H", heartbeat)
    body += bytes([const]) + struct.pack("<H", delay) + reserved
    n = 6 + len(ip) + len(body)
    return prefix(0, n, ip, signal) + body


def heartbeat_packet(ip=b"10.20.30.40", signal=23):
    return prefix(2, 6 + len(ip), ip, signal)


def burst_copies(length):
    s = length
    while s < 1460 - length:
        s += length
    return s // length - 1


def heartbeat_burst(ip=b"10.20.30.40", signal=23):
    hb = heartbeat_packet(ip, signal)
    return hb * burst_copies(len(hb))


def data_packet(sections, ip=b"10.20.30.40", signal=23, count=None):
    body = bytes([len(sections) if count is None else count])
    for port, data in sections:
        body += struct.pack("<HH", port, len(data)) + data
    n = 6 + len(ip) + len(body)
    return prefix(1, n, ip, signal) + body


def parse_server_packet(pkt):
    """Sections of a packet from the console: a list of (port, data)."""
    ver, length, ptype, iplen = struct.unpack_from("<BHBB", pkt)
    assert ver == 2 and length == len(pkt) and ptype == 1 and iplen <= 15, pkt.hex()
    pos = 5 + iplen + 1
    count = pkt[pos]
    pos += 1
    out = []
    for _ in range(count):
        port, n = struct.unpack_from("<HH", pkt, pos)
        pos += 4
        out.append((port, pkt[pos:pos + n]))
        pos += n
    assert pos == len(pkt), "trailing bytes in %s" % pkt.hex()
    return out


def modbus_answer(regs, unit_pdu):
    """Unit id + response PDU for unit id + request PDU, from regs."""
    unit, fc = unit_pdu[0], unit_pdu[1]
    if fc == 3 and len(unit_pdu) >= 6:
        addr, count = struct.unpack(">HH", unit_pdu[2:6])
        if count < 1 or count > 125 or addr + count > len(regs):
            return bytes([unit, 0x83, 0x02])
        vals = b"".join(struct.pack(">H", regs[a]) for a in range(addr, addr + count))
        return bytes([unit, 3, len(vals)]) + vals
    if fc == 6 and len(unit_pdu) >= 6:
        addr, value = struct.unpack(">HH", unit_pdu[2:6])
        if addr >= len(regs):
            return bytes([unit, 0x86, 0x02])
        regs[addr] = value
        return unit_pdu[:6]
    if fc == 16 and len(unit_pdu) >= 7:
        addr, count = struct.unpack(">HH", unit_pdu[2:6])
        if addr + count > len(regs):
            return bytes([unit, 0x90, 0x02])
        for k in range(count):
            regs[addr + k] = struct.unpack_from(">H", unit_pdu, 7 + 2 * k)[0]
        return unit_pdu[:6]
    return bytes([unit, fc | 0x80, 0x01])


class FakeGateway:
    def __init__(self, port, bridge_ports=(), ip=b"10.20.30.40", send_init=True):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.ip = ip
        self.bridge_ports = set(bridge_ports)
        self.registers = [100 + i for i in range(64)]
        self.sections = []          # (port, data) as received
        self.reads = []             # plain bytes of every read
        self.read_times = []        # and when it came (time.monotonic)
        self.silent_ports = set()
        self.verify_wrong = False
        self.response_delay = 0.0
        self.close_on_request = False
        self.closed = threading.Event()
        self.lock = threading.Lock()
        self._wlock = threading.Lock()
        self._buf = b""
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if send_init:
            self.send(init_packet(ip=ip))

    # --- sending -------------------------------------------------------------
    def send(self, plain):
        with self._wlock:
            self.sock.sendall(scramble(plain))

    def send_raw(self, wire):
        with self._wlock:
            self.sock.sendall(wire)

    def send_section(self, port, data):
        self.send(data_packet([(port, data)], ip=self.ip))

    # --- receiving -----------------------------------------------------------
    def _run(self):
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    break
                plain = unscramble(chunk)
                with self.lock:
                    self.reads.append(plain)
                    self.read_times.append(time.monotonic())
                self._buf += plain
                while len(self._buf) >= 3:
                    length = struct.unpack_from("<H", self._buf, 1)[0]
                    if len(self._buf) < length:
                        break
                    pkt, self._buf = self._buf[:length], self._buf[length:]
                    for port, data in parse_server_packet(pkt):
                        self._handle(port, data)
        except OSError:
            pass
        finally:
            self.closed.set()

    def _handle(self, port, data):
        with self.lock:
            self.sections.append((port, data))
        if port == 258 and len(data) >= 2:
            x, y = data[0], data[1]
            answer = 5 * x * y + 3 * y * y - 11 + (1 if self.verify_wrong else 0)
            self.send_section(258, struct.pack("<i", answer))
        elif port in self.bridge_ports and len(data) >= 8:
            if self.close_on_request:
                self.close()
                return
            if port in self.silent_ports:
                return
            if self.response_delay:
                time.sleep(self.response_delay)  # a slow device behind the bridge, as asked
            unit_pdu = modbus_answer(self.registers, data[6:])
            self.send_section(port, data[:4] + struct.pack(">H", len(unit_pdu)) + unit_pdu)

    def wait_sections(self, count, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                if len(self.sections) >= count:
                    return list(self.sections)
            time.sleep(0.01)
        with self.lock:
            raise AssertionError("got %d sections, want %d: %r" % (len(self.sections), count, self.sections))

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
