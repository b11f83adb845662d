"""The daemon's loop on the board's CPU: the instructions (and, on the
board, the system calls) of an idle second connected and offline, one
16-byte burst end to end, one 1000-byte burst and one server packet to a
line. Counted under qemu-arm -cpu pxa270 by the TCG plugin
bench/board/insn_count.c (its live counter, read at any moment), for the
cross build's sandbox daemon; and beside it the host build under
valgrind's callgrind (dumps forced through vgdb, so a daemon asleep in a
wait is read at once). ser2net from Debian's armel packages runs under the
same qemu as the reference (--ser2net), and the host's ser2net under
callgrind.

    python3 -m bench.board.loop_cost [--board build/armv5te] [--host build/host-release]
        [--before-board DIR] [--before-host DIR] [--ser2net] [--host-qemu]
        [--bursts N] [--idle-s S] [--json FILE] [--smoke]

--host-qemu also runs the host builds under qemu-x86_64 with the same
plugin: exact where callgrind's slowdown blurs a busy loop (the old loop's
5 ms passes run slower under valgrind while a burst is handled, so an
empty window no longer matches the burst's).

A burst's window runs from just before its write until its last byte has
arrived and the forwarder has gone back to its wait; an empty window as
long follows it, and its counts (the loop's own timers, which run either
way) are taken out: the "net" figure ("gross" keeps them). Times at 520 MHz
are instructions x CPI / 520, for the CPI range of tls_handshake.py.
--smoke: a few bursts on the host build only (no qemu, no valgrind
figures judged), to check the module works. Every process is ended by its
PID; every wait is bounded."""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from trmkit.procs import ROOT
from ..measure import _read_master, _read_server, drain
from ..rigs import DaemonRig, Ser2netRig
from ..stream import pattern
from ..tls_handshake import MHZ, CPI, QEMU, build_plugin, encode_table

# ser2net's armel closure on Debian 12: the program, gensio, and every
# library they name (NEEDED), down to what the cross toolchain's libc has.
SER2NET_DEBS = [
    "ser2net", "libgensio4", "libyaml-0-2", "libavahi-client3", "libavahi-common3", "libsctp1",
    "libwrap0", "libdbus-1-3", "libsystemd0", "libnsl2", "libtirpc3", "liblzma5", "libzstd1",
    "liblz4-1", "libcap2", "libgcrypt20", "libgpg-error0", "libgssapi-krb5-2", "libkrb5-3",
    "libk5crypto3", "libcom-err2", "libkrb5support0", "libkeyutils1"]
# The system calls' numbers: the board's (EABI) and the host's.
UNISTD = {"arm": ("/usr/arm-linux-gnueabi/include/asm/unistd-eabi.h",
                  r"#define __NR_(\w+)\s+\(__NR_SYSCALL_BASE\s*\+\s*(\d+)\)"),
          "x86_64": ("/usr/include/x86_64-linux-gnu/asm/unistd_64.h", r"#define __NR_(\w+)\s+(\d+)")}


class QemuCount:
    """A program under qemu with the counting plugin: the board's
    (qemu-arm -cpu pxa270), or with arch x86_64 a host program."""

    def __init__(self, work, plugin, name, arch="arm"):
        self.live = os.path.join(work, name + ".live")
        emulator = QEMU if arch == "arm" else ["qemu-x86_64"]
        self.prefix = emulator + ["-plugin", "%s,out=%s,live=%s" % (
            plugin, os.path.join(work, name + ".out"), self.live)]
        self.names = syscall_names(arch)

    def bind(self, pid):
        pass

    def sample(self):
        """(instructions, {system call name: count}) so far."""
        with open(self.live, "rb") as f:
            words = memoryview(f.read()).cast("Q")
        calls = {self.names.get(n, str(n)): words[1 + n] for n in range(len(words) - 1) if words[1 + n]}
        return words[0], calls


class CallgrindCount:
    """A program under valgrind's callgrind; every sample is a dump (the
    counts since the last), forced through vgdb while the program waits."""

    def __init__(self, work, name):
        self.dir = os.path.join(work, name + ".cg")
        os.makedirs(self.dir, exist_ok=True)
        self.prefix = ["valgrind", "--tool=callgrind", "--vgdb=yes", "--dump-line=no",
                       "--callgrind-out-file=%s/cg.out" % self.dir]
        self.total, self.pid = 0, None

    def bind(self, pid):
        self.pid = pid

    def sample(self):
        before = set(glob.glob(self.dir + "/cg.out*"))
        subprocess.run(["vgdb", "--pid=%d" % self.pid, "dump"], capture_output=True, timeout=30)
        for path in sorted(set(glob.glob(self.dir + "/cg.out*")) - before):
            with open(path) as f:
                m = re.search(r"^(?:totals|summary): (\d+)", f.read(), re.M)
            self.total += int(m.group(1)) if m else 0
            os.unlink(path)
        return self.total, {}


