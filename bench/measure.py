"""The traffic measurements: latency both ways, one line flat out, both
lines paced at a bit rate, a trickling line. Times are CLOCK_MONOTONIC in
ns on both sides (the feeder runs in a process of its own)."""

import fcntl
import json
import os
import select
import struct
import subprocess
import tempfile
import termios
import time

from trmkit.procs import module_argv, module_env
from .resources import Window
from .stream import pattern, reckon


def percentiles(values):
    """p50/p90/p99/max in ms of ns values (nearest rank); None when empty."""
    if not values:
        return None
    v = sorted(values)

    def rank(q):
        return v[min(len(v) - 1, max(0, int(q * len(v) + 0.999999) - 1))] / 1e6
    return {"p50": rank(0.50), "p90": rank(0.90), "p99": rank(0.99), "max": v[-1] / 1e6,
            "n": len(v)}


def _read_master(pty, want, deadline):
    got, last = b"", None
    while len(got) < want:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        r, _, _ = select.select([pty.master], [], [], left)
        if r:
            try:
                got += os.read(pty.master, 65536)
                last = time.monotonic_ns()
            except BlockingIOError:
                pass
    return got, last


def _read_server(rig, line, want, deadline):
    got, last = b"", None
    while len(got) < want:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        for ln, data, t in rig.recv(min(left, 0.5)):
            if ln == line:
                got += data
                last = t
    return got, last


def drain(rig, quiet_s=0.1, limit_s=2.0):
    """Drops whatever is still on its way, both directions."""
    end, last = time.monotonic() + limit_s, time.monotonic()
    while time.monotonic() - last < quiet_s and time.monotonic() < end:
        if rig.recv(0.02):
            last = time.monotonic()
        for pty in rig.ptys.values():
            try:
                if os.read(pty.master, 65536):
                    last = time.monotonic()
            except (BlockingIOError, OSError):
                pass


def latency(rigs, sizes, samples, rng, timeout=2.0):
    """Interleaved round of single messages on line 1: for every sample
    each rig (in shuffled order) gets one serial→server message, then one
    server→serial message. Each message waits for the last byte of the one
    before, plus 1-3 ms of quiet. Returns {label: {dir: {size: stats}}}."""
    res = {r.label: {d: {s: [] for s in sizes} for d in ("up", "down")} for r in rigs}
    bad = {r.label: 0 for r in rigs}
    for size in sizes:
        for i in range(samples):
            order = list(rigs)
            rng.shuffle(order)
            payload = pattern(1, (i + 1) * size)[i * size:]
            for rig in order:
                pty = rig.ptys[1]
                t0 = time.monotonic_ns()
                pty.write(payload)
                got, t1 = _read_server(rig, 1, size, time.monotonic() + timeout)
                if got == payload:
                    res[rig.label]["up"][size].append(t1 - t0)
                else:
                    bad[rig.label] += 1
                    drain(rig)
                time.sleep(rng.uniform(0.001, 0.003))
                t0 = time.monotonic_ns()
                rig.send(1, payload)
                got, t1 = _read_master(pty, size, time.monotonic() + timeout)
                if got == payload:
                    res[rig.label]["down"][size].append(t1 - t0)
                else:
                    bad[rig.label] += 1
                    drain(rig)
                time.sleep(rng.uniform(0.001, 0.003))
    out = {}
    for r in rigs:
        out[r.label] = {"gap_ms": r.gap_ms, "bad_samples": bad[r.label]}
        for d in ("up", "down"):
            out[r.label][d] = {str(s): percentiles(res[r.label][d][s]) for s in sizes}
    return out


def _feeder(plan, fds):
    return subprocess.Popen(module_argv("bench.feeder", json.dumps(plan)), pass_fds=fds, env=module_env())


def queued(pty):
    """Bytes waiting in the line's queue (what the forwarder has not read)."""
    buf = fcntl.ioctl(pty.slave, termios.FIONREAD, struct.pack("i", 0))
    return struct.unpack("i", buf)[0]


