#!/usr/bin/python3
"""Checks the board's install tree: `cmake --install` with DESTDIR gives the
programs, the binding library with its Python module and the sample
configuration below /quarne, nothing else; the programs are built for the
board (ARM, statically linked, in the cross build); the CPack tarball holds
the same tree."""

import argparse
import os
import struct
import subprocess
import sys
import tarfile
import tempfile

EXPECTED = {
    "quarne/bin/qysc", "quarne/bin/celmon", "quarne/bin/simgate", "quarne/bin/seekresp",
    "quarne/bin/portprobe", "quarne/bin/lampcheck", "quarne/bin/dogctl",
    "quarne/lib/libhwbind.so", "quarne/lib/python3/dist-packages/hwbind.py",
    "quarne/qysc/qyserver.ini",
}
EM_ARM = 40
PT_INTERP = 3


def files_below(root):
    out = set()
    for d, _, names in os.walk(root):
        for n in names:
            out.add(os.path.relpath(os.path.join(d, n), root))
    return out


def elf_facts(path):
    """(machine, has an interpreter) of a 32- or 64-bit little-endian ELF file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        return None, None
    is64 = data[4] == 2
    machine = struct.unpack_from("<H", data, 18)[0]
    if is64:
        phoff, = struct.unpack_from("<Q", data, 32)
        phentsize, phnum = struct.unpack_from("<HH", data, 54)
    else:
        phoff, = struct.unpack_from("<I", data, 28)
        phentsize, phnum = struct.unpack_from("<HH", data, 42)
    interp = any(struct.unpack_from("<I", data, phoff + i * phentsize)[0] == PT_INTERP
                 for i in range(phnum))
    return machine, interp


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--cross", default="0")
    args = ap.parse_args()
    cross = args.cross in ("1", "ON", "TRUE", "true")
    failures = []

    with tempfile.TemporaryDirectory() as dest:
        env = dict(os.environ, DESTDIR=dest)
        subprocess.run(["cmake", "--install", args.build], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        got = files_below(dest)
        if got != EXPECTED:
            failures.append("install tree: extra %s, missing %s"
                            % (sorted(got - EXPECTED), sorted(EXPECTED - got)))
        for rel in sorted(p for p in got if p.startswith("quarne/bin/")):
            machine, interp = elf_facts(os.path.join(dest, rel))
            if cross and (machine != EM_ARM or interp):
                failures.append("%s: machine %s, interpreter %s (want ARM, static)"
                                % (rel, machine, interp))
            if not os.access(os.path.join(dest, rel), os.X_OK):
                failures.append("%s is not executable" % rel)
        if cross:
            machine, _ = elf_facts(os.path.join(dest, "quarne/lib/libhwbind.so"))
            if machine != EM_ARM:
                failures.append("libhwbind.so: machine %s, want ARM" % machine)

    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["cpack", "-G", "TGZ", "-B", out, "--config",
                        os.path.join(args.build, "CPackConfig.cmake")], check=True,
                       stdout=subprocess.DEVNULL, cwd=args.build)
        tarballs = [n for n in os.listdir(out) if n.endswith(".tar.gz")]
        if len(tarballs) != 1:
            failures.append("cpack made %s" % tarballs)
        else:
            with tarfile.open(os.path.join(out, tarballs[0])) as t:
                names = {m.name.lstrip("./") for m in t.getmembers() if m.isfile()}
            if names != EXPECTED:
                failures.append("tarball: extra %s, missing %s"
                                % (sorted(names - EXPECTED), sorted(EXPECTED - names)))

    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
