"""A Modbus RTU slave on a serial device path, made with pymodbus' own
serial server: the field device at the far end of a gateway's line.

    rtu_slave.py DEVICE BASE [--count N]

Holding register i (0 <= i < N, N default 130) starts as BASE + i; any unit
id is answered. Prints "ready <device>" once the device is open and one line
"write <address> <v1> <v2> ..." for every register write it carries out,
so a test can see the slave's own copy change. Runs until it is killed.
"""

import argparse
import asyncio
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


class LoggedBlock(ModbusSequentialDataBlock):
    def setValues(self, address, values):
        super().setValues(address, values)
        vals = values if isinstance(values, list) else [values]
        print("write %d %s" % (address, " ".join(str(v) for v in vals)), flush=True)


async def serve(device, base, count):
    block = LoggedBlock(0, [(base + i) & 0xFFFF for i in range(count)])
    context = ModbusServerContext(slaves=ModbusSlaveContext(hr=block, zero_mode=True), single=True)
    server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer, port=device,
                                          baudrate=115200, bytesize=8, parity="N", stopbits=1,
                                          timeout=0.05, defer_start=True)
    await server.start()
    if server.transport is None:
        print("error: cannot open %s" % device, flush=True)
        sys.exit(1)
    print("ready %s" % device, flush=True)
    await server.serve_forever()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("device")
    ap.add_argument("base", type=int)
    ap.add_argument("--count", type=int, default=130)
    args = ap.parse_args()
    asyncio.run(serve(args.device, args.base, args.count))


if __name__ == "__main__":
    main()
