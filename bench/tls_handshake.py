"""The secure link's cost on the board, from the cross build:

  * instructions of a full and of a resumed handshake under
    qemu-arm -cpu pxa270 (a TCG plugin, bench/board/insn_count.c, counts
    every executed guest instruction), and the time they take at 520 MHz
    for an assumed number of cycles per instruction;
  * bytes and round trips of both (the daemon's own count, its log line);
  * the arena's high water;
  * the daemon's resident memory (the guest's pages resident under qemu)
    online over the plain link and over TLS, and with a build without the
    secure link (--baseline);
  * the stripped size and what each archive adds to qysc (its link map).

    python3 -m bench.tls_handshake [--build build/armv5te] [--baseline DIR] [--smoke]

--baseline names the armv5te build folder of the daemon without the secure
link. --smoke runs the bench tool three times on the host build and only
checks that it works. Everything is bounded (the hub's own 10 minutes,
every run's time-out) and ended by its PID."""

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from trmkit.gwserver import GatewayServer
from trmkit.procs import ROOT, LineProcess, Process, module_argv, module_env
from trmkit.sandbox import CONFIG, MODEM, MODEM_OK, Sandbox, daemon_config, load_encode_table
from trmkit.tlspeer import Pki, TlsGatewayServer, board_files
from trmkit.wait import wait_until

QEMU = ["qemu-arm", "-cpu", "pxa270"]
MHZ = 520
CPI = (1.0, 1.5, 2.0)  # assumed cycles per instruction of the PXA270 on this code


class Hub:
    """bench.board.tls_hub serving qysc_tlsbench in the sandbox `root`."""

    def __init__(self, root):
        self.root = root
        self.proc = LineProcess("tls_hub", module_argv("bench.board.tls_hub", root), cwd=ROOT,
                                env=module_env())
        self.proc.wait_line(lambda line: line.startswith("port"), 60)

    def stop(self):
        open(os.path.join(self.root, "stop"), "w").close()
        try:
            return self.proc.wait_line(lambda line: line.startswith("reused"), 10)[1]
        except TimeoutError:
            return "the hub did not report"
        finally:
            self.proc.stop()


def build_plugin(root):
    so = os.path.join(root, "insn_count.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", so,
                    os.path.join(ROOT, "bench", "board", "insn_count.c")], check=True)
    return so


def counted(tool, root, plugin, *args):
    """(instructions, distinct 4 KB code pages, output) of one run."""
    out = os.path.join(root, "count.txt")
    cmd = QEMU + ["-plugin", "%s,out=%s" % (plugin, out), tool] + [str(a) for a in args]
    run = subprocess.run(cmd, cwd=root, capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), run.stdout[-2000:]))
    with open(out) as f:
        fields = f.read().split()
    return int(fields[1]), int(fields[3]), run.stdout


def handshakes(tool, root, plugin):
    runs = {name: counted(tool, root, plugin, n) for name, n in (("start", 0), ("full", 1), ("both", 2))}
    text = runs["both"][2]
    lines = re.findall(r"handshake done, (\w+), ([^,]+), (\d+) bytes out, (\d+) in, (\d+) round trips",
                       text)
    arena = re.search(r"arena high water (\d+), peak (\d+)", text)
    return runs, lines, arena


def register_file(pid, base):
    """The guest pages of the sandbox's register file (/dev/mem on the
    board: device registers, not memory)."""
    pages = set()
    with open("/proc/%d/maps" % pid) as f:
        for line in f:
            m = re.match(r"^([0-9a-f]+)-([0-9a-f]+) .*/board/dev/mem$", line.strip())
            if m:
                lo, hi = (int(m.group(i), 16) - base for i in (1, 2))
                pages.update(range(lo >> 12, hi >> 12))
    return pages


def guest_rss_kb(pid, base):
    """(Rss, Anonymous) KB of the guest's own mappings as the host holds
    them: the 4 GB from qemu's guest base (its code, data, bss, heap,
    stack; not qemu's own). The host maps file pages around each fault
    (fault-around), so Rss is an upper bound for the file-backed part."""
    total, anon, inside = 0, 0, False
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            m = re.match(r"^([0-9a-f]+)-([0-9a-f]+) ", line)
            if m:
                start, end = int(m.group(1), 16), int(m.group(2), 16)
                inside = start >= base and end <= base + (1 << 32)
            elif inside and line.startswith("Rss:"):
                total += int(line.split()[1])
            elif inside and line.startswith("Anonymous:"):
                anon += int(line.split()[1])
    return total, anon


