#!/usr/bin/env bash
# Installs what building and testing the system needs on Debian 12.
# --check only reports what is missing (exit 1 if anything is).
set -euo pipefail
packages=(
  cmake ninja-build g++ make pkg-config
  googletest libgtest-dev libgmock-dev
  g++-arm-linux-gnueabi qemu-user
  # the daemon's secure link: mbed TLS, linked statically, for the host and
  # (multiarch, armel added below) the board; openssl for the tests' hub side
  libmbedtls-dev libmbedtls-dev:armel openssl
  python3 python3-serial python3-serial-asyncio python3-pymodbus libmodbus-dev mbpoll socat
  iproute2 nftables procps util-linux
  ser2net strace
  # the daemon's instructions on the host build (bench/board/loop_cost.py: callgrind, vgdb)
  valgrind
  clang-tidy clang-format cppcheck
  clang libclang-rt-14-dev llvm
  # fleet server trm-hub (server/hub) and its end-to-end tests; the fleet simulator's broker
  libsqlite3-dev libmosquitto-dev mosquitto mosquitto-clients libmicrohttpd-dev
  libtomlplusplus-dev libcjson-dev
  # the hub's secure link (OpenSSL 3), the keys made for it (tools/trm-pki.sh) and its
  # scan by testssl.sh in the tests; gnutls-cli and gnutls-serv as a second TLS stack
  # against both ends
  libssl-dev openssl testssl.sh gnutls-bin
  # the hub's pages driven through a real browser
  chromium
  # the shared registry of a cluster of hubs, and the balancer in front of them
  postgresql libpq-dev haproxy
  # promtool, for the hub's alerting rules and their tests (Debian has it only with the server)
  prometheus
  # the manual pages (docs/man/) and their check
  groff-base man-db
)
# The board's libraries come from Debian's armel packages (multiarch).
if ! dpkg --print-foreign-architectures | grep -qx armel; then
  if [ "${1:-}" = "--check" ]; then
    echo "the armel architecture is not added (dpkg --add-architecture armel)"
    exit 1
  fi
  [ "$(id -u)" -eq 0 ] && dpkg --add-architecture armel || sudo dpkg --add-architecture armel
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "all build and test dependencies are installed"
  exit 0
fi
if [ "${1:-}" = "--check" ]; then
  echo "missing packages: ${missing[*]}"
  exit 1
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
# Only the programs are wanted (promtool, initdb/pg_ctl, haproxy): the
# packages enable and start servers where systemd runs (not in a container
# that forbids starting services); the tests start their own, so leave none
# running.
for unit in prometheus postgresql haproxy; do
  if command -v systemctl >/dev/null && systemctl is-enabled --quiet "$unit" 2>/dev/null; then
    $SUDO systemctl disable --now "$unit" || true
  fi
done
