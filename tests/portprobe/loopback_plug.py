"""Simulated loopback plug: a pseudo-terminal linked in as a board serial
device whose far end sends back every byte it receives, as TX wired to RX.

    loopback_plug.py LINK [--drop N] [--record FILE]

--drop N      loses byte N (counted from 0 over the whole stream) instead of
              sending it back: a plug with a bad contact.
--record FILE appends every received byte to FILE.

Prints "plug ready" once the device exists and "rx <total>" after every
read; runs until it is killed.
"""

import argparse
import os
import pty
import select
import sys
import tty


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("link")
    ap.add_argument("--drop", type=int, default=-1)
    ap.add_argument("--record")
    args = ap.parse_args()

    master, slave = pty.openpty()  # the slave stays open: the line never hangs up
    tty.setraw(slave)
    os.makedirs(os.path.dirname(args.link), exist_ok=True)
    os.symlink(os.ttyname(slave), args.link)
    record = open(args.record, "wb") if args.record else None
    print("plug ready", flush=True)

    total = 0
    while True:
        select.select([master], [], [])
        data = os.read(master, 4096)
        back = bytes(b for i, b in enumerate(data, total) if i != args.drop)
        total += len(data)
        if record:
            record.write(data)
            record.flush()
        if back:
            os.write(master, back)
        print("rx %d" % total, flush=True)


if __name__ == "__main__":
    sys.exit(main())
