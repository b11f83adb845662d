"""The far end of the serial lines, in a process of its own so that feeding
on schedule does not wait on the receiving side.

    python3 -m bench.feeder JSON      (the line descriptors are inherited)

JSON: {"mode": "paced", "lines": [{"fd": 5, "line": 1, "rate": 11520}, ...],
       "tick_ms": 1, "seconds": 20}
  Every tick each line is given the bytes its rate says are due by now; what
  the line's queue will not take is refused and skipped, as a real line
  would lose it.
      {"mode": "flood", "lines": [{"fd": 5, "line": 1}], "bytes": N, "seconds": S}
  One line written as fast as its queue takes bytes, N bytes or S seconds.

Writes one JSON object to the file plan["out"]: per line the writes
[position, taken, t_ns] and the refused byte count; t_ns on CLOCK_MONOTONIC
like the receiving side.
"""

import json
import os
import select
import sys
import time

from .stream import RECORD, pattern


def _write(ln, a, b):
    """Writes stream bytes [a, b) once; a write entry, and what it took."""
    t = time.monotonic_ns()
    try:
        n = os.write(ln["fd"], ln["data"][a:b]) if b > a else 0
    except (BlockingIOError, InterruptedError):
        n = 0
    ln["writes"].append((a, n, t))
    return n


def _tick(ln, due):
    """One tick of a line: first the rest of a record that a short write
    left torn, then the whole records due. What the line will not take is
    refused and skipped in whole records, so the stream stays made of
    whole records (a torn one could not be told from its neighbours)."""
    if ln["pos"] % RECORD:
        end = ln["pos"] - ln["pos"] % RECORD + RECORD
        ln["pos"] += _write(ln, ln["pos"], end)
        if ln["pos"] % RECORD:  # still torn: this tick's records are refused
            ln["skip"] += due
            ln["refused"] += due
            return
    ln["pos"] += ln["skip"]
    ln["skip"] = 0
    c = ln["pos"]
    n = _write(ln, c, c + due)
    ln["pos"] = c + n
    whole = -(-n // RECORD) * RECORD  # a record begun is finished next tick
    ln["refused"] += due - whole
    ln["skip"] += due - whole


def paced(plan):
    lines = plan["lines"]
    tick = plan["tick_ms"] * 1_000_000
    span = int(plan["seconds"] * 1e9)
    for ln in lines:
        ln["data"] = pattern(ln["line"], int(ln["rate"] * plan["seconds"] * 1.01) + 4096)
        ln["pos"], ln["skip"], ln["refused"], ln["writes"], ln["owed"] = 0, 0, 0, [], 0
    start = time.monotonic_ns()
    k = 0
    while True:
        now = time.monotonic_ns()
        elapsed = min(now - start, span)
        for ln in lines:
            owed = ln["rate"] * elapsed // 1_000_000_000
            due = (owed - ln["owed"]) // RECORD * RECORD  # whole records
            if due <= 0:
                continue
            ln["owed"] += due
            _tick(ln, due)
        if elapsed >= span:
            break
        k += 1
        wait = start + k * tick - time.monotonic_ns()
        if wait > 0:
            time.sleep(wait / 1e9)
        else:
            k = (time.monotonic_ns() - start) // tick
    return {str(ln["line"]): {"writes": ln["writes"], "refused": ln["refused"]} for ln in lines}


def flood(plan):
    ln = plan["lines"][0]
    total = plan["bytes"]
    data = pattern(ln["line"], total)
    writes, c = [], 0
    end = time.monotonic_ns() + int(plan["seconds"] * 1e9)
    p = select.poll()
    p.register(ln["fd"], select.POLLOUT)
    while c < total and time.monotonic_ns() < end:
        if not p.poll(100):
            continue
        t = time.monotonic_ns()
        try:
            n = os.write(ln["fd"], data[c:c + 65536])
        except (BlockingIOError, InterruptedError):
            continue
        writes.append((c, n, t))
        c += n
    return {str(ln["line"]): {"writes": writes, "refused": 0}}


def main():
    plan = json.loads(sys.argv[1])
    out = paced(plan) if plan["mode"] == "paced" else flood(plan)
    with open(plan["out"], "w") as f:
        json.dump(out, f)


if __name__ == "__main__":
    main()
