"""Benchmark of the gateway daemon beside ser2net and socat.

    bench/run.sh [--quick] [--build DIR] [--static-build DIR | --no-static]
                 [--out-dir DIR] [--seed N] [--tls]

Runs the daemon's sandbox copy from the build DIR (default
build/host-release) and ser2net and socat (their defaults) on fresh
pseudo-terminal pairs, each in turn or interleaved in the same run, prints
a table and writes <out-dir>/<date>.json (a full run also latest.json).
--quick is the smoke: every measurement once, small counts (~30 s); it
fails only when the suite itself breaks, never on a figure. --tls adds the
secure link's run to the cellular path's (bench.overpath).
"""

import argparse
import datetime
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

from trmkit.ports import free_port
from trmkit.sandbox import MODEM_OK, load_encode_table
from . import measure, modbus_rt, overpath, report, resources
from .rigs import DaemonRig, Ser2netRig, SocatRig, is_installed
from .tls_handshake import gateway_pki

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

FULL = {"samples": 300, "bursts": 300, "flood_bytes": 4 << 20, "flood_s": 30,
        "load": [(115200, 20), (460800, 20), (921600, 60)],
        "idle_s": 10, "strace_s": 5, "trickle_s": 10, "modbus": 200, "drain_s": 0.5, "settle_s": 2.0}
QUICK = {"samples": 12, "bursts": 12, "flood_bytes": 256 << 10, "flood_s": 4,
         "load": [(921600, 1)],
         "idle_s": 0.5, "strace_s": 0.5, "trickle_s": 1, "modbus": 8, "drain_s": 0.3, "settle_s": 0.5}


def cache_value(build, key):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for ln in f:
                if ln.startswith(key + ":"):
                    return ln.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


class Context:
    def __init__(self, args):
        self.args = args
        self.p = QUICK if args.quick else FULL
        self.build = os.path.abspath(args.build)
        self.qysc = os.path.join(self.build, "sandbox", "qysc")
        self.beside = (os.path.join(os.path.abspath(args.beside), "sandbox", "qysc")
                       if args.beside else None)
        if not os.access(self.qysc, os.X_OK):
            sys.exit("no sandbox daemon at %s (build it: cmake --build --preset host-release)"
                     % self.qysc)
        table_file = cache_value(self.build, "ENCODE_TABLE") or os.path.join(
            REPO, "config", "encode_table.dev.txt")
        self.table = load_encode_table(table_file)
        self.rng = random.Random(args.seed)
        self.work = tempfile.mkdtemp(prefix="trm310-bench-")
        self.others = [c for c, prog in ((Ser2netRig, "ser2net"), (SocatRig, "socat"))
                       if is_installed(prog)]
        self.missing = [p for p in ("ser2net", "socat", "strace") if not is_installed(p)]
        self.shim = resources.alloc_shim(self.build, self.work)
        self.pki = gateway_pki(os.path.join(self.work, "pki")) if args.tls else None
        self.daemons = []
        self.section = None

    def daemon(self, gap_ms=50, qysc=None, **kw):
        """The daemon, its heap calls counted (every rig has its own counter)."""
        if self.shim:
            kw["preload"] = (self.shim, os.path.join(self.work, "heap-%d" % len(self.daemons)))
        rig = DaemonRig(qysc or self.qysc, self.table, gap_ms=gap_ms, **kw)
        self.daemons.append((self.section, rig))
        return rig

    def heap_summary(self):
        """Heap calls of every daemon run after its link came up."""
        runs = [{"section": s, "label": r.label, "calls": r.heap_calls} for s, r in self.daemons]
        counted = [x["calls"]["total"] for x in runs if x["calls"]]
        return {"total": sum(counted) if counted else None, "runs": runs}

    def all_rigs(self, **kw):
        """A fresh daemon (default gap), then ser2net and socat, one at a time."""
        yield lambda: self.daemon(**kw)
        for cls in ([] if self.args.daemon_only else self.others):
            yield lambda cls=cls: cls(**kw)


