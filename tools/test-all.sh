#!/usr/bin/env bash
# Builds and tests everything: the static checks (clang-tidy, cppcheck), the
# host release build, the sanitizer build (ASan + UBSan) and the board's
# cross build under qemu-arm -cpu pxa270, then every fuzz target for 30 s
# (tools/fuzz.sh).
# Usage: tools/test-all.sh [step...]   (default: static, the three presets, fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(static host-release host-asan armv5te fuzz)

failed=()
for p in "${presets[@]}"; do
  if [ "${p}" = static ]; then
    echo "=== static checks"
    tools/static-checks.sh || failed+=("${p}")
    continue
  fi
  if [ "${p}" = fuzz ]; then
    # Fuzz targets are not tests: a bounded run of each, failing on a finding.
    tools/fuzz.sh --seconds 30 || failed+=("${p}")
    continue
  fi
  echo "=== ${p}: configure and build"
  cmake --preset "${p}" >/dev/null
  cmake --build --preset "${p}"
  echo "=== ${p}: test"
  if ! ctest --preset "${p}"; then
    failed+=("${p}")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED presets: ${failed[*]}"
  exit 1
fi
echo "All presets passed: ${presets[*]}"
