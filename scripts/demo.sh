#!/usr/bin/env bash
# Demo: builds everything, makes a signing key, publishes a signed sample
# release into a temporary directory, serves it with Python's http.server on
# 127.0.0.1 and runs the updater, trusting that key, four times into a sample
# base directory: the first run installs, the second finds nothing to do, the
# third (after a new release that changes one file and lists one as outdated,
# and a check with --check that lists what it will do) updates that file and
# deletes the outdated one, and the fourth is served a tampered document,
# which it refuses, leaving the installation unchanged.
# Then it stops the server and says where the files are.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
python=/usr/bin/python3

demo=$(mktemp -d /tmp/updater-demo-XXXXXX)
echo "=== Building into $build (a few minutes the first time) ==="
if ! bash "$top/scripts/setup.sh" "$build" >"$demo/build.log" 2>&1; then
  tail -n 40 "$demo/build.log"
  echo "demo: the build failed; the whole log is $demo/build.log" >&2
  exit 1
fi
updater=$build/cli/updater
publish=$build/tools/updater-publish

www=$demo/www        # what the web server serves
base=$demo/base      # the installation the updater keeps up to date
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap stop_server EXIT
mkdir -p "$www" "$base"

# A sample release and its description.
release=$demo/release-1.0
mkdir -p "$release/bin" "$release/conf" "$release/docs" "$release/plugins"
printf '#!/bin/sh\necho "Quillon 1.0"\n' >"$release/bin/quillon"
chmod 755 "$release/bin/quillon"
printf 'port = 7000\nname = quillon\n' >"$release/conf/quillon.conf"
printf 'Quillon: the friendly bot.\nRun bin/quillon to start it.\n' >"$release/docs/manual.txt"
printf 'legacy plugin\n' >"$release/plugins/legacy.so"
printf 'Quillon 1.0\n' >"$release/README.txt"
cat >"$demo/release-1.0.desc" <<'EOF'
[release]
generation = 2
AppName = Quillon
Author = Tessaworks
URL = http://www.example.com/quillon/

[group base]
dispName = Base program
menu = Program
desc = The bot and its configuration.\nAlways needed.
priority = 90
default = 1
defaultgrp = 1

[group docs]
dispName = Documentation
priority = 10
default = 1

[files]
bin/* = base
conf/* = base
plugins/* = base
docs/* = docs
EOF

# A port that is free now, then the server on it.
port=$("$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
"$python" -m http.server --bind 127.0.0.1 "$port" --directory "$www" >"$demo/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  "$python" -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" \
    2>/dev/null && break
  sleep 0.1
done
echo "=== Serving $www on http://127.0.0.1:$port/ ==="

echo "=== Making the vendor's signing key ==="
"$publish" --new-key "$demo/vendor"
sign=(--sign-key "$demo/vendor.key" --valid-days 30)

echo "=== Publishing release 1.0, signed ==="
"$publish" "${sign[@]}" --base-url "http://127.0.0.1:$port/" "$release" "$demo/release-1.0.desc" "$www"

failed=0
run_updater() {  # title [expect-failure]
  echo
  echo "=== $1: updater --server 127.0.0.1:$port -d $base --trust-key $demo/vendor.pub ==="
  # The group selection and the serials seen (.updater.ini) live in the
  # working directory.
  if (cd "$base" && "$updater" --server "127.0.0.1:$port" -d "$base" --trust-key "$demo/vendor.pub"); then
    [ -z "${2:-}" ] || { echo "demo: this run should have failed" >&2; failed=1; }
  elif [ -z "${2:-}" ]; then
    echo "demo: this run of the updater failed" >&2
    failed=1
  fi
  echo
}

run_updater "Run 1, fresh install"
run_updater "Run 2, nothing changed"

echo
echo "=== Publishing release 1.1: conf/quillon.conf changes, plugins/legacy.so is outdated ==="
release2=$demo/release-1.1
cp -a "$release" "$release2"
printf 'port = 7001\nname = quillon\n' >"$release2/conf/quillon.conf"
rm "$release2/plugins/legacy.so"
grep -v '^plugins/' "$demo/release-1.0.desc" >"$demo/release-1.1.desc"
printf '\n[outdated]\nplugins/legacy.so\n' >>"$demo/release-1.1.desc"
"$publish" "${sign[@]}" --base-url "http://127.0.0.1:$port/" "$release2" "$demo/release-1.1.desc" "$www"

echo
echo "=== Check: updater --check ... lists what run 3 will do, changes nothing, exits 2 ==="
status=0
(cd "$base" && "$updater" --check --server "127.0.0.1:$port" -d "$base" --trust-key "$demo/vendor.pub") ||
  status=$?
if [ "$status" -ne 2 ]; then
  echo "demo: the check should have found an update pending (status 2, not $status)" >&2
  failed=1
fi

run_updater "Run 3, after release 1.1"

echo
echo "=== An attacker serves a document that deletes bin/quillon ==="
document=$www/updates/quillon5-full-centos7.x86_64.info
sed -i 's|file="plugins/legacy.so"|file="bin/quillon"|' "$document"
listing() { (cd "$base" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
before=$(listing)
run_updater "Run 4, tampered document" expect-failure
if [ "$(listing)" = "$before" ]; then
  echo "The installation and its .updater.ini are unchanged."
else
  echo "demo: the tampered document changed the installation" >&2
  failed=1
fi

stop_server
echo "=== Server stopped ==="
echo "Installed files:   $base"
echo "Published files:   $www (document under updates/, packs under packs/)"
echo "Releases:          $release, $release2"
echo "Remove it all with: rm -rf $demo"
exit "$failed"
