# The figures of the benchmark: for each, the data it needs and one runner
# per side (candidate: the updater; yardstick: what it is compared with).
# Runners take the pair or run number (0 for the warm-up), measure one run
# outside of any setup, check it and record it. Sourced by run.sh, which
# sets the sizes, paths and servers.

# The description updater-publish needs for a release of one group that
# holds every file, published as PLATFORM under PACKDIR.
write_description() {  # file platform packdir
  cat >"$1" <<DESC
[release]
generation = 2
platform = $2
AppName = Quillon
Author = Tessaworks
URL = http://www.example.com/quillon/
PackDir = $3

[group base]
dispName = Base program
priority = 90
default = 1
defaultgrp = 1

[files]
* = base
DESC
}

# Generates, publishes and lists a release. Sets the meta entries PREFIX_*.
make_release() {  # dir platform base-url total count largest smallest letter
  local dir=$1 platform=$2 url=$3 summary
  mkdir -p "$dir"
  summary=$("$PY" "$BENCH_DIR/gen_release.py" "$dir/release" --total "$4" --count "$5" \
    --largest "$6" --smallest "$7" --prefix "$8") || die "could not generate $dir/release"
  write_description "$dir/release.desc" "$platform" "packs-$platform"
  nice "$PUBLISH" -q --base-url "$url" "$dir/release" "$dir/release.desc" "$WWW" ||
    die "updater-publish failed for $dir/release"
  local document=$WWW/updates/quillon5-full-$platform.info
  "$PY" "$BENCH_DIR/manifest.py" "$document" "${url}updates/quillon5-full-$platform.info" \
    "$dir/manifest.tsv" "$dir/curl.cfg" "$dir/download" >/dev/null ||
    die "could not list $document"
  RELEASE_SUMMARY=$summary
}

# The updater, run for PLATFORM into BASE from the working directory CWD.
run_updater() {  # cwd log server platform base [extra options...]
  local cwd=$1 log=$2 server=$3 platform=$4 base=$5
  shift 5
  measure_run "$cwd" "$log" "$UPDATER" --server "$server" -p "$platform" -d "$base" \
    "${UPDATER_ARGS[@]}" "$@"
}

# curl with every pack (and the document) of CONFIG, then bench-unpack.
# CURL_OPTIONS picks sequential or parallel transfers.
run_curl_unpack() {  # dir log curl-options...
  local dir=$1 log=$2
  shift 2
  # shellcheck disable=SC2016 # expanded by the inner shell
  measure_run "$dir" "$log" bash -c \
    'curl -sS --fail --noproxy "*" "${@:6}" -K "$1" && exec "$2" install "$3" "$4" "$5"' \
    yardstick "$dir/curl.cfg" "$UNPACK" "$dir/manifest.tsv" "$dir/download" "$dir/yard" "$@"
}

# The status of a yardstick run: measured status, then the file count (the
# digests were compared by bench-unpack itself).
yard_status() {  # dir
  if [ "$M_STATUS" != ok ]; then
    echo "$M_STATUS"
  elif [ "$(count_files "$1/yard")" -ne "$(wc -l <"$1/manifest.tsv")" ]; then
    echo "yard-tree-incomplete"
  else
    echo ok
  fi
}

# --- 1 and 2: fresh install, its CPU time and peak memory -------------------

prepare_fresh() {
  note "Generating and publishing the release ($SIZE_MB MiB in $FILES files)"
  make_release "$SCRATCH/fresh" bench "http://127.0.0.1:$NGINX_PORT/" $((SIZE_MB << 20)) \
    "$FILES" $((LARGEST_MB << 20)) 512 f
  meta_from_summary release "$RELEASE_SUMMARY"
}

fresh__updater() {
  local d=$SCRATCH/fresh log=$LOGS/fresh-updater-$1.log status
  rm -rf "$d/base" "$d/cwd"
  mkdir -p "$d/base" "$d/cwd"
  settle
  run_updater "$d/cwd" "$log" "127.0.0.1:$NGINX_PORT" bench "$d/base"
  status=$(updater_status "$log" "Update Complete!")
  [ "$status" = ok ] && status=$(tree_status "$d/manifest.tsv" "$d/base")
  record fresh updater "$1" "$log" "$status"
}

