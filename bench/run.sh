#!/usr/bin/env bash
# The benchmark suite: bench/run.sh [--quick] [--build DIR] [...]; --help lists the options.
set -euo pipefail
exec nice /usr/bin/python3 "$(dirname "$0")/bench.py" "$@"
