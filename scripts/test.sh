#!/usr/bin/env bash
# Builds the project and runs its tests.
#   scripts/test.sh                    build in build/ and run every test
#   scripts/test.sh --sanitize address,undefined [--label REGEX]
#   scripts/test.sh --sanitize thread --label 'platform_dispatch|beacon'
# Extra environment: BRELLIS_WERROR=ON adds -Werror; BUILD_DIR overrides the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
label=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="$2"; shift 2 ;;
    --label) label="$2"; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

build_dir="${BUILD_DIR:-build}"
build_type="RelWithDebInfo"
if [ -n "$sanitize" ]; then
  build_dir="${BUILD_DIR:-build-$(echo "$sanitize" | tr ',' '-')}"
  build_type="Debug"
fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
  -DBRELLIS_WERROR="${BRELLIS_WERROR:-OFF}" -DBRELLIS_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/.ci/tsan.supp}"
args=(--test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" --timeout 300)
if [ -n "$label" ]; then args+=(-L "$label"); fi
ctest "${args[@]}"