def using(make, fn):
    rig = make()
    try:
        return rig.label, fn(rig)
    finally:
        rig.close()


def daemons(ctx, **kw):
    """The daemon at TimeInterval 1 and 50, and so --beside's."""
    rigs = [ctx.daemon(1, label="qysc TI=1", **kw), ctx.daemon(50, label="qysc TI=50", **kw)]
    if ctx.beside:
        rigs += [ctx.daemon(gap, qysc=ctx.beside, label="%s TI=%d" % (ctx.args.beside_name, gap), **kw)
                 for gap in (1, 50)]
    return rigs


def sec_latency(ctx):
    rigs = daemons(ctx)
    try:
        rigs += [cls() for cls in ctx.others]
        return measure.latency(rigs, [16, 256], ctx.p["samples"], ctx.rng)
    finally:
        for r in rigs:
            r.close()


def sec_bursts(ctx):
    """CPU and context switches per 16-byte burst: the daemon at
    TimeInterval 1 and 50 beside ser2net and socat, interleaved."""
    rigs = daemons(ctx)
    try:
        rigs += [cls() for cls in ctx.others]
        time.sleep(ctx.p["settle_s"])  # every rig past its start-up
        out = measure.burst_cost(rigs, 16, ctx.p["bursts"], ctx.rng, idle_s=ctx.p["idle_s"] / 2)
        for r in rigs:  # then, apart (strace slows what it watches), the system calls
            out[r.label]["syscalls"] = measure.burst_syscalls(r, 16, ctx.p["strace_s"])
        return out
    finally:
        for r in rigs:
            r.close()


def sec_throughput(ctx):
    # The daemon at TimeInterval=1 (its flat-out figure, "qysc"), then at the
    # default 50: a pty's writer stops while the line's queue is full, so
    # bytes left below UartDataMax wait out the gap (a real line keeps
    # sending and the queue passes UartDataMax at once).
    makes = [lambda: ctx.daemon(1), lambda: ctx.daemon(50, label="qysc TI=50")]
    makes += list(ctx.all_rigs())[1:]
    return dict(using(m, lambda r: measure.throughput(r, ctx.p["flood_bytes"], ctx.p["flood_s"], ctx.p["drain_s"]))
                for m in makes)


def sec_load(ctx):
    out = {}
    for make in ctx.all_rigs():
        out.update([using(make, lambda r: [measure.load(r, rate, s, ctx.p["drain_s"]) for rate, s in ctx.p["load"]])])
    return out


def sec_trickle(ctx):
    return dict(using(m, lambda r: measure.trickle(r, ctx.p["trickle_s"], ctx.p["drain_s"])) for m in ctx.all_rigs())


def _idle_one(ctx, rig):
    s = ctx.p
    out = {"connected": resources.idle(rig.pids, s["idle_s"])}
    out["connected"]["syscalls"] = resources.strace_counts(rig.pids, s["strace_s"])
    out["memory"] = resources.memory_sum(rig.pids)
    rig.disconnect()
    time.sleep(s["settle_s"])  # the daemon notices and goes to its reconnect wait
    out["disconnected"] = resources.idle(rig.pids, s["idle_s"])
    out["disconnected"]["syscalls"] = resources.strace_counts(rig.pids, s["strace_s"])
    return out


def idle_floor(ctx):
    """The fixed idle timings alone (bench/idle_floor.c), connected and
    offline: what any daemon keeping them costs on this machine."""
    prog = resources.idle_floor(ctx.build, ctx.work)
    if prog is None:
        return None
    modem = os.path.join(ctx.work, "modemInfo.txt")
    with open(modem, "w") as f:
        f.write(MODEM_OK)
    out = {}
    for state, argv in (("connected", [prog, "connected", modem]),
                        ("disconnected", [prog, "offline", modem, str(free_port())])):
        p = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
        try:
            time.sleep(ctx.p["settle_s"])
            out[state] = resources.idle([p.pid], ctx.p["idle_s"])
        finally:
            p.kill()
            p.wait()
    return out


