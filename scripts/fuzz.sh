#!/usr/bin/env bash
# Builds every fuzz target with clang and runs each for a short time over its seed corpus.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
build_dir="${BUILD_DIR:-build-fuzz}"

scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DBRELLIS_FUZZ=ON -DBRELLIS_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target brellis_fuzz_targets

for target in $(find "$build_dir/fuzz" -type f -name 'fuzz_*' -perm -u+x | sort); do
  seeds="fuzz/$(basename "$(dirname "$target")")/corpus"
  corpus="$(mktemp -d)"
  if [ -d "$seeds" ]; then cp -r "$seeds"/. "$corpus"/; fi
  echo "-- $(basename "$target")"
  status=0
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$corpus" >"$corpus.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' "$corpus.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$corpus.log"
    exit "$status"
  fi
  rm -rf "$corpus" "$corpus.log"
done
