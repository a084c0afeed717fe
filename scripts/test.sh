#!/usr/bin/env bash
# Builds the project twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite in both builds,
# then runs each fuzz target briefly in a third build (clang, libFuzzer).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh || exit 1

status=0
run_suite() {  # build-dir label cmake-args...
  local dir=$1 label=$2; shift 2
  echo "=== $label build ==="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null || return 1
  cmake --build "$dir" -j "$(nproc)" >"$dir.log" 2>&1 || { tail -n 60 "$dir.log"; return 1; }
  echo "=== $label tests ==="
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)")
}

run_suite build plain || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan sanitizer -DUPDATER_SANITIZE=ON || status=1

# Each libFuzzer target for a few seconds, so that they keep building and
# stay clean; scripts/fuzz.sh runs them for longer.
bash scripts/fuzz.sh all 5 || status=1

echo "=== Lines of code and of tests ==="
bash scripts/loc.sh
if [ "$status" -eq 0 ]; then echo "All suites passed."; else echo "Some suite failed."; fi
exit "$status"
