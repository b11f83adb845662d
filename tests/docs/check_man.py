#!/usr/bin/python3
"""The manual pages render with groff without a warning, and trm-hub(8)
names every option `trm-hub --help` lists."""

import argparse
import os
import re
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hub", required=True)
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
    for f in failures:
        print("FAIL", f)
    print("%d options, %d pages checked" % (len(options), len(PAGES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
