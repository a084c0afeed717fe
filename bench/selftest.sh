#!/usr/bin/env bash
# Checks the benchmark's own parts: the measuring tool's statuses,
# bench-unpack against intact and damaged packs (so the yardstick cannot pass
# a wrong tree), the table's arithmetic (paired ratios, failures, time-outs,
# goals), and, with nginx on loopback, that run.sh refuses the figures of
# updaters that lie about their work. Needs the programs run.sh builds
# (updater, updater-publish). Usage: bash bench/selftest.sh [build-dir]
# (about a minute).
set -euo pipefail
BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=$(realpath -m "${1:-$(dirname "$BENCH_DIR")/build-bench}")
PY=/usr/bin/python3
work=$(mktemp -d /tmp/updater-bench-selftest-XXXXXX)
chmod 755 "$work"  # nginx's workers read the scratch directories of run.sh inside
trap 'rm -rf "$work"' EXIT
failures=0

check() {  # description want got
  if [ "$2" = "$3" ]; then
    echo "ok    $1"
  else
    echo "FAIL  $1: want '$2', got '$3'"
    failures=$((failures + 1))
  fi
}

gcc -O2 -Wall -o "$work/measure" "$BENCH_DIR/measure.c"
gcc -O2 -Wall -o "$work/bench-unpack" "$BENCH_DIR/unpack.c" -lcrypto -lz

# --- measure --------------------------------------------------------------------
while IFS='|' read -r want timeout command; do
  got=$("$work/measure" -t "$timeout" -- sh -c "$command" | cut -d' ' -f5)
  check "measure: sh -c '$command'" "$want" "$got"
done <<'EOF'
ok|10|true
exit:3|10|exit 3
signal:9|10|kill -9 $$
timeout|1|sleep 5
EOF

# --- bench-unpack -----------------------------------------------------------------
publish=$BUILD_DIR/tools/updater-publish
[ -x "$publish" ] || { echo "selftest: no $publish (build first)" >&2; exit 1; }
"$PY" "$BENCH_DIR/gen_release.py" "$work/release" --total 300000 --count 4 --largest 200000 \
  >/dev/null
printf '[release]\nplatform = t\nAppName = A\nAuthor = B\nURL = http://x/\n' >"$work/t.desc"
"$publish" -q --base-url http://127.0.0.1:1/ "$work/release" "$work/t.desc" "$work/www"
"$PY" "$BENCH_DIR/manifest.py" "$work/www/updates/quillon5-full-t.info" http://127.0.0.1:1/ \
  "$work/good.tsv" "$work/curl.cfg" "$work/dl" >/dev/null
first_pack=$(head -n 1 "$work/good.tsv" | cut -f2)

# Each case damages a fresh copy of the packs or the manifest, then unpacks.
unpack_case() {  # case
  rm -rf "$work/dl" "$work/out"
  mkdir -p "$work/dl"
  find "$work/www/packs" -name '*.pak' -exec cp {} "$work/dl/" \;
  cp "$work/good.tsv" "$work/m.tsv"
  case $1 in
    intact) ;;
    flipped-byte) printf '\001' | dd of="$work/dl/$first_pack" bs=1 seek=40 conv=notrunc 2>/dev/null ;;
    truncated) truncate -s 100 "$work/dl/$first_pack" ;;
    wrong-key) sed -i '1s/\t\([A-Za-z0-9]\)[A-Za-z0-9]\{15\}\t/\tXXXXXXXXXXXXXXXX\t/' "$work/m.tsv" ;;
    wrong-digest) sed -i '1s/\t[0-9a-f]\{64\}$/\t'"$(printf '0%.0s' {1..64})"'/' "$work/m.tsv" ;;
    size-too-small) awk -F'\t' -v OFS='\t' 'NR == 1 { $4 = $4 - 1 } 1' "$work/good.tsv" >"$work/m.tsv" ;;
    missing-pack) rm "$work/dl/$first_pack" ;;
  esac
  "$work/bench-unpack" install "$work/m.tsv" "$work/dl" "$work/out" 2>/dev/null && echo 0 || echo 1
}
for name in intact flipped-byte truncated wrong-key wrong-digest size-too-small missing-pack; do
  want=1
  [ "$name" = intact ] && want=0
  check "bench-unpack install, $name" "$want" "$(unpack_case "$name")"