def touched_pages(path, since, timeout=10.0):
    """The pages the guest touched, from the plugin's report written after
    `since` (it writes at most once a second)."""
    wait_until(lambda: os.path.exists(path) and os.path.getmtime(path) > since, timeout,
               what="the plugin's report")
    with open(path) as f:
        return {int(line, 16) for line in f.read().splitlines()[1:]}


def segments(binary):
    """(name, first page, end page) of the program's allocated sections,
    the small ones folded into the section before them."""
    out = subprocess.run(["arm-linux-gnueabi-readelf", "-SW", binary], capture_output=True,
                         text=True, check=True).stdout
    parts = []
    for m in re.finditer(r"\]\s+(\S+)\s+\S+\s+([0-9a-f]{8}) [0-9a-f]+ ([0-9a-f]+) \S+\s+(\S*A\S*)",
                         out):
        name, addr, size = m.group(1), int(m.group(2), 16), int(m.group(3), 16)
        if addr == 0 or size == 0:
            continue
        if name in (".text", ".rodata", ".data", ".bss") or not parts:
            parts.append([name, addr >> 12, (addr + size + 4095) >> 12])
        else:
            parts[-1][2] = max(parts[-1][2], (addr + size + 4095) >> 12)
    return parts


def by_segment(pages, parts):
    """KB of `pages` per section of the program (`parts`, from segments);
    "other" is the heap, the stack and mappings."""
    kb = collections.Counter()
    for page in pages:
        name = next((n for n, lo, hi in parts if lo <= page < hi), "other")
        kb[name] += 4
    return kb


def gateway_pki(folder):
    pki = Pki(folder)
    pki.make_ca("factory")
    pki.issue("gw", "factory", "127.0.0.101")
    return pki


def board_sandbox(pki=None, port=0, server="127.0.0.1"):
    sb = Sandbox(prefix="tlsbench-rss-")
    sb.make_register_file()
    sb.add_pty("/dev/ttyS1")
    sb.add_pty("/dev/ttyS2")
    sb.write_file(MODEM, MODEM_OK)
    sb.write_file(CONFIG, daemon_config(server, port))
    if pki is not None:
        board_files(sb, pki)
    return sb


