#!/usr/bin/env bash
# The updater's benchmark. Installs what it lacks, builds the updater and
# updater-publish, generates and publishes releases into a scratch directory,
# serves them with nginx on 127.0.0.1 (and through a relay that delays every
# byte, for the small-files figure), and measures the updater against a
# yardstick run side by side: curl plus a small C program for installing,
# a one-core SHA-256 loop for checking, curl --parallel for many small files.
# Prints a table of medians and ratios. Everything it starts it stops, on any
# exit; its data stay in one scratch directory, removed at the end unless
# --keep. See docs/performance.md for how to read the table.
set -euo pipefail
BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
TOP=$(dirname "$BENCH_DIR")
PY=/usr/bin/python3
COMMAND_LINE="bash bench/run.sh $*"

usage() {
  cat <<'EOF'
Usage: bash bench/run.sh [options]

  --quick             a small run to try the script: 50 MiB in 100 files,
                      a 20,000-entry document, 1,000 groups, 100 small files
  --runs N            timed runs (pairs) per figure, medians taken (default 3)
  --size-mb N         size of the release (default 1024)
  --files N           files in the release (default 1000)
  --largest-mb N      size of its largest file (default a tenth of the release)
  --big-files N       entries of the large document (default 200000)
  --groups N          groups of the many-groups document (default 10000)
  --small-files N     files of the small-files figure (default 1000)
  --rtt-ms N          round trip added by the relay (default 40)
  --jobs N            parallel downloads asked of the updater and of curl (default 8)
  --only LIST         comma-separated figures: fresh,uptodate,bigdoc,groups,small
  --timeout S         longest a single run may take (default 600)
  --slow S            a single-sided figure whose warm-up takes longer is run
                      only once (default 60)
  --scratch DIR       where the scratch directory is made (default /tmp)
  --keep              keep the scratch directory (data, logs, raw results)
  --output FILE       also write the table and its notes to FILE (Markdown)
  --build-dir DIR     build directory (default build-bench in the checkout)
  --build-type TYPE   RelWithDebInfo (default) or Release
  --no-build          use the programs already in the build directory
  --updater PATH      measure this updater program instead of the built one
  --updater-args S    extra options for every run of the updater
  -h, --help          this text
EOF
}

note() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }
warn() { printf 'bench: warning: %s\n' "$*" >&2; }
die() {
  printf 'bench: %s\n' "$*" >&2
  exit 1
}

QUICK=no RUNS=3 SIZE_MB='' FILES='' LARGEST_MB='' BIG_FILES='' GROUP_COUNT='' SMALL_FILES=''
RTT_MS=40 JOBS=8 ONLY=fresh,uptodate,bigdoc,groups,small RUN_TIMEOUT=600 SLOW_SECONDS=60
SCRATCH_PARENT=/tmp KEEP=no OUTPUT='' BUILD_DIR=$TOP/build-bench BUILD_TYPE=RelWithDebInfo
BUILD=yes UPDATER='' UPDATER_ARGS=()

number() {  # option value
  if ! [[ $2 =~ ^[0-9]+$ ]] || [ "$2" -eq 0 ]; then
    die "$1 needs a positive whole number, not '$2'"
  fi
  echo "$2"
}

