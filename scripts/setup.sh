#!/usr/bin/env bash
# Installs what the build and the test suite need on a Debian 12 machine,
# then configures and builds. Usage: scripts/setup.sh [build-dir] [extra cmake args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

packages=(cmake g++ make pkg-config libssl-dev zlib1g-dev libtinyxml-dev libgtest-dev
          openssl ca-certificates python3 python3-pyftpdlib procps nginx man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "$#" -gt 0 ]; then
  build=$1; shift
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$build" -j "$(nproc)"
fi
