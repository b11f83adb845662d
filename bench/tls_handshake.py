#!/usr/bin/env python3
"""The secure link's cost on the board: instructions of a full and of a
resumed handshake under qemu-arm -cpu pxa270 (one instruction per
translation block, qemu's execution log counted), bytes and round trips,
the text pages the handshake runs through, the arena's high water, and
what the library adds to qysc by archive (the link map).

    bench/tls_handshake.py [--build build/armv5te] [--baseline DIR] [--smoke]

--baseline names the armv5te build folder of the daemon without the secure
link (a build of the commit before it) for the size without TLS. --smoke
runs the program once on the host build's tool and only checks it works."""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
QEMU = ["qemu-arm", "-cpu", "pxa270"]
CPI = (1.3, 1.5)
MHZ = 520


def start_hub(root):
    hub = subprocess.Popen([sys.executable, os.path.join(HERE, "board", "tls_hub.py"), root],
                           stdout=subprocess.PIPE, text=True)
    line = hub.stdout.readline()
    assert line.startswith("port"), line
    return hub


def stop_hub(root, hub):
    open(os.path.join(root, "stop"), "w").close()
    out = hub.communicate(timeout=30)[0]
    return out.strip()


# Counts the execution log's lines and the distinct 4 KB pages of their
# guest PCs at C speed (mawk), so the guest is not slowed past its bounds.
COUNT = ("mawk -F/ '/^Trace/ {n++; p = substr($2, 1, 5); if (p != last) {seen[p] = 1; last = p}}"
         " END {print n, length(seen)}'")


def run_counted(tool, root, args):
    """(instructions, distinct 4 KB text pages, stdout) of one run; the
    execution log streams through a pipe (a full handshake's is gigabytes)."""
    out = os.path.join(root, "run.out")
    cmd = "%s -singlestep -d exec,nochain -D /dev/fd/3 %s %s 3>&1 >%s | %s" % (
        " ".join(QEMU), tool, " ".join(args), out, COUNT)
    counted = subprocess.run(["bash", "-c", cmd], cwd=root, capture_output=True, text=True,
                             timeout=1800).stdout.split()
    with open(out) as f:
        text = f.read()
    return int(counted[0]), int(counted[1]), text


def handshake_figures(tool, root):
    runs = {}
    for name, args in (("start", ["0"]), ("full", ["1"]), ("full+resumed", ["2"])):
        runs[name] = run_counted(tool, root, args)
    lines = re.findall(r"handshake done, (\w+), ([^,]+), (\d+) bytes out, (\d+) in, (\d+) round trips",
                       runs["full+resumed"][2])
    arena = re.search(r"arena high water (\d+), peak (\d+)", runs["full+resumed"][2])
    return runs, lines, arena


def archive_sizes(mapfile):
    """Bytes of .text/.rodata/.data/.bss input sections per archive."""
    sizes = collections.defaultdict(lambda: collections.Counter())
    pending = None
    rx = re.compile(r"^ (\.(text|rodata|data|bss|tbss|tdata)[^\s]*)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)")
    with open(mapfile) as f:
        for line in f:
            if line.startswith("Discarded"):
                continue
            m = re.match(r"^ (\.(text|rodata|data|bss)[^\s]*)\s*$", line)
            if m:
                pending = m.group(2)
                continue
            m = rx.match(line)
            if not m:
                pending = None
                continue
            kind = m.group(2) or pending
            pending = None
            if kind is None or int(m.group(3), 16) == 0:
                continue
            obj = m.group(5)
            lib = os.path.basename(obj.split("(")[0]) if "(" in obj else "objects"
            sizes[lib][kind] += int(m.group(4), 16)
    return sizes


def stripped_size(binary):
    tmp = binary + ".stripped"
    subprocess.run(["arm-linux-gnueabi-strip", "-o", tmp, binary], check=True)
    n = os.path.getsize(tmp)
    size = subprocess.run(["arm-linux-gnueabi-size", tmp], capture_output=True, text=True).stdout
    os.unlink(tmp)
    return n, size.splitlines()[-1].split()[:4]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/armv5te")
    ap.add_argument("--baseline")
    ap.add_argument("--smoke", action="store_true")
    a = ap.parse_args()
    root = tempfile.mkdtemp(prefix="tlsbench-")
    hub = None
    try:
        hub = start_hub(root)
        if a.smoke:
            out = subprocess.run([os.path.abspath("build/host-release/tools/qysc_tlsbench"), "3"], cwd=root,
                                 capture_output=True, text=True, timeout=60)
            print(stop_hub(root, hub))
            ok = out.returncode == 0 and "in use 0 in 0 blocks" in out.stdout
            print("smoke:", "ok" if ok else "FAILED\n" + out.stdout[-2000:])
            return 0 if ok else 1
        tool = os.path.join(os.path.abspath(a.build), "tools", "qysc_tlsbench")
        runs, lines, arena = handshake_figures(tool, root)
        print(stop_hub(root, hub))
        report(a, runs, lines, arena)
    finally:
        if hub is not None and hub.poll() is None:
            hub.kill()
            hub.wait()
        shutil.rmtree(root, ignore_errors=True)
    return 0


def report(a, runs, lines, arena):
    i0, p0, _ = runs["start"]
    i1, p1, _ = runs["full"]
    i2, p2, _ = runs["full+resumed"]
    full, resumed = i1 - i0, i2 - i1
    print("instructions: start only %d, +1 full %d, +1 full +1 resumed %d" % (i0, i1, i2))
    for name, n in (("full handshake", full), ("resumed handshake", resumed)):
        ms = ["%.0f" % (n * c / MHZ / 1000) for c in (1.0,) + CPI]
        print("%s: %d instructions = %s ms at %d MHz and CPI 1 / %.1f / %.1f" % ((name, n) + (", ".join(ms),) + (MHZ,) + CPI))
    for kind, suite, out, inn, rt in lines:
        print("%s handshake: %s, %s bytes out, %s in, %s round trips" % (kind, suite, out, inn, rt))
    print("text pages run through: start only %d, with a full and a resumed handshake %d (+%d KB)"
          % (p0, p2, (p2 - p0) * 4))
    if arena:
        print("arena: high water %s bytes, peak in use %s bytes" % arena.groups())
    qysc = os.path.join(a.build, "qysc", "qysc")
    n, fields = stripped_size(qysc)
    print("qysc stripped: %d bytes (text %s, data %s, bss %s)" % (n, fields[0], fields[1], fields[2]))
    if a.baseline:
        bn, bf = stripped_size(os.path.join(a.baseline, "qysc", "qysc"))
        print("qysc without TLS stripped: %d bytes (text %s, data %s, bss %s); TLS adds %d"
              % (bn, bf[0], bf[1], bf[2], n - bn))
    sizes = archive_sizes(os.path.join(a.build, "qysc", "qysc.map"))
    print("by archive (text / rodata / data / bss):")
    for lib, c in sorted(sizes.items(), key=lambda kv: -sum(kv[1].values())):
        print("  %-28s %7d %7d %6d %6d" % (lib, c["text"], c["rodata"], c["data"], c["bss"]))


if __name__ == "__main__":
    sys.exit(main())