parse_options() {
  while [ $# -gt 0 ]; do
    case $1 in
      --quick) QUICK=yes; shift; continue ;;
      --keep) KEEP=yes; shift; continue ;;
      --no-build) BUILD=no; shift; continue ;;
      -h | --help) usage; exit 0 ;;
    esac
    [ $# -ge 2 ] || die "$1 needs a value (see --help)"
    case $1 in
      --runs) RUNS=$(number "$1" "$2") ;;
      --size-mb) SIZE_MB=$(number "$1" "$2") ;;
      --files) FILES=$(number "$1" "$2") ;;
      --largest-mb) LARGEST_MB=$(number "$1" "$2") ;;
      --big-files) BIG_FILES=$(number "$1" "$2") ;;
      --groups) GROUP_COUNT=$(number "$1" "$2") ;;
      --small-files) SMALL_FILES=$(number "$1" "$2") ;;
      --rtt-ms) RTT_MS=$(number "$1" "$2") ;;
      --jobs) JOBS=$(number "$1" "$2") ;;
      --timeout) RUN_TIMEOUT=$(number "$1" "$2") ;;
      --slow) SLOW_SECONDS=$(number "$1" "$2") ;;
      --only) ONLY=$2 ;;
      --scratch) SCRATCH_PARENT=$2 ;;
      --output) OUTPUT=$2 ;;
      --build-dir) BUILD_DIR=$2 ;;
      --build-type) BUILD_TYPE=$2 ;;
      --updater) UPDATER=$2 ;;
      --updater-args) read -r -a UPDATER_ARGS <<<"$2" ;;
      *) die "unknown option $1 (see --help)" ;;
    esac
    shift 2
  done
  # Runs happen in other working directories: every path given is made absolute.
  BUILD_DIR=$(realpath -m "$BUILD_DIR")
  SCRATCH_PARENT=$(realpath -m "$SCRATCH_PARENT")
  [ -z "$UPDATER" ] || UPDATER=$(realpath -m "$UPDATER")
  local quick=0
  [ "$QUICK" = no ] || quick=1
  SIZE_MB=${SIZE_MB:-$((quick ? 50 : 1024))}
  FILES=${FILES:-$((quick ? 100 : 1000))}
  LARGEST_MB=${LARGEST_MB:-$(((SIZE_MB + 9) / 10))}
  BIG_FILES=${BIG_FILES:-$((quick ? 20000 : 200000))}
  GROUP_COUNT=${GROUP_COUNT:-$((quick ? 1000 : 10000))}
  SMALL_FILES=${SMALL_FILES:-$((quick ? 100 : 1000))}
  [ "$LARGEST_MB" -le "$SIZE_MB" ] || die "--largest-mb is above --size-mb"
  [ $((SIZE_MB << 20)) -ge "$FILES" ] || die "--files is above one file per byte"
  local figure
  for figure in ${ONLY//,/ }; do
    case $figure in
      fresh | uptodate | bigdoc | groups | small) ;;
      *) die "--only: unknown figure '$figure'" ;;
    esac
  done
}

wants() { [[ ",$ONLY," == *",$1,"* ]]; }

# --- setup ---------------------------------------------------------------------

POLICY_MADE=no

# Installs the Debian packages the benchmark itself uses. A policy-rc.d that
# refuses service starts is in place meanwhile, so installing nginx does not
# leave Debian's own nginx service running.
ensure_packages() {
  command -v dpkg-query >/dev/null || { warn "not Debian: not installing anything"; return 0; }
  local wanted=(nginx curl gcc libc6-dev libssl-dev zlib1g-dev python3 procps) missing=() p
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || die "missing packages (${missing[*]}); run as root to install them"
  note "Installing ${missing[*]}"
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    POLICY_MADE=yes
  fi
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get update -qq || ! apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >/dev/null; then
    die "apt-get could not install ${missing[*]}"
  fi
  remove_policy
}

remove_policy() {
  if [ "$POLICY_MADE" = yes ]; then
    rm -f /usr/sbin/policy-rc.d
    POLICY_MADE=no
  fi
}

build_project() {
  local log=$LOGS/build.log launcher=()
  note "Building updater and updater-publish ($BUILD_TYPE) in $BUILD_DIR"
  bash "$TOP/scripts/setup.sh" >"$log" 2>&1 || { tail -n 30 "$log" >&2; die "setup.sh failed"; }
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  if ! cmake -S "$TOP" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "${launcher[@]}" \
    >>"$log" 2>&1 ||
    ! nice cmake --build "$BUILD_DIR" -j "$(nproc)" --target updater updater-publish >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    die "the build failed"
  fi
}

build_tools() {
  local tools=$SCRATCH/tools
  mkdir -p "$tools"
  if ! gcc -O2 -Wall -o "$tools/measure" "$BENCH_DIR/measure.c" 2>"$LOGS/tools.log" ||
    ! gcc -O2 -Wall -o "$tools/bench-unpack" "$BENCH_DIR/unpack.c" -lcrypto -lz \
      2>>"$LOGS/tools.log"; then
    cat "$LOGS/tools.log" >&2
    die "could not compile the benchmark's C programs"
  fi
  MEASURE=$tools/measure UNPACK=$tools/bench-unpack
}

# Does the updater take --jobs N? An unknown option makes getopt complain on
# standard error before anything else happens; a known one with --help just
# prints the usage.
probe_jobs() {
  local err
  err=$(cd "$SCRATCH" && timeout 10 "$UPDATER" --jobs 1 --help 2>&1 >/dev/null) || true
  if [ -z "$err" ]; then HAS_JOBS=yes; else HAS_JOBS=no; fi
}

check_space() {
  local need_kib=$(((SIZE_MB * 5 + 2048) * 1024)) have_kib
  have_kib=$(df -Pk "$SCRATCH" | awk 'NR == 2 { print $4 }')
  [ "$have_kib" -ge "$need_kib" ] ||
    die "$SCRATCH has $((have_kib / 1024)) MiB free; this run needs about $((need_kib / 1024)) MiB"
}

