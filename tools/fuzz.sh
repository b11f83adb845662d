#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan + UBSan) and runs
# each for a while with its seed corpus and the inputs of past findings.
# Fails (status 1) on any finding: crash, sanitizer report, leak, time-out,
# memory limit. Prints executions, exec/s and coverage (cov, ft) per target.
#
#   tools/fuzz.sh [--seconds N] [--jobs J] [--no-build] [target...]
#
#   --seconds N   run time of each target (default 30; a long run: 600)
#   --jobs J      targets run side by side (default 1)
#   --no-build    use the targets as built
#   target...     names from fuzz/CMakeLists.txt (default: all)
#
# Nothing is written into the repository: new inputs go to
# build/fuzz/run/<target>/corpus (kept, so later runs start from them), the
# log and any finding's input (crash-*, leak-*, timeout-*, oom-*) to
# build/fuzz/run/<target>/. A finding is rerun with
#   build/fuzz/fuzz/<target>_fuzz <input file>      (TRM_FUZZ_LOG=1 shows the program's log)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
jobs=1
build=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

bin=build/fuzz/fuzz
if [ "$build" = 1 ]; then
  echo "=== fuzz: configure and build"
  cmake --preset fuzz >/dev/null
  nice cmake --build --preset fuzz -j 2
fi
[ -f "$bin/targets.txt" ] || { echo "no fuzz build in build/fuzz (run without --no-build)" >&2; exit 2; }

declare -A max_len=()
all=()
while read -r name len; do
  max_len[$name]=$len
  all+=("$name")
done < "$bin/targets.txt"
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do
  [ -n "${max_len[$t]:-}" ] || { echo "no fuzz target '$t' (targets: ${all[*]})" >&2; exit 2; }
done

export ASAN_OPTIONS="detect_leaks=1:symbolize=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

# One target: its run directory holds the new corpus, the log, any finding.
run_target() {
  local t="$1" run="build/fuzz/run/$1"
  mkdir -p "$run/corpus"
  rm -f "$run"/crash-* "$run"/leak-* "$run"/timeout-* "$run"/oom-* "$run"/slow-unit-*
  local dirs=("$run/corpus")
  [ -d "fuzz/corpus/$t" ] && dirs+=("fuzz/corpus/$t")
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  local dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=("-dict=fuzz/dict/$t.dict")
  local rc=0
  nice -n 10 "$bin/${t}_fuzz" "${dirs[@]}" "${dict[@]}" \
    -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$run/" >"$run/fuzz.log" 2>&1 || rc=$?
  echo "$rc" >"$run/status"
}

# The figures of a finished run, one line.
report() {
  local t="$1" run="build/fuzz/run/$1" rc
  rc=$(cat "$run/status")
  local execs rate cov ft
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$run/fuzz.log" | tail -1)
  cov=$(grep -oE '(DONE|INITED|pulse|NEW|REDUCE) +cov: [0-9]+' "$run/fuzz.log" | tail -1 | grep -oE '[0-9]+$' || true)
  ft=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$run/fuzz.log" | tail -1 | grep -oE '[0-9]+$' || true)
  local findings
  findings=$(find "$run" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  local result=ok
  if [ "$rc" != 0 ] || [ "$findings" != 0 ] || ! grep -q 'DONE' "$run/fuzz.log"; then result=FINDING; fi
  printf '%-18s %10s %9s %6s %7s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$result"
  if [ "$result" != ok ]; then
    echo "--- $t: exit status $rc; log $run/fuzz.log; inputs:" $(ls "$run" | grep -E '^(crash|leak|timeout|oom)-' || true)
    grep -vE '^#[0-9]+' "$run/fuzz.log" | tail -40 | sed 's/^/    /'
    return 1
  fi
}

echo "=== fuzz: ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time"
running=0
for t in "${targets[@]}"; do
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

printf '%-18s %10s %9s %6s %7s  %s\n' target executions exec/s cov ft result
failed=()
for t in "${targets[@]}"; do
  report "$t" || failed+=("$t")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FINDINGS in ${failed[*]}"
  exit 1
fi
echo "fuzz: no findings (${#targets[@]} targets, ${seconds} s each)"