def sec_idle(ctx):
    """Idle cost connected and disconnected, and memory; beside them the
    floor of the fixed timings."""
    out = dict([using(ctx.daemon, lambda r: _idle_one(ctx, r))])
    if ctx.beside:
        out.update([using(lambda: ctx.daemon(qysc=ctx.beside, label=ctx.args.beside_name),
                          lambda r: _idle_one(ctx, r))])
    floor = idle_floor(ctx)
    if floor:
        out["floor"] = floor
    static = static_build(ctx)
    if static:
        rig = DaemonRig(static, ctx.table, label="qysc static")
        try:
            out[rig.label] = {"connected": resources.idle(rig.pids, ctx.p["idle_s"]),
                              "memory": resources.memory_sum(rig.pids)}
        finally:
            rig.close()
    for cls in ctx.others:
        out.update([using(cls, lambda r: _idle_one(ctx, r))])
    return out


def static_build(ctx):
    """The board configuration (programs linked statically) built for the
    host from the same sources: --static-build, else made below the build."""
    if ctx.args.no_static:
        return None
    if ctx.args.static_build:
        path = os.path.join(os.path.abspath(ctx.args.static_build), "sandbox", "qysc")
        return path if os.access(path, os.X_OK) else None
    if ctx.args.quick:
        return None
    src = cache_value(ctx.build, "CMAKE_HOME_DIRECTORY")
    out = os.path.join(ctx.build, "bench", "static")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    table = cache_value(ctx.build, "ENCODE_TABLE")
    cfg = ["cmake", "-S", src, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
           "-DQUARNE_STATIC_PROGRAMS=ON", "-DBUILD_TESTING=OFF", "-DQUARNE_SANDBOX_PROGRAMS=ON"]
    if table:
        cfg.append("-DENCODE_TABLE=" + table)
    log = open(out + ".log", "wb")
    for argv in (cfg, ["nice", "cmake", "--build", out, "--target", "qysc_sandbox", "-j2"]):
        if subprocess.call(argv, stdout=log, stderr=subprocess.STDOUT) != 0:
            print("static build failed, see %s" % log.name)
            return None
    return os.path.join(out, "sandbox", "qysc")


def sec_modbus(ctx):
    rigs = [ctx.daemon(1, modbus=True, label="qysc TI=1"),
            ctx.daemon(50, modbus=True, label="qysc TI=50")]
    try:
        rigs += [cls(modbus=True) for cls in ctx.others]
        return modbus_rt.round_trips(rigs, ctx.p["modbus"], ctx.rng)
    finally:
        for r in rigs:
            r.close()


def sec_cellpath(ctx):
    only = ctx.args.profiles.split(",") if ctx.args.profiles else None
    socat = SocatRig if SocatRig in ctx.others and not ctx.args.daemon_only else None
    return overpath.run(ctx, ctx.args.quick, socat, only)


SECTIONS = [("latency", sec_latency), ("bursts", sec_bursts), ("throughput", sec_throughput), ("load", sec_load),
            ("idle", sec_idle), ("trickle", sec_trickle), ("modbus", sec_modbus),
            ("cellpath", sec_cellpath)]