meta() { printf '%s=%s\n' "$1" "$2" >>"$META"; }

# "files=N bytes=N largest=N" becomes PREFIX_files=N and so on.
meta_from_summary() {  # prefix summary
  local pair
  for pair in $2; do meta "$1_${pair%%=*}" "${pair#*=}"; done
}

# After a failure the logs (small) outlive the scratch directory (large).
keep_logs_of_failure() {  # exit-status
  [ "$1" -ne 0 ] && [ -d "${LOGS:-}" ] || return 0
  local kept
  kept=$(mktemp -d "$SCRATCH_PARENT/updater-bench-logs-XXXXXX") &&
    cp -r "$LOGS/." "$kept/" && echo "bench: the logs are kept in $kept" >&2
}

cleanup() {
  local status=$?
  stop_pid "$MEASURE_PID" 10
  stop_servers
  remove_policy
  if [ -n "${SCRATCH:-}" ] && [ -d "$SCRATCH" ]; then
    if [ "$KEEP" = yes ]; then
      echo "Scratch directory kept: $SCRATCH"
    else
      keep_logs_of_failure "$status"
      rm -rf "$SCRATCH"
    fi
  fi
  exit "$status"
}

# --- main ----------------------------------------------------------------------

source "$BENCH_DIR/lib/servers.sh"
source "$BENCH_DIR/lib/runs.sh"
source "$BENCH_DIR/lib/figures.sh"

main() {
  parse_options "$@"
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
  trap cleanup EXIT
  trap 'exit 130' INT TERM HUP
  ensure_packages
  [ -x "$PY" ] || die "$PY is missing"
  mkdir -p "$SCRATCH_PARENT"
  SCRATCH=$(mktemp -d "$SCRATCH_PARENT/updater-bench-XXXXXX")
  chmod 755 "$SCRATCH"  # nginx's workers read it under their own user
  LOGS=$SCRATCH/logs WWW=$SCRATCH/www RESULTS=$SCRATCH/results.tsv META=$SCRATCH/meta.txt
  mkdir -p "$LOGS" "$WWW/updates"
  note "Scratch directory $SCRATCH"
  check_space
  [ "$BUILD" = yes ] && build_project
  UPDATER=${UPDATER:-$BUILD_DIR/cli/updater}
  PUBLISH=$BUILD_DIR/tools/updater-publish
  [ -x "$UPDATER" ] || die "no updater program at $UPDATER"
  [ -x "$PUBLISH" ] || die "no updater-publish in $BUILD_DIR/tools"
  build_tools
  probe_jobs
  write_meta_start
  start_nginx "$WWW"
  run_figures
  meta load_end "$(cut -d' ' -f1-3 /proc/loadavg)"
  stop_servers
  print_report
}

write_meta_start() {
  meta date "$(date '+%Y-%m-%d %H:%M %Z')"
  meta command "$COMMAND_LINE"
  meta commit "$(git -C "$TOP" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  meta build_type "$BUILD_TYPE"
  meta cores "$(nproc)"
  meta load_start "$(cut -d' ' -f1-3 /proc/loadavg)"
  meta runs "$RUNS"
  meta rtt_ms "$RTT_MS"
  meta jobs "$JOBS"
  meta has_jobs "$HAS_JOBS"
  meta figures "$ONLY"
  meta groups "$GROUP_COUNT"
  meta slow "$SLOW_SECONDS"
  meta run_timeout "$RUN_TIMEOUT"
  note "Updater: $UPDATER (--jobs: $([ "$HAS_JOBS" = yes ] && echo accepted || echo not accepted))"
}

run_figures() {
  if wants fresh || wants uptodate; then prepare_fresh; fi
  if wants fresh; then figure_fresh; fi
  if wants uptodate; then figure_uptodate; fi
  if wants bigdoc; then prepare_bigdoc && figure_bigdoc; fi
  if wants groups; then prepare_groups && figure_groups; fi
  if wants small; then
    start_proxy "$RTT_MS"
    prepare_small
    figure_small
  fi
}

print_report() {
  local report=$SCRATCH/report.md
  "$PY" "$BENCH_DIR/report.py" "$RESULTS" "$META" >"$report" || die "could not write the report"
  echo
  cat "$report"
  if [ -n "$OUTPUT" ]; then cp "$report" "$OUTPUT" && note "Table written to $OUTPUT"; fi
  if [ -s "$RESULTS" ] && cut -f8 "$RESULTS" | grep -qv '^ok$'; then
    die "some runs failed or timed out (see the warnings above and the table)"
  fi
}

main "$@"