def encode_table(build):
    """The scrambling table the build compiled in (its CMake cache)."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        path = re.search(r"^ENCODE_TABLE:FILEPATH=(.*)$", f.read(), re.M).group(1)
    return load_encode_table(path)


def daemon_rss(build, plugin, pki=None):
    """The build's sandbox daemon 3 s after its init packet, over the plain
    link (pki None) or TLS: (KB of the pages it touched, host Rss KB, host
    anonymous KB) and the KB touched per section of the program."""
    table = encode_table(build)
    if pki is None:
        server = GatewayServer(table)
    else:
        ctx = pki.hub_context()
        server = TlsGatewayServer(ctx, table=table)
    qysc = os.path.join(build, "sandbox", "qysc")
    sb = board_sandbox(pki, server.port)
    try:
        log, out = os.path.join(sb.dir, "qemu.log"), os.path.join(sb.dir, "touched.txt")
        plug = "%s,out=%s,touch=1" % (plugin, out)
        daemon = Process(QEMU + ["-d", "page", "-D", log, "-plugin", plug, qysc], sb.dir)
        sb.procs.append(daemon)
        link = server.accept(60)
        assert link.next_packet(timeout=30).type == 0
        daemon.collect(3)
        with open(log) as f:
            base = int(re.search(r"Locating guest address space @ (0x[0-9a-f]+)", f.read()).group(1), 16)
        host = guest_rss_kb(daemon.pid, base)
        pages = touched_pages(out, time.time()) - register_file(daemon.pid, base)
        return (4 * len(pages),) + host, by_segment(pages, segments(qysc))
    finally:
        server.close()
        sb.close()


def archive_sizes(mapfile):
    """Bytes of .text/.rodata/.data/.bss input sections per archive."""
    sizes = collections.defaultdict(collections.Counter)
    pending = None
    rx = re.compile(r"^ (\.(text|rodata|data|bss)[^\s]*)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)")
    with open(mapfile) as f:
        for line in f:
            m = re.match(r"^ (\.(text|rodata|data|bss)[^\s]*)\s*$", line)
            if m:
                pending = m.group(2)
                continue
            m = rx.match(line)
            if not m:
                pending = None
                continue
            kind, pending = m.group(2) or pending, None
            if kind is None or int(m.group(3), 16) == 0:
                continue  # discarded or not placed
            obj = m.group(5)
            lib = os.path.basename(obj.split("(")[0]) if "(" in obj else "objects"
            sizes[lib][kind] += int(m.group(4), 16)
    return sizes


def stripped(binary):
    tmp = binary + ".stripped"
    subprocess.run(["arm-linux-gnueabi-strip", "-o", tmp, binary], check=True)
    n = os.path.getsize(tmp)
    size = subprocess.run(["arm-linux-gnueabi-size", tmp], capture_output=True, text=True, check=True)
    os.unlink(tmp)
    return n, size.stdout.splitlines()[-1].split()[:3]


def report_handshakes(runs, lines, arena):
    i0, p0, _ = runs["start"]
    i1, _, _ = runs["full"]
    i2, p2, _ = runs["both"]
    print("instructions: start only %d, +1 full handshake %d, +1 full +1 resumed %d" % (i0, i1, i2))
    for name, n in (("full handshake", i1 - i0), ("resumed handshake", i2 - i1)):
        ms = ", ".join("%.0f" % (n * c / MHZ / 1000) for c in CPI)
        print("%s: %d instructions = %s ms at %d MHz for CPI %s" % (name, n, ms, MHZ,
                                                                  " / ".join(map(str, CPI))))
    for kind, suite, out, inn, rt in lines:
        print("%s handshake: %s, %s bytes out, %s in, %s round trips" % (kind, suite, out, inn, rt))
    print("code pages run: start only %d, with both handshakes %d (+%d KB)" % (p0, p2, (p2 - p0) * 4))
    if arena:
        print("arena: high water %s bytes, peak in use %s bytes" % arena.groups())


def report_sizes(a, pki, plugin):
    builds = [("with the secure link", a.build)] + ([("without it", a.baseline)] if a.baseline else [])
    for name, build in builds:
        n, (text, data, bss) = stripped(os.path.join(build, "qysc", "qysc"))
        print("qysc %s: stripped %d bytes (text %s, data %s, bss %s)" % (name, n, text, data, bss))
    runs = [("plain link", a.build, None), ("TLS, after a full handshake", a.build, pki)]
    if a.baseline:
        runs.append(("build without the secure link", a.baseline, None))
    print("resident online, 3 s after the init packet: KB of pages touched / host Rss / host"
          " anonymous; the pages touched by section")
    for name, build, p in runs:
        figures, parts = daemon_rss(build, plugin, p)
        print("  %-30s %5d %5d %5d   %s" % ((name,) + figures + (
            " ".join("%s %d" % kv for kv in sorted(parts.items())),)))
    maps = [("with", os.path.join(a.build, "qysc", "qysc.map"))]
    if a.baseline and os.path.exists(os.path.join(a.baseline, "qysc.map")):
        maps.append(("without", os.path.join(a.baseline, "qysc.map")))
    for name, mapfile in maps:
        print("by archive, %s the secure link (text / rodata / data / bss):" % name)
        for lib, c in sorted(archive_sizes(mapfile).items(), key=lambda kv: -sum(kv[1].values())):
            print("  %-22s %7d %7d %6d %6d" % (lib, c["text"], c["rodata"], c["data"], c["bss"]))


def smoke(root):
    out = subprocess.run([os.path.join(ROOT, "build", "host-release", "tools", "qysc_tlsbench"), "3"],
                         cwd=root, capture_output=True, text=True, timeout=60)
    ok = out.returncode == 0 and "in use 0 in 0 blocks" in out.stdout
    print("smoke:", "ok" if ok else "FAILED\n" + out.stdout[-2000:])
    return 0 if ok else 1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "armv5te"))
    ap.add_argument("--baseline")
    ap.add_argument("--smoke", action="store_true")
    a = ap.parse_args()
    a.build = os.path.abspath(a.build)
    a.baseline = a.baseline and os.path.abspath(a.baseline)
    root = tempfile.mkdtemp(prefix="tlsbench-")
    try:
        plugin = build_plugin(root)
        hub = Hub(root)
        try:
            if a.smoke:
                return smoke(root)
            print(time.strftime("%Y-%m-%d"), "qemu-arm -cpu pxa270,", a.build)
            tool = os.path.join(a.build, "tools", "qysc_tlsbench")
            report_handshakes(*handshakes(tool, root, plugin))
        finally:
            print("hub:", hub.stop())
        report_sizes(a, gateway_pki(os.path.join(root, "rss-pki")), plugin)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