def _run_feed(rig, plan, lines, drain_s, limit_s):
    """Runs the feeder while collecting what reaches the server; then waits
    until nothing has come for drain_s (at most limit_s after the feeder).
    The forwarder's cost is taken from the feeder's start to the last
    arrival (read at most 10 ms after it)."""
    fds = [rig.ptys[ln].master for ln in lines]
    fd, plan["out"] = tempfile.mkstemp(prefix="trm310-bench-feed-")
    os.close(fd)
    chunks = {ln: [] for ln in lines}
    win = Window(rig.pids)
    feeder = _feeder(plan, fds)
    fed_end, cost, seen = None, win.stop(), 0.0
    last = time.monotonic()
    while True:
        for ln, data, t in rig.recv(0.02):
            if ln in chunks:
                chunks[ln].append((t, data))
                last = time.monotonic()
        if last > seen and time.monotonic() - seen > 0.01:
            cost, seen = win.stop(), time.monotonic()
        if fed_end is None and feeder.poll() is not None:
            fed_end = time.monotonic()
            last = max(last, fed_end)
        if fed_end is not None:
            now = time.monotonic()
            if now - last > drain_s or now - fed_end > limit_s:
                break
    if feeder.returncode != 0:
        raise RuntimeError("feeder failed (status %d)" % feeder.returncode)
    with open(plan["out"]) as f:
        out = json.load(f)
    os.unlink(plan["out"])
    return chunks, out, cost


def _line_result(rig, line, chunks, fed):
    f = fed[str(line)]
    writes = [tuple(w) for w in f["writes"]]
    counts, lat = reckon(line, chunks, writes, queued=queued(rig.ptys[line]),
                         refused=f["refused"])
    counts["latency"] = percentiles(lat)
    return counts, writes


def throughput(rig, nbytes, seconds, drain_s=0.5):
    """Line 1 written as fast as its queue takes bytes; MB/s (10^6) from the
    first write to the arrival of the last byte, and the byte reckoning."""
    plan = {"mode": "flood", "lines": [{"fd": rig.ptys[1].master, "line": 1}],
            "bytes": nbytes, "seconds": seconds}
    chunks, fed, cost = _run_feed(rig, plan, [1], max(drain_s, 4 * rig.gap_ms / 1000), 10.0)
    counts, writes = _line_result(rig, 1, chunks[1], fed)
    counts.pop("latency")
    if writes and chunks[1]:
        span = (chunks[1][-1][0] - writes[0][2]) / 1e9
        counts["mb_per_s"] = (counts["taken"] - counts["lost"]) / span / 1e6 if span > 0 else None
    else:
        counts["mb_per_s"] = None
    counts["cpu_pct"] = cost["cpu_pct"]
    return counts


def load(rig, bitrate, seconds, drain_s=0.5, tick_ms=1, lines=(1, 2)):
    """The lines (both by default) fed at once at `bitrate` (8N1: 10 bits a
    byte), paced in time; per line the reckoning and the latency of every
    written slice."""
    rate = bitrate // 10
    plan = {"mode": "paced", "tick_ms": tick_ms, "seconds": seconds,
            "lines": [{"fd": rig.ptys[ln].master, "line": ln, "rate": rate} for ln in lines]}
    chunks, fed, cost = _run_feed(rig, plan, list(lines), max(drain_s, 4 * rig.gap_ms / 1000), 10.0)
    out = {"bitrate": bitrate, "seconds": seconds, "cpu_pct": cost["cpu_pct"], "cpu_s": cost["cpu_s"],
           "wakeups_per_s": cost["wakeups_per_s"]}
    for ln in lines:
        out["line%d" % ln], _ = _line_result(rig, ln, chunks[ln], fed)
    return out


