"""Both serial lines over an emulated cellular path (sim/cellpath): the
daemon in one network namespace, its server in another, the relay between
them with the profile's delay, jitter, rates, buffer and loss.

Per profile, each at 115 200 bit/s for `seconds`: both lines through the
daemon, one line alone through the daemon, and one line through socat over
the same path (the reference of what the path carries). For every run the
byte reckoning (carried, held back by the line, lost, duplicated,
reordered), the latency from the line to the server, the daemon's CPU
seconds per MB carried, and what a break of
the link would lose at that moment: the bytes the device side's socket has
accepted but the server has not acknowledged (its Send-Q), sampled every
200 ms. The Modbus round trip through the bridge runs on one profile.
With --tls ("tls" rows) both lines also go through the daemon over the
secure link, its hub Python's ssl (trmkit.tlspeer), beside the plain run.

Needs root (namespaces); without it the section says so and is skipped.
"""

import subprocess
import threading

from trmkit import cellpath, netns
from . import measure, modbus_rt

BITRATE = 115200
# name, profile ("up": device to server). TCP backs off on loss as Reno
# does (the boards' kernels are loss-based); "-bbr" rows run the same path
# with BBR, as this host's own default would.
PROFILES = [
    ("rtt50", "rtt=50ms,up=2mbit,down=4mbit"),
    ("rtt150", "rtt=150ms,up=1mbit,down=4mbit"),
    ("rtt300", "rtt=300ms,jitter=30ms,up=1mbit,down=4mbit"),
    ("rtt600", "rtt=600ms,jitter=60ms,up=500kbit,down=2mbit,loss=1%"),
    ("rtt600-bbr", "rtt=600ms,jitter=60ms,up=500kbit,down=2mbit,loss=1%"),
]
MODBUS_PROFILE = "rtt300"


class Path(netns.Path):
    """The fault suite's cellular path, with the face the rigs use
    (rigs.Loopback): where the server side and the device side live."""

    def __init__(self, profile, seed, cc="reno"):
        super().__init__("cell", profile, tag="bench", seed=seed, cc=cc)
        self.device_addr = cellpath.GW_ADDR

    def server_side(self):
        return self.server_ns.entered()

    def device_side(self):
        return self.daemon_ns.entered()