fresh__yardstick() {
  local d=$SCRATCH/fresh log=$LOGS/fresh-yardstick-$1.log
  rm -rf "$d/yard" "$d/download"
  mkdir -p "$d/download"
  settle
  run_curl_unpack "$d" "$log"
  record fresh yardstick "$1" "$log" "$(yard_status "$d")"
}

figure_fresh() {
  note "Figures 1 and 2: fresh install (updater) against curl + bench-unpack"
  paired_runs fresh__yardstick fresh__updater
}

# --- 3: up-to-date check ------------------------------------------------------

uptodate__updater() {
  local d=$SCRATCH/fresh log=$LOGS/uptodate-updater-$1.log status
  settle
  run_updater "$d/cwd" "$log" "127.0.0.1:$NGINX_PORT" bench "$d/base"
  status=$(updater_status "$log" "Nothing to be done")
  [ "$status" = ok ] && status=$(tree_status "$d/manifest.tsv" "$d/base")
  record uptodate updater "$1" "$log" "$status"
}

uptodate__yardstick() {
  local d=$SCRATCH/fresh log=$LOGS/uptodate-yardstick-$1.log
  settle
  measure_run "$d" "$log" "$UNPACK" hash "$d/manifest.tsv" "$d/base"
  record uptodate yardstick "$1" "$log"
}

figure_uptodate() {
  note "Figure 3: up-to-date check (updater) against a one-core SHA-256 loop"
  local d=$SCRATCH/fresh
  if [ "$(tree_status "$d/manifest.tsv" "$d/base" 2>/dev/null)" != ok ]; then
    note "  installing the release first (untimed)"
    if ! fresh__updater 0; then
      record_skip uptodate updater no-installation-to-check
      return 0
    fi
  fi
  paired_runs uptodate__yardstick uptodate__updater
}

# --- 4: the large document and many groups ------------------------------------

prepare_bigdoc() {
  note "Writing the $BIG_FILES-entry documents and $BIG_FILES empty files"
  local d=$SCRATCH/big summary
  mkdir -p "$d/missing" "$d/cwd"
  "$PY" "$BENCH_DIR/gen_document.py" files "$WWW/updates/quillon5-full-bigmissing.info" \
    --count "$BIG_FILES" --base-url "http://127.0.0.1:$NGINX_PORT/packs-big/" \
    --group-default 0 >/dev/null || die "could not write the large document"
  summary=$("$PY" "$BENCH_DIR/gen_document.py" files \
    "$WWW/updates/quillon5-full-bigpresent.info" --count "$BIG_FILES" \
    --base-url "http://127.0.0.1:$NGINX_PORT/packs-big/" --group-default 1 \
    --present "$d/present") || die "could not write the large document"
  meta_from_summary big "$summary"
}

bigdoc__missing() {
  local d=$SCRATCH/big log=$LOGS/bigdoc-missing-$1.log status
  rm -f "$d/cwd/.updater.ini"
  run_updater "$d/cwd" "$log" "127.0.0.1:$NGINX_PORT" bigmissing "$d/missing"
  status=$(updater_status "$log" "Nothing to be done")
  if [ "$status" = ok ] && [ "$(count_files "$d/missing")" -ne 0 ]; then
    status=files-appeared
  fi
  record bigdoc missing "$1" "$log" "$status"
}

bigdoc__present() {
  local d=$SCRATCH/big log=$LOGS/bigdoc-present-$1.log status
  rm -f "$d/cwd/.updater.ini"
  run_updater "$d/cwd" "$log" "127.0.0.1:$NGINX_PORT" bigpresent "$d/present"
  status=$(updater_status "$log" "Nothing to be done")
  if [ "$status" = ok ] && [ "$(count_files "$d/present")" -ne "$BIG_FILES" ]; then
    status=files-lost
  fi
  record bigdoc present "$1" "$log" "$status"
}

figure_bigdoc() {
  note "Figure 4: the $BIG_FILES-entry document"
  single_runs bigdoc__missing
  single_runs bigdoc__present
}

