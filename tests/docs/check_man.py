#!/usr/bin/python3
"""The manual pages render with groff and with man(1) without a warning;
trm-hub(8) and trm-console(1) name every option their program's --help
lists, and qyserver.ini(5) every key the daemon reads from its two files."""

import argparse
import os
import re
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hub", required=True)
    ap.add_argument("--console", required=True)
    ap.add_argument("--settings", required=True, help="qysc/settings.cpp")
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
    for f in failures:
        print("FAIL", f)
    print("%d names, %d pages checked" % (sum(len(c[1]) for c in checks), len(PAGES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
