#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite three
# times: a normal build, AddressSanitizer with UBSan, and ThreadSanitizer,
# all with warnings as errors; then a 60-second libFuzzer run in a clang
# build.  Exits non-zero on any failure.
#
# The tests mostly wait (on sound servers, windows, the clock), so each
# build's suite runs while the next build compiles: the two cores stay
# busy and the whole takes about half as long as one stage after another.
# The real-time cases alone run with nothing beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
start=$SECONDS
failed=()

# Line tables are enough for a sanitizer's report: full debug information
# would cost a quarter of the build.
build() { # NAME SANITIZER
  echo "=== $1 build ($((SECONDS - start)) s)"
  cmake -G Ninja -S . -B "build-test/$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
        -DQUADRANT_WERROR=ON -DQUADRANT_SANITIZE="$2" >/dev/null
  cmake --build "build-test/$1" -j"$jobs"
}
# Runs a suite in the background, its report kept for the summary.
suite() { # NAME [BUILD [CTEST OPTIONS]]
  local name=$1 dir=build-test/${2:-$1}
  shift $(($# < 2 ? $# : 2))
  ctest --test-dir "$dir" -j2 --output-on-failure --timeout 300 "$@" \
        >"$logs/$name" 2>&1 && echo 0 >"$logs/$name.status" || echo 1 >"$logs/$name.status" &
}
report() { # NAME
  wait
  echo "=== $1 tests (done at $((SECONDS - start)) s)"
  grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|The following|^\s+[0-9]+ - ' "$logs/$1" || true
  if [ "$(cat "$logs/$1.status")" != 0 ]; then
    failed+=("$1")
    cat "$logs/$1"
  fi
}

build normal ""
suite normal normal -LE realtime
build address address
report normal
# How soon a change is heard, and whether a rewrite leaves a seam, are
# measured with no compiler beside them: a rewrite late by a busy core
# would be the machine's fault, not the library's.
suite realtime normal -L realtime
report realtime
suite address
build thread thread
report address
suite thread
# libFuzzer needs clang: its own build of libsona, a 60-second run from the
# seed corpus and the inputs kept from earlier findings.  The run takes one
# core while the ThreadSanitizer suite, which mostly waits, goes on beside it.
echo "=== fuzz build ($((SECONDS - start)) s)"
cmake -G Ninja -S fuzz -B build-test/fuzz -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-test/fuzz -j"$jobs"
suite fuzz
report thread
report fuzz

echo "Suites run in the normal, AddressSanitizer+UBSan and ThreadSanitizer builds, and the fuzz build, in $((SECONDS - start)) s."
if [ ${#failed[@]} -ne 0 ]; then
  echo "Failures in: ${failed[*]}"
  exit 1
fi