def counter(how, work, plugin, name):
    tag = re.sub(r"\W+", "-", name)
    if how == "callgrind":
        return CallgrindCount(work, tag)
    return QemuCount(work, plugin, tag, "arm" if how == "qemu-arm" else "x86_64")


def syscall_names(arch):
    path, pattern = UNISTD[arch]
    names = {}
    try:
        with open(path) as f:
            for m in re.finditer(pattern, f.read()):
                names[int(m.group(2))] = m.group(1)
    except OSError:
        pass
    return names


def delta(a, b, seconds):
    calls = {k: v - a[1].get(k, 0) for k, v in b[1].items() if v != a[1].get(k, 0)}
    return {"insns": b[0] - a[0], "calls": calls, "seconds": seconds}


def counted(count, fn, settle):
    """The counts of fn() and the settle after it."""
    t0, a = time.monotonic(), count.sample()
    ok = fn()
    time.sleep(settle)
    return ok, delta(a, count.sample(), time.monotonic() - t0)


def idle(count, seconds):
    return counted(count, lambda: time.sleep(seconds) or True, 0)[1]


def per_event(count, events, make, settle):
    """Per event of make(i) (true when its bytes arrived whole): "gross",
    the counts of its window, and "net", less those of an empty window
    as long right after it (the loop's own timers, which run either way)."""
    insns, empty, calls, n = 0, 0, {}, 0
    for i in range(events):
        ok, d = counted(count, lambda: make(i), settle)
        if not ok:
            continue
        e = counted(count, lambda: time.sleep(d["seconds"]) or True, 0)[1]
        n += 1
        insns += d["insns"]
        empty += e["insns"]
        for k in set(d["calls"]) | set(e["calls"]):
            calls[k] = calls.get(k, 0) + d["calls"].get(k, 0) - e["calls"].get(k, 0)
    if not n:
        return None
    return {"n": n, "gross": insns / n, "net": (insns - empty) / n,
            "calls": {k: round(v / n, 2) for k, v in sorted(calls.items())}}


def burst(rig, size, i):
    payload = pattern(1, size * (i + 1))[size * i:]
    rig.ptys[1].write(payload)
    got, _ = _read_server(rig, 1, size, time.monotonic() + 10)
    return got == payload or drain(rig)


def to_line(rig, i):
    payload = pattern(1, 16 * (i + 1))[16 * i:]
    rig.send(1, payload)
    got, _ = _read_master(rig.ptys[1], 16, time.monotonic() + 10)
    return got == payload or drain(rig)


def measure(rig, count, a):
    """Every figure of one forwarder."""
    settle = a.settle
    time.sleep(2 * settle + 1)  # past its start-up
    out = {"idle_connected": idle(count, a.idle_s)}
    out["burst16"] = per_event(count, a.bursts, lambda i: burst(rig, 16, i), settle)
    out["burst1000"] = per_event(count, max(2, a.bursts // 3), lambda i: burst(rig, 1000, i), settle)
    out["to_line16"] = per_event(count, a.bursts, lambda i: to_line(rig, i), settle)
    rig.disconnect()
    time.sleep(3 + settle)  # the daemon finds the link gone and goes to its reconnect wait
    out["idle_offline"] = idle(count, a.idle_s)
    return out


def run_daemon(build, count, table, a):
    rig = DaemonRig(os.path.join(build, "sandbox", "qysc"), table, prefix=count.prefix,
                    timeout=120.0)
    try:
        count.bind(rig.pids[0])
        return measure(rig, count, a)
    finally:
        rig.close()


def run_ser2net(count, command, a):
    rig = Ser2netRig(command=count.prefix + command)
    try:
        count.bind(rig.pids[0])
        return measure(rig, count, a)
    finally:
        rig.close()


def fetch_ser2net(folder):
    """Debian's armel ser2net and its libraries unpacked below folder/root,
    and the termios2 shim qemu 7.2 needs (folder/termios2_shim.so): the
    command to run it, or None with the reason printed."""
    root, debs = os.path.join(folder, "root"), os.path.join(folder, "debs")
    if not os.path.exists(os.path.join(root, "usr/sbin/ser2net")):
        os.makedirs(debs, exist_ok=True)
        got = subprocess.run(["apt-get", "download"] + [p + ":armel" for p in SER2NET_DEBS],
                             cwd=debs, capture_output=True, text=True)
        if got.returncode != 0:
            print("ser2net (armel): apt-get download failed, left out:\n" + got.stderr[-800:])
            return None
        for deb in glob.glob(os.path.join(debs, "*.deb")):
            subprocess.run(["dpkg", "-x", deb, root], check=True)
    return ["-E", "LD_PRELOAD=" + termios2_shim(folder, "arm-linux-gnueabi-gcc"), "-L", root,
            os.path.join(root, "usr/sbin/ser2net")]


def termios2_shim(folder, cc):
    """The termios2 shim built with cc (qemu's user mode lacks those ioctls
    for every guest)."""
    shim = os.path.join(folder, "termios2_shim-%s.so" % cc.split("-")[0])
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", shim,
                    os.path.join(ROOT, "bench", "board", "termios2_shim.c"), "-ldl"], check=True)
    return shim


