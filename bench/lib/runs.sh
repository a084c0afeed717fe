# Measured runs: every run goes through the measure tool (wall time, CPU
# time and peak memory from wait4), is checked (exit status, the updater's
# closing line, the installed tree against the digests of the release) and
# is appended to RESULTS as one line:
#   FIGURE ROLE PAIR WALL USER SYS MAXRSS_KIB STATUS
# PAIR 0 is the untimed warm-up and is not recorded. STATUS is "ok", or what
# went wrong, so that a broken run can never pass for a fast one. Sourced by
# run.sh, which sets MEASURE, UNPACK, RESULTS, LOGS, RUNS, RUN_TIMEOUT and
# SLOW_SECONDS.

M_WALL=0 M_USER=0 M_SYS=0 M_RSS=0 M_STATUS=
LAST_FIGURE='' LAST_ROLE='' LAST_LOG='' LAST_STATUS=''

# Runs the command in directory CWD with its output in LOG. The measuring
# process runs in the background and is waited for, so that a signal to
# this script is handled at once (the exit trap stops MEASURE_PID, which
# takes the measured command's process group with it).
MEASURE_PID=
measure_run() {  # cwd log command...
  local cwd=$1 log=$2 status=0
  shift 2
  "$MEASURE" -t "$RUN_TIMEOUT" -C "$cwd" -o "$log" -- "$@" >"$LOGS/measure.out" &
  MEASURE_PID=$!
  wait "$MEASURE_PID" || status=$?
  MEASURE_PID=
  [ "$status" -eq 0 ] || die "could not measure $1 (status $status)"
  read -r M_WALL M_USER M_SYS M_RSS M_STATUS <"$LOGS/measure.out"
}

# Appends the last measurement under FIGURE ROLE PAIR with STATUS (defaults
# to the measured status); a warm-up (pair 0) is kept only when it failed,
# so the table shows the failure. A failed run is reported with the end of
# its log. Returns non-zero for a failed run.
record() {  # figure role pair log [status]
  local status=${5:-$M_STATUS}
  LAST_FIGURE=$1 LAST_ROLE=$2 LAST_LOG=$4 LAST_STATUS=$status
  if [ "$status" != ok ]; then
    warn "$1/$2 run $3 failed: $status$([ "$4" = /dev/null ] || echo " (log: $4)")"
    tr '\r' '\n' <"$4" 2>/dev/null | grep -v '^ *$' | tail -n 5 | cut -c1-160 | sed 's/^/    /' >&2 ||
      true
  fi
  [ "$3" -eq 0 ] && [ "$status" = ok ] && return 0
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$M_WALL" "$M_USER" "$M_SYS" \
    "$M_RSS" "$status" >>"$RESULTS"
  [ "$status" = ok ]
}

# Records that FIGURE ROLE could not be run at all, and why.
record_skip() {  # figure role reason
  M_WALL=0 M_USER=0 M_SYS=0 M_RSS=0
  record "$1" "$2" 0 /dev/null "$3" || true
}

# The status of an updater run: ok when it exited 0 and printed LINE.
updater_status() {  # log line
  if [ "$M_STATUS" != ok ]; then
    echo "$M_STATUS"
  elif ! grep -qF "$2" "$1"; then
    echo "no-\"$2\""
  else
    echo ok
  fi
}

# The files under DIR, leaving out the updater's pack directory.
count_files() {  # dir
  find "$1" -path "$1/tmp" -prune -o -type f -print | wc -l
}

# ok when DIR holds exactly the files of MANIFEST, each with its digest.
tree_status() {  # manifest dir
  local want have
  want=$(wc -l <"$1")
  have=$(count_files "$2")
  if [ "$have" -ne "$want" ]; then
    echo "tree-has-$have-of-$want-files"
  elif ! "$UNPACK" hash "$1" "$2" 2>>"$LOGS/verify.log"; then
    echo "tree-digest-mismatch"
  else
    echo ok
  fi
}

# Empties the page cache's dirty pages before a timed run, so one run's
# writing is not charged to the next.
settle() {
  sync
}

# Paired runs: one untimed warm-up of the first candidate and of the
# yardstick, then RUNS pairs, the order alternating within each pair. Each
# runner is a function taking the pair number and returning non-zero when
# the run failed. A failed warm-up of the first candidate skips the pairs.
paired_runs() {  # yardstick-function candidate-function...
  local yard=$1 pair
  shift
  note "  warm-up"
  if ! "$1" 0; then
    warn "the warm-up failed; no timed runs for this figure"
    return 0
  fi
  "$yard" 0 || true
  for pair in $(seq 1 "$RUNS"); do
    note "  pair $pair of $RUNS"
    if [ $((pair % 2)) -eq 1 ]; then
      for candidate in "$@"; do "$candidate" "$pair" || true; done
      "$yard" "$pair" || true
    else
      "$yard" "$pair" || true
      for candidate in "$@"; do "$candidate" "$pair" || true; done
    fi
  done
}

# Runs without a yardstick: one untimed warm-up, then RUNS timed runs. A
# warm-up slower than SLOW_SECONDS is kept as the only run (caches matter
# little against that much work, and RUNS more would take too long).
single_runs() {  # function
  note "  warm-up"
  "$1" 0 || return 0
  if awk -v w="$M_WALL" -v s="$SLOW_SECONDS" 'BEGIN { exit !(w > s) }'; then
    note "  the warm-up took ${M_WALL} s: kept as the only run"
    record "$LAST_FIGURE" "$LAST_ROLE" 1 "$LAST_LOG" "$LAST_STATUS" || true
    return 0
  fi
  local run
  for run in $(seq 1 "$RUNS"); do
    note "  run $run of $RUNS"
    "$1" "$run" || true
  done
}
