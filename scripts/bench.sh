#!/usr/bin/env bash
# Runs every benchmark of a built folder once, briefly, and fails when one exits with an error or
# reports one (a benchmark that calls SkipWithError). Each one's results and counters are shown;
# its log (standard error) only when it failed.
#   scripts/bench.sh [MIN_TIME_SECONDS]   (default 0.05; benchmarks with fixed iterations keep them)
# The build folder is build/, or BUILD_DIR; it must be built already.
set -euo pipefail
cd "$(dirname "$0")/.."
min_time="${1:-0.05}"
build_dir="${BUILD_DIR:-build}"

mapfile -t benches < <(find "$build_dir/bench" -type f -name 'bench_*' -perm -u+x | sort)
if [ ${#benches[@]} -eq 0 ]; then
  echo "no benchmark in $build_dir/bench" >&2
  exit 1
fi

failed=0
for bench in "${benches[@]}"; do
  name="$(basename "$bench")"
  report="$(mktemp)"
  log="$(mktemp)"
  echo "-- $name"
  status=0
  "$bench" --benchmark_min_time="$min_time" --benchmark_out="$report" \
    --benchmark_out_format=json 2>"$log" || status=$?
  if ! python3 - "$report" "$status" <<'EOF'; then
import json, sys
path, status = sys.argv[1], int(sys.argv[2])
try:
    with open(path) as f:
        runs = json.load(f).get("benchmarks", [])
except (OSError, ValueError) as e:
    print(f"no report: {e}")
    sys.exit(1)
errors = [f"{r.get('name')}: {r.get('error_message', 'error')}" for r in runs
          if r.get("error_occurred")]
for error in errors:
    print(f"error: {error}")
if status != 0:
    print(f"exit status {status}")
if not runs:
    print("no benchmark ran")
sys.exit(1 if errors or status != 0 or not runs else 0)
EOF
    tail -n 40 "$log"
    echo "FAILED: $name"
    failed=1
  fi
  rm -f "$report" "$log"
done
exit "$failed"
