#!/usr/bin/env bash
# Runs the simulated TRM-310 board on this PC: builds the host programs if
# needed, then starts the board (python3 -m sim.simboard.simboard from the
# repository's root; --help lists the options).
#   tools/simboard.sh            interactive demo (type 'help')
#   tools/simboard.sh --script   the fixed scenario; exit 0 when every step was seen
#   tools/simboard.sh --hub      the fleet server in the console's place, over the secure link
#                                (--hub --plain: the plain link)
set -euo pipefail
cd "$(dirname "$0")/.."
if ! tools/install-deps.sh --check >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    tools/install-deps.sh
  else
    echo "simboard: some packages are missing; install them first with: sudo tools/install-deps.sh" >&2
    exit 1
  fi
fi
cmake --preset host-release >/dev/null
cmake --build --preset host-release >/dev/null
exec /usr/bin/python3 -m sim.simboard.simboard --build build/host-release "$@"
