#!/usr/bin/env bash
# Counts lines the way the project counts them: every line of the .cpp and .h
# files of the code (cli/, libupdater/, src/, tools/) and of the tests
# (tests/), and the ratio of tests to code.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
count() {  # directories...
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 -r cat | wc -l
}
code=$(count cli libupdater src tools)
tests=$(count tests)
awk -v c="$code" -v t="$tests" 'BEGIN {
  printf "code:  %6d lines (cli/, libupdater/, src/, tools/)\n", c
  printf "tests: %6d lines (tests/)\n", t
  printf "ratio: %6.2f tests per line of code\n", (c > 0 ? t / c : 0)
}'