def trickle(rig, seconds, drain_s=0.5, every_ms=2):
    """One byte every `every_ms` on line 1: the forwarder's CPU share."""
    plan = {"mode": "paced", "tick_ms": every_ms, "seconds": seconds,
            "lines": [{"fd": rig.ptys[1].master, "line": 1, "rate": 1000 // every_ms}]}
    chunks, fed, cost = _run_feed(rig, plan, [1], max(drain_s, 4 * rig.gap_ms / 1000), 10.0)
    counts, _ = _line_result(rig, 1, chunks[1], fed)
    return {"cpu_pct": cost["cpu_pct"], "wakeups_per_s": cost["wakeups_per_s"],
            "taken": counts["taken"], "lost": counts["lost"], "latency": counts["latency"],
            "seconds": seconds}


def one_burst(rig, payload, timeout=2.0, settle_s=0.003):
    """One burst on line 1 to the server; whether it arrived whole."""
    rig.ptys[1].write(payload)
    got, _ = _read_server(rig, 1, len(payload), time.monotonic() + timeout)
    time.sleep(settle_s)
    if got != payload:
        drain(rig)
    return got == payload


def burst_syscalls(rig, size, seconds):
    """System calls per burst of `size` bytes (strace -c -f over bursts
    back to back for `seconds`): {"per_burst": {name: n}, "bursts", "switches"}."""
    from .resources import strace_counts, switches
    done = [0]

    def tick(_):
        done[0] += one_burst(rig, pattern(1, size * (done[0] + 1))[size * done[0]:])
    s0 = switches(rig.pids)
    counts = strace_counts(rig.pids, seconds, tick)
    if not counts or not done[0]:
        return None
    n = done[0]
    return {"bursts": n, "total": counts["total"] / n,
            "per_burst": {k: v / n for k, v in sorted(counts["calls"].items())},
            "switches_traced": (switches(rig.pids) - s0) / n}


def burst_cost(rigs, size, count, rng, settle_s=0.003, timeout=2.0, idle_s=5.0):
    """CPU time and context switches per serial→server burst of `size`
    bytes on line 1: every rig (in shuffled order, sample by sample) gets
    `count` bursts; each is counted from just before its write until
    `settle_s` after its last byte reached the server (the forwarder has
    gone back to its wait by then). First, all rigs idle for `idle_s`: the
    "net" figures take out what each spends idle in as long as its windows
    lasted (a daemon's LED and modem file, ser2net's own timers). Returns
    {label: {"cpu_us", "switches", "cpu_us_net", "switches_net", "window_ms",
    "n", "bad"}} per burst."""
    from .resources import cpu_ns, switches, Window
    idle = {r.label: Window(r.pids) for r in rigs}
    time.sleep(idle_s)
    idle = {label: w.stop() for label, w in idle.items()}
    tot = {r.label: [0, 0, 0, 0, 0] for r in rigs}  # cpu ns, switches, ns of windows, bursts, bad
    for i in range(count):
        order = list(rigs)
        rng.shuffle(order)
        payload = pattern(1, (i + 1) * size)[i * size:]
        for rig in order:
            pids = rig.pids
            t0, c0, s0 = time.monotonic_ns(), cpu_ns(pids), switches(pids)
            t = tot[rig.label]
            if not one_burst(rig, payload, timeout, settle_s):
                t[4] += 1
                continue
            t[0] += cpu_ns(pids) - c0
            t[1] += switches(pids) - s0
            t[2] += time.monotonic_ns() - t0
            t[3] += 1
            time.sleep(rng.uniform(0.001, 0.003))
    out = {}
    for r in rigs:
        c, s, ns, n, bad = tot[r.label]
        i = idle[r.label]
        out[r.label] = {"n": n, "bad": bad, "gap_ms": r.gap_ms, "idle": i}
        if n:
            secs = ns / 1e9 / n
            out[r.label].update({
                "cpu_us": c / n / 1e3, "switches": s / n, "window_ms": secs * 1e3,
                "cpu_us_net": c / n / 1e3 - i["cpu_s"] / i["seconds"] * secs * 1e6,
                "switches_net": s / n - i["wakeups_per_s"] * secs})
    return out
