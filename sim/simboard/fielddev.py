#!/usr/bin/python3
"""Simulated RS-485 field device: a Modbus RTU slave (pymodbus) on a serial
line, for the simulated board and for tests.

Holding registers 0.. hold live values that change every second:
  0  seconds since start (counts up, wraps at 65536)
  1  a temperature in tenths of a degree, 200..260, slowly swinging
  2  a counter of requests served
  3.. plain storage, writable by the master (initially 0)

Usage: fielddev.py --port <serial device> [--unit 1] [--baud 115200]
                   [--registers 32]
Prints "fielddev: ready on <device> unit <n>" once it listens.
"""

import argparse
import asyncio
import logging
import math
import sys
import time

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer

REG_UPTIME = 0
REG_TEMPERATURE = 1
REG_REQUESTS = 2


class LiveBlock(ModbusSequentialDataBlock):
    """Holding registers whose first ones follow the clock."""

    def __init__(self, count):
        super().__init__(0, [0] * count)
        self.start = time.monotonic()
        self.requests = 0

    def refresh(self):
        elapsed = time.monotonic() - self.start
        super().setValues(REG_UPTIME, [int(elapsed) & 0xFFFF])
        super().setValues(REG_TEMPERATURE, [230 + int(30 * math.sin(elapsed / 20.0))])
        super().setValues(REG_REQUESTS, [self.requests & 0xFFFF])

    def getValues(self, address, count=1):
        self.requests += 1
        self.refresh()
        return super().getValues(address, count)

    def setValues(self, address, values):
        self.requests += 1
        super().setValues(address, values)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--port", required=True, help="serial device (a pseudo-terminal in the simulation)")
    ap.add_argument("--unit", type=int, default=1)
    ap.add_argument("--baud", type=int, default=115200)
    ap.add_argument("--registers", type=int, default=32)
    args = ap.parse_args(argv)
    logging.basicConfig(level=logging.CRITICAL)

    block = LiveBlock(args.registers)
    block.refresh()
    slave = ModbusSlaveContext(hr=block, zero_mode=True)
    context = ModbusServerContext(slaves={args.unit: slave}, single=False)

    async def serve():
        server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer,
                                              port=args.port, baudrate=args.baud,
                                              defer_start=True)
        await server.start()
        if server.transport is None:
            print("fielddev: cannot open %s" % args.port, flush=True)
            return 1
        print("fielddev: ready on %s unit %d" % (args.port, args.unit), flush=True)
        await server.serve_forever()
        return 0

    try:
        return asyncio.run(serve())
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