prepare_groups() {
  note "Writing the $GROUP_COUNT-group document, its files and packs"
  local d=$SCRATCH/groups summary
  mkdir -p "$d/cwd"
  summary=$("$PY" "$BENCH_DIR/gen_document.py" groups "$WWW/updates/quillon5-full-groups.info" \
    --count "$GROUP_COUNT" --base-url "http://127.0.0.1:$NGINX_PORT/" --www "$WWW" \
    --present "$d/base" --ini "$d/groups.ini") || die "could not write the groups document"
  meta_from_summary groups_doc "$summary"
}

groups__read() {
  local d=$SCRATCH/groups log=$LOGS/groups-read-$1.log
  cp "$d/groups.ini" "$d/cwd/.updater.ini"
  run_updater "$d/cwd" "$log" "127.0.0.1:$NGINX_PORT" groups "$d/base"
  record groups read "$1" "$log" "$(updater_status "$log" "Nothing to be done")"
}

# One file of the middle group is missing, so the run installs it and
# writes the whole selection before and after.
groups__write() {
  local d=$SCRATCH/groups log=$LOGS/groups-write-$1.log status index=$((GROUP_COUNT / 2))
  local path
  path=$(printf 'g%03d/g%05d.txt' $((index / 1000)) "$index")
  cp "$d/groups.ini" "$d/cwd/.updater.ini"
  rm -f "$d/base/$path"
  settle
  run_updater "$d/cwd" "$log" "127.0.0.1:$NGINX_PORT" groups "$d/base"
  status=$(updater_status "$log" "Update Complete!")
  if [ "$status" = ok ] && [ "$(cat "$d/base/$path" 2>/dev/null)" != "group $index" ]; then
    status=file-not-installed
  elif [ "$status" = ok ] && [ "$(grep -c '=1' "$d/cwd/.updater.ini")" -ne "$GROUP_COUNT" ]; then
    status=selection-lost
  fi
  record groups write "$1" "$log" "$status"
}

figure_groups() {
  note "Figure 4b: $GROUP_COUNT groups (the selection file)"
  single_runs groups__read
  single_runs groups__write
}

# --- 5: many small files over a delayed network -------------------------------

prepare_small() {
  note "Generating and publishing $SMALL_FILES small files (served through the relay)"
  make_release "$SCRATCH/small" small "http://127.0.0.1:$PROXY_PORT/" $((SMALL_FILES * 8192)) \
    "$SMALL_FILES" 32768 512 s
  meta_from_summary small_release "$RELEASE_SUMMARY"
}

small_updater() {  # pair role [options...]
  local d=$SCRATCH/small log=$LOGS/small-$2-$1.log pair=$1 role=$2 status
  shift 2
  rm -rf "$d/base" "$d/cwd"
  mkdir -p "$d/base" "$d/cwd"
  settle
  run_updater "$d/cwd" "$log" "127.0.0.1:$PROXY_PORT" small "$d/base" "$@"
  status=$(updater_status "$log" "Update Complete!")
  [ "$status" = ok ] && status=$(tree_status "$d/manifest.tsv" "$d/base")
  record small "$role" "$pair" "$log" "$status"
}

small__jobs() { small_updater "$1" jobs --jobs "$JOBS"; }
small__sequential() { small_updater "$1" sequential; }

small__yardstick() {
  local d=$SCRATCH/small log=$LOGS/small-yardstick-$1.log
  rm -rf "$d/yard" "$d/download"
  mkdir -p "$d/download"
  settle
  run_curl_unpack "$d" "$log" --parallel --parallel-max "$JOBS"
  record small yardstick "$1" "$log" "$(yard_status "$d")"
}

figure_small() {
  note "Figure 5: $SMALL_FILES small files over a $RTT_MS ms round trip"
  if [ "$HAS_JOBS" = yes ]; then
    paired_runs small__yardstick small__jobs small__sequential
  else
    note "  this updater has no --jobs: that figure is n/a, the sequential one is measured"
    paired_runs small__yardstick small__sequential
  fi
}
