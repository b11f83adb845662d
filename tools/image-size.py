#!/usr/bin/python3
"""What a static link pulled in, from GNU ld's link map (-Wl,-Map=FILE).

    tools/image-size.py MAP [MAP...] [--top N] [--markdown]
    tools/image-size.py MAP --image FILE --budget BYTES [--forbid ARCHIVE...]

Sums the input sections that landed in the program by part: each of our
folders (qysc, celmon, ..., the board libraries by archive), each archive
of the toolchain (libc.a, libstdc++.a, libgcc.a, ...) and the start files.
"flash" is what the file carries (code, constants, initialised data), "ram"
what only takes memory (.bss). With several maps, one column per map and
their sum. --top lists the largest members of the first map with the chain
of references that pulled each in, down to our own object.

With --image and --budget: fails (status 1) when the file is larger than the
budget or a --forbid archive (e.g. libstdc++.a) was linked in."""

import argparse
import collections
import os
import re
import sys

RAM_OUTPUT = (".bss", ".tbss", "__libc_freeres_ptrs")
NOT_LOADED = (".comment", ".debug", ".ARM.attributes", ".gnu.attributes", ".note.gnu.gold",
              ".stab", "/DISCARD/")
KEYWORDS = ("LOAD", "OUTPUT", "START", "END", "Linker", "Memory", "Name", "*default*")
TOOLCHAIN = re.compile(r"^/(usr|lib)/")
INPUT = re.compile(r"^ (\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")


def short(path):
    """A readable name: toolchain files by their base name, ours relative to
    the build directory without the CMakeFiles/<target>.dir detour."""
    if TOOLCHAIN.match(path):
        return re.sub(r"^.*/", "", path.split("(")[0]) + (path[path.index("("):] if "(" in path else "")
    return re.sub(r"CMakeFiles/[^/]+\.dir/", "", path)


def part_of(path):
    name = short(path)
    archive = name.split("(")[0]
    if TOOLCHAIN.match(path):
        return archive if archive.endswith(".a") else "start files (crt*.o)"
    folder = archive.split("/")[0] if "/" in archive else archive
    if folder == "src":
        return "board libraries: " + os.path.basename(archive)
    if folder.endswith(".a"):
        return folder  # libraries at the top of the build tree (encode table)
    return folder


def parse(path):
    """({file: [flash, ram]}, {member: (puller, symbol)})."""
    with open(path) as f:
        text = f.read()
    head, _, rest = text.partition("Linker script and memory map")
    pulled = parse_pulls(head.split("Discarded input sections")[0])
    sizes = collections.defaultdict(lambda: [0, 0])
    out, pending = None, None
    for line in rest.split("\n"):
        if line and not line.startswith(" "):
            word = line.split()[0]
            if not word.startswith(KEYWORDS):
                out = word
            pending = None
            continue
        m = INPUT.match(line)
        if m is None:
            bare = re.match(r"^ (\S+)\s*$", line)
            pending = bare.group(1) if bare and not bare.group(1).startswith("*") else None
            continue
        section = m.group(1) or pending
        pending = None
        size = int(m.group(3), 16)
        if out is None or out.startswith(NOT_LOADED) or section is None or size == 0:
            continue
        if section.startswith("*"):
            continue  # *fill* and the like
        ram = out.startswith(RAM_OUTPUT) or section.startswith((".bss", ".tbss", "COMMON"))
        sizes[m.group(4).strip()][1 if ram else 0] += size
    return sizes, pulled


def parse_pulls(text):
    pulled = {}
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if not line or line.startswith((" ", "Archive member")):
            continue
        member, _, inline = line.partition(" ")
        by = inline.strip() or (lines[i + 1].strip() if i + 1 < len(lines) else "")
        m = re.match(r"^(\S+) \((.*)\)$", by)
        if m:
            pulled[member] = (m.group(1), m.group(2))
    return pulled


def by_part(sizes):
    parts = collections.defaultdict(lambda: [0, 0])
    for path, (flash, ram) in sizes.items():
        p = parts[part_of(path)]
        p[0] += flash
        p[1] += ram
    return parts


def chain(member, pulled):
    """member <- what referenced it <- ... down to our own object."""
    steps, seen = [], set()
    while member in pulled and member not in seen:
        seen.add(member)
        by, symbol = pulled[member]
        steps.append("%s (%s)" % (short(by), symbol))
        if not TOOLCHAIN.match(by):
            break
        member = by
    return " <- ".join(steps)


def kib(n):
    return "%.1f" % (n / 1024.0)


def print_table(headers, rows, markdown):
    if markdown:
        print("| " + " | ".join(headers) + " |")
        print("|" + "---|" * len(headers))
        for r in rows:
            print("| " + " | ".join(r) + " |")
        return
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    for r in [headers] + rows:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))


def report(maps, top, markdown):
    parsed = [parse(m) for m in maps]
    tables = [by_part(s) for s, _ in parsed]
    names = [os.path.basename(m).replace(".map", "") for m in maps]
    several = len(maps) > 1
    total = collections.Counter()
    for t in tables:
        for k, (flash, _) in t.items():
            total[k] += flash
    order = sorted(total, key=lambda k: -total[k])
    headers = ["part (KiB flash)"] + names + (["all"] if several else []) + ["ram KiB" if not several else ""]
    headers = [h for h in headers if h]
    rows = []
    for k in order + ["total"]:
        cells = []
        for t in tables:
            v = sum(x[0] for x in t.values()) if k == "total" else t.get(k, [0, 0])[0]
            cells.append(kib(v) if v else "")
        if several:
            cells.append(kib(sum(total.values()) if k == "total" else total[k]))
        else:
            t = tables[0]
            cells.append(kib(sum(x[1] for x in t.values()) if k == "total" else t.get(k, [0, 0])[1]))
        rows.append([k] + cells)
    print_table(headers, rows, markdown)
    if top:
        sizes, pulled = parsed[0]
        print("\nlargest members of %s:" % names[0])
        largest = sorted(sizes.items(), key=lambda kv: -kv[1][0])[:top]
        rows = [[short(p), kib(f), chain(p, pulled)] for p, (f, _) in largest]
        print_table(["member", "KiB", "pulled in by"], rows, markdown)
    return tables


def check_budget(table, image, budget, forbid):
    failures = []
    size = os.path.getsize(image)
    print("\n%s: %d bytes (%s KiB), budget %d bytes (%s KiB)" % (image, size, kib(size), budget, kib(budget)))
    if size > budget:
        failures.append("larger than its budget by %d bytes" % (size - budget))
    for archive in forbid:
        if archive in table:
            failures.append("links %s (%s KiB)" % (archive, kib(table[archive][0])))
    for f in failures:
        print("FAIL: %s %s" % (image, f))
    return 1 if failures else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("maps", nargs="+")
    ap.add_argument("--top", type=int, default=0, help="list the N largest members of the first map")
    ap.add_argument("--markdown", action="store_true")
    ap.add_argument("--image", help="the linked file whose size is held to --budget")
    ap.add_argument("--budget", type=int)
    ap.add_argument("--forbid", nargs="*", default=[], help="archives that must not be linked in")
    args = ap.parse_args()
    tables = report(args.maps, args.top, args.markdown)
    if args.image:
        return check_budget(tables[0], args.image, args.budget, args.forbid)
    return 0


if __name__ == "__main__":
    sys.exit(main())
