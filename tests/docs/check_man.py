#!/usr/bin/python3
"""The manual pages render with groff without a warning, and trm-hub(8)
names every option `trm-hub --help` lists and lists exactly the routes of
the hub's route table (as hub_routes prints it: the table itself, not a
reading of its source)."""

import argparse
import os
import re
import shlex
import subprocess
import sys

PAGES = ("qysc.8", "trm-hub.8", "trm-hub.toml.5")


def render(path):
    """The page as plain text, and groff's warnings."""
    env = dict(os.environ, GROFF_NO_SGR="1", LC_ALL="C.UTF-8")
    r = subprocess.run(["groff", "-man", "-Tutf8", "-ww", path],
                       capture_output=True, text=True, env=env, check=False)
    text = re.sub(".\b", "", r.stdout)              # overstrike bold and underline
    text = re.sub("\u2010\n\\s*", "", text)          # words hyphenated at a line end
    text = text.replace("\u2010", "-").replace("\u2212", "-")
    return text, r.stderr.strip() or ("groff exit status %d" % r.returncode if r.returncode else "")


def help_options(hub):
    out = subprocess.run([hub, "--help"], capture_output=True, text=True, check=True).stdout
    return re.findall(r"^\s+(-[-\w]+)(?:, (--[-\w]+))?", out, re.M)


def table_routes(program):
    """(method, pattern) of each row, every capture written {}."""
    out = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    return sorted((m, re.sub(r"\{[^}]*\}", "{}", p)) for m, p, _ in (l.split() for l in out.splitlines()))


def man_routes(path):
    """(method, pattern) of each tag in trm-hub(8)'s HTTP section: .B "GET /x",
    or .BI with the italic parts (the captures) written {}."""
    with open(path, encoding="utf-8") as f:
        section = f.read().split("\n.SS HTTP\n", 1)[1]
    section = re.split(r"\n\.S[HS] ", section, 1)[0].splitlines()
    routes = []
    for prev, line in zip(section, section[1:]):
        macro, _, rest = line.partition(" ")
        if prev not in (".TP", ".TQ") or macro not in (".B", ".BI"):
            continue
        words = shlex.split(rest)
        text = " ".join(words) if macro == ".B" else "".join(
            w if i % 2 == 0 else "{}" for i, w in enumerate(words))
        routes.append(tuple(text.split(" ", 1)))
    return sorted(routes)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hub", required=True)
    ap.add_argument("--routes", required=True, help="the program that prints the route table")
    ap.add_argument("--man", required=True)
    args = ap.parse_args()
    failures = []
    texts = {}
    for page in PAGES:
        texts[page], warnings = render(os.path.join(args.man, page))
        if warnings:
            failures.append("%s: %s" % (page, warnings))
    options = [o for pair in help_options(args.hub) for o in pair if o]
    if len(options) < 10:
        failures.append("trm-hub --help listed only %s" % options)
    for opt in options:
        if not re.search(r"(^|[\s\[,])%s(?![-\w])" % re.escape(opt), texts["trm-hub.8"]):
            failures.append("trm-hub.8 does not name %s" % opt)
    table, man = table_routes(args.routes), man_routes(os.path.join(args.man, "trm-hub.8"))
    if len(table) < 20:
        failures.append("the route table has only %s" % table)
    for r in sorted(set(table) - set(man)):
        failures.append("trm-hub.8 does not list the route %s %s" % r)
    for r in sorted(set(man) - set(table)):
        failures.append("trm-hub.8 lists %s %s, which is not in the route table" % r)
    for r in sorted({r for r in man if man.count(r) > 1}):
        failures.append("trm-hub.8 lists %s %s twice" % r)
    for f in failures:
        print("FAIL", f)
    print("%d options, %d routes, %d pages checked" % (len(options), len(table), len(PAGES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
