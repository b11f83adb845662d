#!/usr/bin/env bash
# The benchmark suite: bench/run.sh [--quick] [--build DIR] [...]; --help lists the options.
# It runs bench.bench as a module with the repository's root on the path
# (not cd'ing there, so that relative paths in the arguments stay as given).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
PYTHONPATH="${root}${PYTHONPATH:+:${PYTHONPATH}}" exec nice /usr/bin/python3 -m bench.bench "$@"
