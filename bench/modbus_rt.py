"""Modbus round trip to a pymodbus RTU slave on the far end of line 1:
through the daemon's bridge (Modbus TCP in a port-1 section, the answer in
a port-1 section), and through ser2net and socat as RTU over raw TCP."""

import struct
import time

from trmkit.modbus import rtu
from .measure import drain, percentiles

UNIT, COUNT, BASE = 1, 10, 1000


def _pdu(addr):
    return struct.pack(">BHH", 3, addr, COUNT)


def _expected(addr):
    return bytes([UNIT, 3, 2 * COUNT]) + b"".join(struct.pack(">H", BASE + addr + i)
                                                   for i in range(COUNT))


def request(rig, tid, addr):
    """(bytes to send, answer length, check(answer) -> bool)."""
    body = bytes([UNIT]) + _pdu(addr)
    want = _expected(addr)
    if rig.name == "qysc":
        req = struct.pack(">HHH", tid, 0, len(body)) + body
        # bridged answer: the request's MBAP head with the RTU frame, CRC dropped
        answer = struct.pack(">HHH", tid, 0, len(want)) + want
        return req, len(answer), lambda got: got == answer
    frame = rtu(body)
    return frame, len(want) + 2, lambda got: got == rtu(want)


def round_trips(rigs, samples, rng, timeout=2.0):
    """Interleaved: each sample asks every rig (shuffled order) for 10
    holding registers at a varying address; ms from the request's write to
    the answer's last byte."""
    times = {r.label: [] for r in rigs}
    bad = {r.label: 0 for r in rigs}
    for i in range(samples):
        order = list(rigs)
        rng.shuffle(order)
        for rig in order:
            req, n, ok = request(rig, (i + 1) & 0xFFFF, i % 100)
            t0 = time.monotonic_ns()
            rig.send(1, req)
            got, t1, end = b"", None, time.monotonic() + timeout
            while len(got) < n and time.monotonic() < end:
                for ln, data, t in rig.recv(0.2):
                    if ln == 1:
                        got, t1 = got + data, t
            if ok(got):
                times[rig.label].append(t1 - t0)
            else:
                bad[rig.label] += 1
                drain(rig, 0.3)  # a late answer must not pass for the next one
            time.sleep(rng.uniform(0.002, 0.005))
    return {r.label: dict(percentiles(times[r.label]) or {}, bad_samples=bad[r.label],
                          gap_ms=r.gap_ms) for r in rigs}