def meta(ctx):
    def run(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True, timeout=10).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            return None
    cpu = next((ln.split(":", 1)[1].strip() for ln in open("/proc/cpuinfo")
                if ln.startswith("model name")), "?")
    src = cache_value(ctx.build, "CMAKE_HOME_DIRECTORY") or REPO
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "command": " ".join(sys.argv), "quick": ctx.args.quick, "seed": ctx.args.seed,
        "machine": {"kernel": " ".join(os.uname()[2:5:2]), "cpu": cpu, "cores": os.cpu_count(),
                    "loadavg_start": open("/proc/loadavg").read().split()[:3]},
        "build": ctx.build,
        "source": run(["git", "-C", src, "describe", "--always", "--dirty"]),
        "ser2net": run(["ser2net", "-v"]),
        "socat": (run(["socat", "-V"]) or "").splitlines()[1:2],
        "missing": ctx.missing,
        "params": ctx.p,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smoke: small counts, ~30 s")
    ap.add_argument("--build", default=os.path.join(REPO, "build", "host-release"))
    ap.add_argument("--static-build", help="build dir of the board configuration built for the host")
    ap.add_argument("--no-static", action="store_true", help="no static build figure")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    ap.add_argument("--seed", type=int, default=int(os.environ.get("TRM_FUZZ_SEED", time.time())) & 0xFFFF,
                    help="shuffles and pauses (default: TRM_FUZZ_SEED, else the time)")
    ap.add_argument("--only", help="comma-separated sections: " + ",".join(n for n, _ in SECTIONS))
    ap.add_argument("--load", metavar="RATE:S,...", help="the load section's rates and seconds "
                    "(default 115200:20,460800:20,921600:60)")
    ap.add_argument("--path-seconds", type=int, default=60,
                    help="seconds of each run over the emulated cellular path (default 60)")
    ap.add_argument("--profiles", help="cellular path profiles, comma separated: "
                    + ",".join(n for n, _ in overpath.PROFILES))
    ap.add_argument("--tls", action="store_true",
                    help="the cellular path's runs of both lines also over the secure link")
    ap.add_argument("--daemon-only", action="store_true", help="leave ser2net and socat out")
    ap.add_argument("--beside", metavar="DIR",
                    help="another build's daemon beside this one in the latency and bursts "
                         "sections, interleaved (before and after a change in one run)")
    ap.add_argument("--beside-name", default="beside", help="its label (default: beside)")
    ap.add_argument("--markdown", metavar="JSON", help="print the README table of a result file, run nothing")
    args = ap.parse_args()
    if args.markdown:
        with open(args.markdown) as f:
            print(report.markdown(json.load(f)))
        return 0
    ctx = Context(args)
    if args.load:
        ctx.p = dict(ctx.p, load=[tuple(int(x) for x in r.split(":")) for r in args.load.split(",")])
    print("bench: seed %d, daemon %s%s" % (args.seed, ctx.qysc, " (quick)" if args.quick else ""),
          flush=True)
    if ctx.missing:
        print("bench: not installed, left out: %s (tools/install-deps.sh)" % " ".join(ctx.missing))
    results = {"meta": meta(ctx)}
    broken = []
    wanted = set(args.only.split(",")) if args.only else None
    for name, fn in SECTIONS:
        if wanted and name not in wanted:
            continue
        t0 = time.monotonic()
        print("bench: %s ..." % name, end="", flush=True)
        ctx.section = name
        try:
            results[name] = fn(ctx)
            print(" %.1f s" % (time.monotonic() - t0), flush=True)
        except Exception:  # a broken section is reported, the others still run
            broken.append(name)
            results[name] = {"error": traceback.format_exc()}
            print(" FAILED\n" + traceback.format_exc(), flush=True)
    results["heap_after_start"] = ctx.heap_summary()
    shutil.rmtree(ctx.work, ignore_errors=True)
    results["meta"]["machine"]["loadavg_end"] = open("/proc/loadavg").read().split()[:3]
    results["goals"] = report.goals(results)
    print()
    print(report.table(results))
    if results.get("cellpath"):
        print("\n" + overpath.table(results["cellpath"]))
    os.makedirs(args.out_dir, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y-%m-%d-%H%M%S")
    path = os.path.join(args.out_dir, "%s%s.json" % (stamp, "-quick" if args.quick else ""))
    for p in [path] + ([] if args.quick or wanted else [os.path.join(args.out_dir, "latest.json")]):
        with open(p, "w") as f:
            json.dump(results, f, indent=1, sort_keys=True)
    print("\nwritten: %s" % path)
    if broken:
        print("bench: sections that broke: %s" % ", ".join(broken))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
