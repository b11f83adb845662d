#!/usr/bin/python3
"""The manual pages render with groff and with man(1) without a warning;
trm-hub(8) and trm-console(1) name every option their program's --help
lists, qyserver.ini(5) every key the daemon reads from its two files, and
trm-hub(8) lists exactly the routes of the hub's route table (as hub_routes
prints it: the table itself, not a reading of its source)."""

import argparse
import os
import re
import shlex
import subprocess
import sys

PAGES = ("qysc.8", "qyserver.ini.5", "trm-console.1", "trm-hub.8", "trm-hub.toml.5")


def render(path):
    """The page as plain text, and the warnings of groff and of man(1) at
    80 columns (man runs the page through its own preprocessors)."""
    env = dict(os.environ, GROFF_NO_SGR="1", LC_ALL="C.UTF-8", MANWIDTH="80")
    r = subprocess.run(["groff", "-man", "-Tutf8", "-ww", path],
                       capture_output=True, text=True, env=env, check=False)
    m = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", path],
                       capture_output=True, text=True, env=env, check=False)
    text = re.sub(".\b", "", r.stdout)              # overstrike bold and underline
    text = re.sub("\u2010\n\\s*", "", text)          # words hyphenated at a line end
    text = text.replace("\u2010", "-").replace("\u2212", "-")
    warnings = [w for w in (r.stderr.strip(), m.stderr.strip()) if w]
    for name, rc in (("groff", r.returncode), ("man", m.returncode)):
        if rc:
            warnings.append("%s exit status %d" % (name, rc))
    return text, "; ".join(warnings)


def help_options(program):
    out = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    pairs = re.findall(r"^\s+(-[-\w]+)(?:, (--[-\w]+))?", out, re.M)
    return [o for pair in pairs for o in pair if o]


def daemon_keys(settings):
    """The keys qysc reads, from its own source (qysc/settings.cpp): the
    configuration keys are the rows {"Key=", ...} of the table kConfigKeys,
    the modem information keys the starts_with(line, "key=") tests of
    ReadModemInfo. A page can then not fall behind a key added to the code;
    a source whose layout changed finds too few keys, which fails too."""
    src = open(settings, encoding="utf-8").read()
    table = re.search(r"kConfigKeys\[\]\s*=\s*\{(.*?)\n\};", src, re.S)
    config = re.findall(r'\{"(\w+)=",', table.group(1)) if table else []
    modem_fn = re.search(r"int ReadModemInfo\(void\) \{(.*?)\n\}", src, re.S)
    modem = re.findall(r'starts_with\(line, "(\w+)="\)', modem_fn.group(1)) if modem_fn else []
    return config, modem


def missing(names, text):
    return [n for n in names if not re.search(r"(^|[\s\[,(])%s(?![-\w])" % re.escape(n), text, re.M)]


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


def metric_failures(program, page):
    """Every metric a fresh hub gives is named in trm-hub(8)'s METRICS section
    (without its trm_hub_ prefix)."""
    out = subprocess.run([program, "--metrics"], capture_output=True, text=True, check=True).stdout
    names = [n[len("trm_hub_"):] for n in out.split()]
    with open(page, encoding="utf-8") as f:
        section = f.read().split("\n.SH METRICS\n", 1)[1].split("\n.SH ", 1)[0]
    failures = ["the hub gives only %d metrics" % len(names)] if len(names) < 40 else []
    return failures + ["trm-hub.8 does not list the metric trm_hub_%s" % n for n in missing(names, section)]


def route_failures(routes_program, page):
    table, man = table_routes(routes_program), man_routes(page)
    failures = []
    if len(table) < 20:
        failures.append("the route table has only %s" % table)
    for r in sorted(set(table) - set(man)):
        failures.append("trm-hub.8 does not list the route %s %s" % r)
    for r in sorted(set(man) - set(table)):
        failures.append("trm-hub.8 lists %s %s, which is not in the route table" % r)
    for r in sorted({r for r in man if man.count(r) > 1}):
        failures.append("trm-hub.8 lists %s %s twice" % r)
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hub", required=True)
    ap.add_argument("--console", required=True)
    ap.add_argument("--settings", required=True, help="qysc/settings.cpp")
    ap.add_argument("--routes", required=True, help="the program that prints the route table")
    ap.add_argument("--man", required=True)
    args = ap.parse_args()
    failures = []
    texts = {}
    for page in PAGES:
        texts[page], warnings = render(os.path.join(args.man, page))
        if warnings:
            failures.append("%s: %s" % (page, warnings))
    config, modem = daemon_keys(args.settings)
    # page, what it must name, where the names come from, how many at least
    checks = (
        ("trm-hub.8", help_options(args.hub), "trm-hub --help", 10),
        ("trm-console.1", help_options(args.console), "trm-console --help", 10),
        ("qyserver.ini.5", config, "kConfigKeys in " + args.settings, 14),
        ("qyserver.ini.5", modem, "ReadModemInfo in " + args.settings, 4),
    )
    for page, names, source, least in checks:
        if len(names) < least:
            failures.append("%s gave only %s" % (source, names))
        for name in missing(names, texts[page]):
            failures.append("%s does not name %s (from %s)" % (page, name, source))
    failures += route_failures(args.routes, os.path.join(args.man, "trm-hub.8"))
    failures += metric_failures(args.routes, os.path.join(args.man, "trm-hub.8"))
    for f in failures:
        print("FAIL", f)
    print("%d names, %d pages checked" % (sum(len(c[1]) for c in checks), len(PAGES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
