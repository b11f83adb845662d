#!/usr/bin/env bash
# Runs the simulated TRM-310 board on this PC: installs the packages (as
# root) and builds the host programs if needed, each said in one line with
# its log kept, then starts the board (python3 -m sim.simboard.simboard from
# the repository's root; --help lists the options).
#   tools/simboard.sh --hub      the fleet server, over the secure link (--hub --plain: the plain link)
#   tools/simboard.sh            the server console in the fleet server's place
#   tools/simboard.sh --script   the fixed scenario; exit 0 when every step was seen
set -euo pipefail
cd "$(dirname "$0")/.."
logs=build/simboard-logs
mkdir -p "$logs"

# One step, quiet: its output to a log, shown (the end of it) only when it fails.
step() {
  local what=$1 log=$logs/$2
  shift 2
  if ! "$@" >"$log" 2>&1; then
    echo "simboard: $what failed; the end of $log:" >&2
    tail -n 20 "$log" >&2
    exit 1
  fi
}

if ! tools/install-deps.sh --check >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "simboard: some packages are missing; install them first with: sudo tools/install-deps.sh" >&2
    exit 1
  fi
  echo "simboard: installing the packages (tools/install-deps.sh; log $logs/install-deps.log)"
  step "installing the packages" install-deps.log tools/install-deps.sh
fi
if [ ! -x build/host-release/tools/trm-hub ]; then
  echo "simboard: building the host programs (minutes the first time; log $logs/build.log)"
fi
step "configuring the build" configure.log cmake --preset host-release
step "building" build.log cmake --build --preset host-release
exec /usr/bin/python3 -m sim.simboard.simboard --build build/host-release "$@"
