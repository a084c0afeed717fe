#!/usr/bin/env bash
# Builds the libFuzzer targets (clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs one of them, or each in
# turn, for SECONDS each, then prints the executions per target.
#
# Usage: scripts/fuzz.sh [TARGET|all] [SECONDS] [-- LIBFUZZER-OPTIONS...]
#   TARGET  NAME of tests/fuzz/fuzz_NAME.cpp (default: all of them)
#   SECONDS run time per target (default 60)
# For example, ten million inputs of the parser, with at most a day for them:
#   scripts/fuzz.sh info 86400 -- -runs=10000000
#
# A target starts from its seed corpus tests/fuzz/corpus/NAME/ (and the
# dictionary tests/fuzz/NAME.dict when there is one). What a run finds stays
# in the build directory, never in the repository: new corpus entries go to
# build-fuzz/corpus/NAME/ (kept, so the next run goes on from there) and
# crashing inputs to build-fuzz/artifacts/NAME/. Exit status 1 when a target
# fails to build or finds a fault.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-all}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
[ "${1:-}" = "--" ] && shift
extra=("$@")
build=${UPDATER_FUZZ_BUILD:-$top/build-fuzz}

case $seconds in
  '' | *[!0-9]*) echo "fuzz: SECONDS must be a number, not '$seconds'" >&2; exit 2 ;;
esac

# clang with libFuzzer and the sanitizer runtimes, as setup.sh does for the
# other packages.
packages=(clang libclang-rt-dev cmake make pkg-config libssl-dev zlib1g-dev libtinyxml-dev
          libgtest-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "fuzz: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    exit 1
fi

names=()
if [ "$target" = all ]; then
  for source in "$top"/tests/fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    names+=("${name#fuzz_}")
  done
else
  [ -f "$top/tests/fuzz/fuzz_$target.cpp" ] ||
    { echo "fuzz: no target '$target' (tests/fuzz/fuzz_$target.cpp)" >&2; exit 2; }
  names=("$target")
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
echo "=== fuzz build ==="
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null || exit 1
programs=()
for name in "${names[@]}"; do programs+=("fuzz_$name"); done
nice cmake --build "$build" -j "$(nproc)" --target "${programs[@]}" >"$build.log" 2>&1 ||
  { tail -n 60 "$build.log"; exit 1; }

status=0
summary=()
for name in "${names[@]}"; do
  corpus=$build/corpus/$name
  artifacts=$build/artifacts/$name
  mkdir -p "$corpus" "$artifacts"
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
           -close_fd_mask=1 -artifact_prefix="$artifacts/")
  [ -f "$top/tests/fuzz/$name.dict" ] && options+=(-dict="$top/tests/fuzz/$name.dict")
  seeds=()
  [ -d "$top/tests/fuzz/corpus/$name" ] && seeds=("$top/tests/fuzz/corpus/$name")
  log=$build/fuzz-$name.log
  echo "=== fuzz_$name: $seconds s ==="
  # The first corpus directory receives what the run finds; the seeds are
  # only read. The working directory is the build directory, so that nothing
  # a target might leave behind lands in the repository.
  (cd "$build" && nice "$build/tests/fuzz/fuzz_$name" "${options[@]}" "${extra[@]}" \
    "$corpus" "${seeds[@]}") >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    summary+=("fuzz_$name: ${runs:-?} executions in ${took:-$seconds} s, ${added:-0} new corpus entries")
  else
    status=1
    summary+=("fuzz_$name: FAILED after ${runs:-?} executions (status $rc); log: $log")
    tail -n 40 "$log"
  fi
done
printf '%s\n' "${summary[@]}"
exit "$status"
