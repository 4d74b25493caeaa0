#!/usr/bin/env bash
# Runs the tests of some labels again and again while the machine is kept busy, to find the
# tests that fail only under load. The build folder must be built already.
#   scripts/busy-tests.sh [--busy N] [--runs K] [--jobs J] [--build-dir DIR] LABEL...
#   --busy N       CPU-bound processes kept running meanwhile (default 10)
#   --runs K       runs of each label (default 10)
#   --jobs J       ctest's parallel jobs (default 4)
#   --build-dir    the build folder (default build, or BUILD_DIR)
# Each LABEL is matched exactly (ctest -L '^LABEL$'). Prints one line per run and a summary per
# label with the names of the tests that failed; exits 1 when any run failed. The busy
# processes are stopped however the script ends.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

busy=10
runs=10
jobs=4
build_dir="${BUILD_DIR:-build}"
labels=()
while [ $# -gt 0 ]; do
  case "$1" in
    --busy) busy="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) labels+=("$1"); shift ;;
  esac
done
if [ ${#labels[@]} -eq 0 ]; then
  echo "usage: $0 [--busy N] [--runs K] [--jobs J] [--build-dir DIR] LABEL..." >&2
  exit 2
fi
if [ ! -f "$build_dir/CTestTestfile.cmake" ]; then
  echo "$build_dir is not a built test folder" >&2
  exit 2
fi

busy_pids=()
ctest_pid=""
# shellcheck disable=SC2317  # run by the traps
stop_busy() {
  # A run in progress is ended too (ctest passes the signal on to its tests).
  if [ -n "$ctest_pid" ]; then
    kill "$ctest_pid" 2>/dev/null
    wait "$ctest_pid" 2>/dev/null
  fi
  for pid in "${busy_pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${busy_pids[@]}"; do wait "$pid" 2>/dev/null; done
  busy_pids=()
}
trap stop_busy EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

for _ in $(seq "$busy"); do
  yes >/dev/null &
  busy_pids+=("$!")
done
logs="$(mktemp -d /tmp/busy-tests.XXXXXX)"
echo "$(date -u +%H:%M:%S) $busy busy processes on $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg);" \
  "ctest -j$jobs, logs in $logs"

failed_any=0
summary=()
for label in "${labels[@]}"; do
  passes=0
  failures=()
  for run in $(seq "$runs"); do
    log="$logs/$label.$run.log"
    start=$(date +%s)
    # In the background, so that a signal reaches the trap at once and not after the run.
    ctest --test-dir "$build_dir" -L "^${label}\$" --parallel "$jobs" --timeout 300 \
      --output-on-failure >"$log" 2>&1 &
    ctest_pid=$!
    wait "$ctest_pid"
    status=$?
    ctest_pid=""
    seconds=$(($(date +%s) - start))
    if [ "$status" -eq 0 ] && ! grep -q "No tests were found" "$log"; then
      passes=$((passes + 1))
      echo "$label run $run: passed (${seconds}s)"
    else
      failed_any=1
      names=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' |
        sed -E 's/^[[:space:]]+[0-9]+ - ([^ ]+).*/\1/' | tr '\n' ' ')
      [ -z "$names" ] && names="(see $log)"
      failures+=("run $run: $names")
      echo "$label run $run: FAILED (${seconds}s): $names"
    fi
  done
  summary+=("$label: $passes of $runs runs passed${failures:+; ${failures[*]}}")
done

echo "$(date -u +%H:%M:%S) summary ($busy busy processes, load $(cut -d' ' -f1-3 /proc/loadavg)):"
for line in "${summary[@]}"; do echo "  $line"; done
exit "$failed_any"