def attempt(run):
    """One forwarder's figures, or the error that ended its run (the
    others still run)."""
    try:
        return run()
    except Exception as e:  # noqa: BLE001 - reported with the figures
        print("  failed: %r" % e, flush=True)
        return {"error": repr(e)}


def board_time(insns):
    return " / ".join("%.0f" % (insns * c / MHZ) for c in CPI)


def report(results):
    print("instructions (net of an empty window as long; gross in brackets); "
          "µs at %d MHz for CPI %s" % (MHZ, " / ".join(map(str, CPI))))
    for name, r in results.items():
        print("\n" + name)
        if "error" in r:
            print("  (failed: %s)" % r["error"])
            continue
        for key, what in (("idle_connected", "an idle second, connected"),
                          ("idle_offline", "an idle second, offline")):
            d = r.get(key)
            if d:
                per_s = d["insns"] / d["seconds"]
                calls = {k: round(v / d["seconds"], 1) for k, v in sorted(d["calls"].items())}
                print("  %-32s %10.0f insns/s = %s µs/s%s" % (what, per_s, board_time(per_s),
                                                            ("  calls/s %s" % calls) if calls else ""))
        for key, what in (("burst16", "one 16-byte burst"), ("burst1000", "one 1000-byte burst"),
                          ("to_line16", "a server packet to a line (16 B)")):
            d = r.get(key)
            if d:
                calls = {k: v for k, v in d["calls"].items() if abs(v) >= 0.05}
                print("  %-32s %10.0f (%.0f) insns = %s µs%s" % (
                    what, d["net"], d["gross"], board_time(d["net"]),
                    ("  calls %s" % calls) if calls else ""))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--board", default=os.path.join(ROOT, "build", "armv5te"))
    ap.add_argument("--host", default=os.path.join(ROOT, "build", "host-release"))
    ap.add_argument("--before-board")
    ap.add_argument("--before-host")
    ap.add_argument("--ser2net", action="store_true",
                    help="also ser2net: Debian's armel one under qemu, the host's under callgrind")
    ap.add_argument("--ser2net-dir", default=os.path.join(ROOT, "build", "ser2net-armel"),
                    help="where the armel packages are unpacked (fetched with apt-get download)")
    ap.add_argument("--host-qemu", action="store_true",
                    help="the host builds also under qemu-x86_64 with the plugin (exact counts "
                         "where callgrind's slowdown blurs a busy loop's)")
    ap.add_argument("--bursts", type=int, default=30)
    ap.add_argument("--idle-s", type=float, default=10.0)
    ap.add_argument("--settle", type=float, default=0.05,
                    help="seconds after an arrival before the window closes")
    ap.add_argument("--json")
    ap.add_argument("--smoke", action="store_true")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="loopcost-")
    results = {}
    try:
        if a.smoke:
            if not shutil.which("valgrind"):
                print("smoke: skipped, no valgrind (tools/install-deps.sh)")
                return 77
            a.bursts, a.idle_s = 3, 1.0
            table = encode_table(a.host)
            results["host (callgrind)"] = run_daemon(a.host, CallgrindCount(work, "smoke"), table, a)
            report(results)
            ok = (results["host (callgrind)"]["burst16"] or {}).get("n") == 3
            print("smoke:", "ok" if ok else "FAILED")
            return 0 if ok else 1
        plugin = build_plugin(work)
        hosts = ["callgrind"] + (["qemu-x86_64"] if a.host_qemu else [])
        runs = [("board, after", a.board, "qemu-arm")]
        runs += [("host (%s), after" % h, a.host, h) for h in hosts]
        runs += [("board, before", a.before_board, "qemu-arm")] if a.before_board else []
        runs += [("host (%s), before" % h, a.before_host, h) for h in hosts] if a.before_host else []
        for name, build, how in runs:
            print("%s: %s ..." % (name, build), flush=True)
            results[name] = attempt(lambda: run_daemon(
                os.path.abspath(build), counter(how, work, plugin, name), encode_table(build), a))
        if a.ser2net:
            command = fetch_ser2net(os.path.abspath(a.ser2net_dir))
            if command:
                print("ser2net, board ...", flush=True)
                results["ser2net (armel), board"] = attempt(lambda: run_ser2net(
                    counter("qemu-arm", work, plugin, "ser2net-board"), command, a))
            for h in hosts:
                print("ser2net, host (%s) ..." % h, flush=True)
                shim = ["-E", "LD_PRELOAD=" + termios2_shim(work, "cc")] if h != "callgrind" else []
                results["ser2net, host (%s)" % h] = attempt(lambda h=h, shim=shim: run_ser2net(
                    counter(h, work, plugin, "ser2net-" + h), shim + ["/usr/sbin/ser2net"], a))
        report(results)
        if a.json:
            with open(a.json, "w") as f:
                json.dump({"date": time.strftime("%Y-%m-%d"), "argv": sys.argv, "mhz": MHZ, "cpi": CPI,
                           "results": results}, f, indent=1, sort_keys=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
