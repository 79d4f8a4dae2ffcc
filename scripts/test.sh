#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite three
# times: a normal build, AddressSanitizer with UBSan, and ThreadSanitizer,
# all with warnings as errors; then a short libFuzzer run in a clang build.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

jobs=$(nproc)
failed=()
passed_total=0
failed_total=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs ctest in $1 and adds its counts to the totals; $2 names the run.
run_suites() {
  if ! ctest --test-dir "$1" --output-on-failure --timeout 300 2>&1 | tee "$log"; then
    failed+=("$2")
  fi
  # ctest closes with "N% tests passed, F tests failed out of T".
  summary=$(grep -E 'tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$summary" ]; then
    total=${summary##* }
    bad=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<<"$summary")
    passed_total=$((passed_total + total - bad))
    failed_total=$((failed_total + bad))
  else
    failed+=("$2 (no summary)")
  fi
}

for variant in normal address thread; do
  dir=build-test/$variant
  sanitize=$variant
  [ "$variant" = normal ] && sanitize=
  echo "=== $variant build ==="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUADRANT_WERROR=ON \
        -DQUADRANT_SANITIZE="$sanitize" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "=== $variant tests ==="
  run_suites "$dir" "$variant"
done

# libFuzzer needs clang: its own build of libsona, a 60-second smoke run
# from the seed corpus and the inputs kept from earlier findings.
echo "=== fuzz build ==="
cmake -S fuzz -B build-test/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-test/fuzz -j"$jobs"
echo "=== fuzz tests ==="
run_suites build-test/fuzz fuzz

echo "Suites run in the normal, AddressSanitizer+UBSan and ThreadSanitizer builds, and the fuzz build."
if [ ${#failed[@]} -ne 0 ]; then
  echo "Failures in: ${failed[*]}"
fi
echo "tests: $passed_total passed, $failed_total failed"
[ ${#failed[@]} -eq 0 ]