done
unpack_case intact >/dev/null
check "bench-unpack hash, intact tree" 0 \
  "$("$work/bench-unpack" hash "$work/good.tsv" "$work/out" && echo 0 || echo 1)"
echo tampered >>"$work/out/$(tail -n 1 "$work/good.tsv" | cut -f1)"
check "bench-unpack hash, one file changed" 1 \
  "$("$work/bench-unpack" hash "$work/good.tsv" "$work/out" 2>/dev/null && echo 0 || echo 1)"

# --- report.py ---------------------------------------------------------------------
printf 'figures=fresh,small\nrun_timeout=300\nruns=3\n' >"$work/meta"
tab=$'\t'
cat >"$work/results" <<EOF
fresh${tab}updater${tab}1${tab}2.0${tab}1${tab}0${tab}40960${tab}ok
fresh${tab}yardstick${tab}1${tab}4.0${tab}1${tab}0${tab}1024${tab}ok
fresh${tab}updater${tab}2${tab}9.0${tab}1${tab}0${tab}20480${tab}ok
fresh${tab}yardstick${tab}2${tab}10.0${tab}1${tab}0${tab}1024${tab}ok
fresh${tab}updater${tab}3${tab}3.0${tab}1${tab}0${tab}20480${tab}ok
fresh${tab}yardstick${tab}3${tab}3.5${tab}1${tab}0${tab}1024${tab}ok
small${tab}sequential${tab}0${tab}0${tab}0${tab}0${tab}0${tab}timeout
small${tab}yardstick${tab}1${tab}1.0${tab}0${tab}0${tab}0${tab}ok
EOF
report=$("$PY" "$BENCH_DIR/report.py" "$work/results" "$work/meta")
row() { grep -F "$1" <<<"$report" | head -n 1 | cut -d'|' -f3-7 | tr -s ' '; }
# Pairs 2/4, 9/10, 3/3.5: the median of the ratios is 0.86 and misses the
# goal, where the ratio of the medians (3 / 4) would meet it.
check "report: the ratio is the median of the pairs" " 3.00 s | 4.00 s | 0.86× | ≤ 0.80× | no " \
  "$(row 'wall time' )"
check "report: peak memory is the largest run" " 40.0 MiB | 1.0 MiB | — | ≤ 32 MiB | no " \
  "$(row 'peak memory')"
check "report: a time-out is shown and fails" " > 300 s (timed out) | 1.00 s | n/a | — | — " \
  "$(row 'one at a time')"
check "report: no --jobs run is n/a" " n/a | 1.00 s | n/a | ≤ 1.10× | n/a " "$(row '`--jobs')"

# --- run.sh against updaters that lie ---------------------------------------------
# One claims success and does nothing; one installs and then changes a file.
real=$BUILD_DIR/cli/updater
printf '#!/bin/sh\necho "Update Complete!"\necho "Abort: Nothing to be done, you are up-to-date"\n' \
  >"$work/liar"
cat >"$work/spoiler" <<SPOILER
#!/bin/bash
"$real" "\$@"; status=\$?
base=\$(printf '%s\n' "\$@" | sed -n '/^-d\$/{n;p}')
file=\$(find "\$base" -path "\$base/tmp" -prune -o -type f -print | head -n 1)
[ -n "\$file" ] && printf X | dd of="\$file" bs=1 conv=notrunc 2>/dev/null
exit \$status
SPOILER
chmod +x "$work/liar" "$work/spoiler"
for fake in liar spoiler; do
  status=0
  output=$(bash "$BENCH_DIR/run.sh" --no-build --build-dir "$BUILD_DIR" --scratch "$work" \
    --updater "$work/$fake" --only fresh --size-mb 2 --files 10 --runs 1 2>&1) || status=$?
  check "run.sh with the $fake updater exits 1" 1 "$status"
  check "run.sh with the $fake updater shows the install failed" 1 \
    "$(grep -c '^| Fresh install, .*| failed (tree-' <<<"$output" || true)"
done

if [ "$failures" -eq 0 ]; then echo "All checks passed."; else echo "$failures checks failed."; fi
[ "$failures" -eq 0 ]
