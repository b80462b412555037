#!/usr/bin/env bash
# Builds webmon and runs every test: native, under address and undefined sanitizers, under the
# thread sanitizer (the two-thread end-to-end tests), built with clang (unit tests), the
# 32-bit Windows build under wine on a virtual display, both packages unpacked and run, and the
# fuzz targets for a few seconds each.
#
# `test.sh windows` is the part that needs wine, run by the whole command under xvfb-run: wine
# makes its windows only on a display, and the tests look at them as a desktop would.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export LC_ALL=C
summary_file=build/test-summary.txt

failed=0
record() { echo "$1" >> "$summary_file"; }
run_suite() {  # name preset "build targets (empty: all)" [ctest args...]
  local name=$1 preset=$2 targets=$3; shift 3
  echo "=== $name: build"
  local target_args=()
  for t in $targets; do target_args+=(--target "$t"); done
  if ! cmake --preset "$preset" >/dev/null ||
     ! cmake --build --preset "$preset" -j"$jobs" "${target_args[@]}"; then
    record "$name: BUILD FAILED"; failed=1; return
  fi
  echo "=== $name: test"
  local log="build/$preset/ctest.log"
  ctest --preset "$preset" -j"$jobs" "$@" | tee "$log"
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then failed=1; fi
  record "$name: $(grep -E 'tests passed|tests failed' "$log" | tail -1)"
}

if [ "${1:-}" = windows ]; then
  . scripts/wine-env.sh
  wine_start
  run_suite "windows under wine" win32 ""
  echo "=== packages: made, unpacked into empty folders and run (Linux natively, Windows under wine)"
  if bash scripts/package.sh &&
     python3 tests/package/package_test.py dist/webmon-*-linux-x86_64.tar.gz &&
     python3 tests/package/package_test.py dist/webmon-*-win32.zip; then
    record "packages: both ran from an empty folder"
  else
    record "packages: FAILED"; failed=1
  fi
  wine_stop
  exit $failed
fi

bash scripts/setup.sh || exit 1
mkdir -p build
rm -f "$summary_file"
run_suite "native" linux ""
run_suite "sanitizers (address, undefined)" sanitize ""
run_suite "thread sanitizer" tsan "webmon monitor_end_test" -L threads
run_suite "clang build, unit tests" clang "" -E "monitor_|internet_test"
if ! xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/test.sh windows; then
  failed=1
  grep -q '^windows under wine' "$summary_file" || record "windows under wine: FAILED TO START"
fi
echo "=== fuzz targets: 10 s each on the committed corpus and new inputs"
if bash scripts/fuzz.sh 10; then
  record "fuzz targets: none failed"
else
  record "fuzz targets: FAILED"; failed=1
fi

echo
echo "=== summary"
cat "$summary_file"
total_pass=0; total_fail=0
while IFS= read -r line; do
  if [[ $line =~ ([0-9]+)%\ tests\ passed,\ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    total_fail=$((total_fail + BASH_REMATCH[2]))
    total_pass=$((total_pass + BASH_REMATCH[3] - BASH_REMATCH[2]))
  fi
done < "$summary_file"
echo "$total_pass passed, $total_fail failed"
exit $failed
