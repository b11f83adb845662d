#!/usr/bin/python3
"""Checks the board's install tree: `cmake --install` with DESTDIR gives the
one multi-call image with a link per program, the binding library with its
Python module and the sample configuration below /quarne, nothing else; the
image is built for the board (ARM, statically linked, in the cross build)
and each link runs as its program; the CPack tarball holds the same tree."""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile

from trmkit.sandbox import Process, Sandbox

PROGRAMS = ["qysc", "celmon", "simgate", "seekresp", "portprobe", "lampcheck", "dogctl"]
IMAGE = "quarne/bin/trm310"
FILES = {IMAGE, "quarne/lib/libhwbind.so", "quarne/lib/python3/dist-packages/hwbind.py",
         "quarne/qysc/qyserver.ini"}
LINKS = {"quarne/bin/" + p: "trm310" for p in PROGRAMS}
EM_ARM = 40
PT_INTERP = 3

# What a program prints first and its status when it touches no device: the
# installed image opens the host's real paths, so it runs only these.
PLAIN_RUNS = {
    "qysc": (["--ver"], 0, b"qysc version = "),
    "celmon": (["--ver"], 0, b"celmon.exe version = "),
    "simgate": ([], 0, b"version  = 2012/09/20\r\nbaudtune para1\r\n"),
}
# The others run through the same links to the sandbox image, in a sandbox
# without devices; status None: runs until it is ended.
SANDBOX_RUNS = {
    "dogctl": ([], 0, b"dogctl:\r\n\t0: disable WDT\r\n"),
    "portprobe": ([], 0, b"COM3 Test\r\nCouldn't Open COM3=2,Error Code=2\r\n"),
    "lampcheck": ([], None, b"LED0 ON! --1\nLED1 ON! --1\n"),
    "seekresp": ([], None, b"======================\r\n== seekresp\r\n"),
}


def tree_below(root):
    """(regular files, {symlink: target}) below root, relative to it."""
    files, links = set(), {}
    for d, dirs, names in os.walk(root):
        for n in names + [x for x in dirs if os.path.islink(os.path.join(d, x))]:
            path = os.path.join(d, n)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                links[rel] = os.readlink(path)
            else:
                files.add(rel)
    return files, links


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


def check_tree(name, files, links, failures):
    if files != FILES:
        failures.append("%s: files extra %s, missing %s"
                        % (name, sorted(files - FILES), sorted(FILES - files)))
    if links != LINKS:
        failures.append("%s: links %s, want %s" % (name, sorted(links.items()), sorted(LINKS.items())))


def check_binaries(dest, cross, failures):
    machine, interp = elf_facts(os.path.join(dest, IMAGE))
    if cross and (machine != EM_ARM or interp):
        failures.append("%s: machine %s, interpreter %s (want ARM, static)" % (IMAGE, machine, interp))
    if not os.access(os.path.join(dest, IMAGE), os.X_OK):
        failures.append("%s is not executable" % IMAGE)
    if cross:
        machine, _ = elf_facts(os.path.join(dest, "quarne/lib/libhwbind.so"))
        if machine != EM_ARM:
            failures.append("libhwbind.so: machine %s, want ARM" % machine)


def check_run(argv, cwd, want, failures, what):
    """Runs argv in cwd; its output must start with the bytes of want[1] and
    its status be want[0] (None: still running once that output came)."""
    status, start = want
    p = Process(argv, cwd)
    try:
        if status is None:
            p.wait_for(b"\\A" + re.escape(start), timeout=20)
            if p.proc.poll() is not None:
                failures.append("%s ended (%s), should run on" % (what, p.proc.returncode))
            return
        got = p.wait_exit(timeout=20)
        if got != status or not p.output.startswith(start):
            failures.append("%s: status %s, output %r; want %s, %r..."
                            % (what, got, p.output[:120], status, start))
    except AssertionError as e:
        failures.append("%s: %s" % (what, str(e)[:400]))
    finally:
        p.stop()


def no_network():
    """A command prefix that runs a program in a network namespace of its
    own (the discovery responder listens on every interface), or None."""
    prefix = ["unshare", "--net"] if os.geteuid() == 0 else ["unshare", "--user", "--net"]
    try:
        ok = subprocess.run(prefix + ["true"], capture_output=True, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    return prefix if ok else None


def check_links_run(dest, build, emulator, failures):
    bindir = os.path.join(dest, "quarne/bin")
    image = os.path.join(bindir, "trm310")
    with tempfile.TemporaryDirectory() as cwd:
        for name, (args, status, start) in PLAIN_RUNS.items():
            check_run(emulator + [os.path.join(bindir, name)] + args, cwd, (status, start),
                      failures, name)
        check_run(emulator + [image], cwd, (2, b"Usage: trm310 PROGRAM [ARGUMENTS]...\n"),
                  failures, "trm310")
        listed = subprocess.run(emulator + [image, "--list"], capture_output=True,
                                timeout=20).stdout.decode().split()
        if listed != PROGRAMS:
            failures.append("trm310 --list: %s" % listed)
    # The installed links, now leading to the sandbox image.
    shutil.copy(os.path.join(build, "sandbox", "trm310"), image)
    with Sandbox(prefix="trm310-install-") as sb:
        for name, (args, status, start) in SANDBOX_RUNS.items():
            prefix = no_network() if name == "seekresp" else []
            if prefix is None:
                print("seekresp not run: no network namespace of its own here")
                continue
            check_run(prefix + emulator + [os.path.join(bindir, name)] + args, sb.dir,
                      (status, start), failures, name)
        check_run(emulator + [image, "dogctl"], sb.dir, SANDBOX_RUNS["dogctl"][1:],
                  failures, "trm310 dogctl")


def check_tarball(build, failures):
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["cpack", "-G", "TGZ", "-B", out, "--config",
                        os.path.join(build, "CPackConfig.cmake")], check=True,
                       stdout=subprocess.DEVNULL, cwd=build)
        tarballs = [n for n in os.listdir(out) if n.endswith(".tar.gz")]
        if len(tarballs) != 1:
            failures.append("cpack made %s" % tarballs)
            return
        with tarfile.open(os.path.join(out, tarballs[0])) as t:
            members = t.getmembers()
        files = {m.name.lstrip("./") for m in members if m.isfile()}
        links = {m.name.lstrip("./"): m.linkname for m in members if m.issym()}
        check_tree("tarball", files, links, failures)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--cross", default="0")
    ap.add_argument("--emulator", default="", help="command prefix for board binaries")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    cross = args.cross in ("1", "ON", "TRUE", "true")
    failures = []

    with tempfile.TemporaryDirectory() as dest:
        env = dict(os.environ, DESTDIR=dest)
        subprocess.run(["cmake", "--install", build], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        files, links = tree_below(dest)
        check_tree("install tree", files, links, failures)
        if IMAGE in files:
            check_binaries(dest, cross, failures)
            check_links_run(dest, build, args.emulator.split(), failures)
    check_tarball(build, failures)

    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
