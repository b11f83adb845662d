#!/usr/bin/env bash
# Static checks of our sources: clang-tidy with the curated .clang-tidy,
# cppcheck, and clang-format over the files kept in its layout (the hub's,
# the RFC 2217 engine's, and the daemon's files made or moved since the
# layout was written down).
# All must be clean; any finding fails the run (exit 1).
# Usage: tools/static-checks.sh [build dir]   (default build/static-checks)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/static-checks}

# A host configuration that writes compile_commands.json (no need to build).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$build" --target encode_table >/dev/null  # the generated source the others include

# Product sources and tools; tests, benchmarks and fuzz drivers are not checked.
mapfile -t sources < <(git ls-files '*.cpp' '*.c' | grep -v -E '^(tests|bench|fuzz)/|/fuzz/')

status=0
echo "=== clang-tidy (${#sources[@]} files)"
if ! printf '%s\n' "${sources[@]}" | xargs -P 2 -n 4 clang-tidy -p "$build" --quiet 2>/dev/null; then
  status=1
fi

echo "=== cppcheck"
if ! cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++17 \
      --enable=warning,performance,portability \
      --suppress=missingIncludeSystem --suppress=unmatchedSuppression \
      -I inc/sys -I qylink -I qysc --library=posix \
      "${sources[@]}"; then
  status=1
fi

echo "=== clang-format"
mapfile -t formatted < <(git ls-files 'server/hub/*.cpp' 'server/hub/*.h' 'server/rfc2217/*.cpp' 'server/rfc2217/*.h' qysc/pause.cpp qysc/receive.cpp qysc/wait.cpp qysc/waitset.cpp qysc/waitset.h)
if ! clang-format --dry-run -Werror "${formatted[@]}"; then
  status=1
fi

[ $status -eq 0 ] && echo "static checks: clean" || echo "static checks: FINDINGS"
exit $status