class SendQueue:
    """Samples the Send-Q of the device side's established sockets (bytes
    accepted, not yet acknowledged) every 200 ms while it runs."""

    def __init__(self, ns):
        self.ns, self.samples, self.stop_ev = ns, [], threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop_ev.wait(0.2):
            out = subprocess.run(["ip", "netns", "exec", self.ns, "ss", "-tnH", "state", "established"],
                                 capture_output=True, text=True).stdout
            total = 0
            for ln in out.splitlines():
                nums = [w for w in ln.split() if w.isdigit()]
                if len(nums) >= 2:
                    total += int(nums[1])
            self.samples.append(total)

    def stop(self):
        self.stop_ev.set()
        self.thread.join()
        v = sorted(self.samples)
        if not v:
            return None
        return {"p50": v[len(v) // 2], "p99": v[min(len(v) - 1, int(0.99 * len(v)))], "max": v[-1],
                "n": len(v)}


def _run_load(rig, path, seconds, lines):
    q = SendQueue(path.daemon_ns.name)
    try:
        r = measure.load(rig, BITRATE, seconds, drain_s=2.0, lines=lines)
    finally:
        r_q = q.stop()
    r["unacked_bytes"] = r_q
    carried = sum(r["line%d" % ln]["taken"] - r["line%d" % ln]["lost"] for ln in lines)
    r["cpu_s_per_mb"] = r["cpu_s"] / (carried / 1e6) if carried else None
    return r


def one_profile(ctx, name, profile, seconds, socat_cls):
    out = {"profile": profile}
    runs = [("both", lambda p: ctx.daemon(path=p, label="qysc"), (1, 2))]
    if ctx.pki is not None:
        runs.append(("tls_both", lambda p: ctx.daemon(path=p, label="qysc tls", tls=ctx.pki), (1, 2)))
    runs.append(("one", lambda p: ctx.daemon(path=p, label="qysc"), (1,)))
    if socat_cls is not None:
        runs.append(("socat_one", lambda p: socat_cls(path=p, lines=(1,)), (1,)))
    cc = "bbr" if name.endswith("-bbr") else "reno"
    for key, make, lines in runs:
        path = Path(profile, ctx.rng.randrange(1, 1 << 30), cc)
        try:
            rig = make(path)
            try:
                out[key] = _run_load(rig, path, seconds, lines)
            finally:
                rig.close()
        finally:
            out.setdefault("relay", {})[key] = path.close()
    return out


def modbus(ctx, profile, samples):
    path = Path(profile, ctx.rng.randrange(1, 1 << 30))
    try:
        rig = ctx.daemon(1, modbus=True, path=path, label="qysc TI=1")
        try:
            return modbus_rt.round_trips([rig], samples, ctx.rng, timeout=5.0)
        finally:
            rig.close()
    finally:
        path.close()


def run(ctx, quick, socat_cls, only=None):
    why = netns.forbidden(cell=True)
    if why:
        print(" (skipped: %s)" % why, end="", flush=True)
        return {"skipped": why}
    seconds = 4 if quick else ctx.args.path_seconds
    profiles = [p for p in PROFILES if (only is None or p[0] in only)]
    if quick:
        profiles = [p for p in PROFILES if p[0] == "rtt150"]
    out = {"seconds": seconds, "bitrate": BITRATE, "profiles": {}}
    for name, profile in profiles:
        out["profiles"][name] = one_profile(ctx, name, profile, seconds, None if quick else socat_cls)
    mb = dict(PROFILES)[MODBUS_PROFILE]
    out["modbus"] = {"profile": mb, "result": modbus(ctx, mb, 8 if quick else 200)}
    return out


def table(res):
    """Text rows of the section's result."""
    if not res or "profiles" not in res:
        return ""
    rows = ["Over the emulated cellular path (%d bit/s per line, %s s each)"
            % (res["bitrate"], res["seconds"]),
            "  %-8s %-12s %10s %9s %6s %6s %18s %14s %9s" % (
                "profile", "run", "kB/s/line", "held %", "lost", "dup/ro", "latency p50/p99 ms",
                "unacked p50/max", "cpu s/MB")]
    for name, p in res["profiles"].items():
        for key in ("both", "tls_both", "one", "socat_one"):
            r = p.get(key)
            if not r:
                continue
            for ln in (1, 2):
                c = r.get("line%d" % ln)
                if not c:
                    continue
                rows.append("  %-8s %-12s %s" % (name, "%s L%d" % (key, ln), _cells(c, r)))
    mb = res.get("modbus", {}).get("result", {})
    for label, m in mb.items():
        if m.get("p50") is not None:
            rows.append("  Modbus through the bridge at %s: p50/p99 %.1f/%.1f ms, %d bad"
                        % (MODBUS_PROFILE, m["p50"], m["p99"], m["bad_samples"]))
    return "\n".join(rows)


def _cells(c, r):
    fed = c.get("taken", 0) + c.get("refused", 0)
    held = 100.0 * c.get("refused", 0) / fed if fed else 0.0
    secs = r["seconds"]
    lat = c.get("latency") or {}
    q = r.get("unacked_bytes") or {}
    cpu = r.get("cpu_s_per_mb")
    return "%10.1f %9.1f %6d %6s %18s %14s %9s" % (
        (c.get("taken", 0) - c.get("lost", 0)) / secs / 1000.0, held, c.get("lost", 0),
        "%d/%d" % (c.get("duplicated", 0), c.get("reordered", 0)),
        "%.0f/%.0f" % (lat.get("p50", 0), lat.get("p99", 0)) if lat else "-",
        "%s/%s" % (q.get("p50", "-"), q.get("max", "-")), "%.3f" % cpu if cpu is not None else "-")
