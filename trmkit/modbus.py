"""Modbus RTU framing for the tests and benchmarks that talk to the
daemon's bridge or an RTU slave directly."""

import struct


def crc16(data):
    """Modbus RTU's CRC-16 (polynomial 0xA001, reflected, start 0xFFFF)."""
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rtu(frame):
    """An RTU frame: `frame` (unit, PDU) and its CRC, low byte first."""
    return frame + struct.pack("<H", crc16(frame))
