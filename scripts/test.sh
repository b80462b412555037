#!/usr/bin/env bash
# Builds webmon and runs every test: native, under address and undefined sanitizers, under the
# thread sanitizer (the two-thread end-to-end tests), built with clang (unit tests), the
# 32-bit Windows build under wine, both packages unpacked and run, and the fuzz targets for a
# few seconds each.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
. scripts/wine-env.sh
jobs=$(nproc)
export LC_ALL=C

failed=0
summary=()
run_suite() {  # name preset "build targets (empty: all)" [ctest args...]
  local name=$1 preset=$2 targets=$3; shift 3
  echo "=== $name: build"
  local target_args=()
  for t in $targets; do target_args+=(--target "$t"); done
  if ! cmake --preset "$preset" >/dev/null ||
     ! cmake --build --preset "$preset" -j"$jobs" "${target_args[@]}"; then
    summary+=("$name: BUILD FAILED"); failed=1; return
  fi
  echo "=== $name: test"
  local log="build/$preset/ctest.log"
  ctest --preset "$preset" -j"$jobs" "$@" | tee "$log"
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then failed=1; fi
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$log" | tail -1)")
}

wine_start
run_suite "native" linux ""
run_suite "sanitizers (address, undefined)" sanitize ""
run_suite "thread sanitizer" tsan "webmon monitor_end_test" -L threads
run_suite "clang build, unit tests" clang "" -E "monitor_|internet_test"
run_suite "windows under wine" win32 ""
echo "=== packages: made, unpacked into empty folders and run (Linux natively, Windows under wine)"
if bash scripts/package.sh &&
   python3 tests/package/package_test.py dist/webmon-*-linux-x86_64.tar.gz &&
   python3 tests/package/package_test.py dist/webmon-*-win32.zip; then
  summary+=("packages: both ran from an empty folder")
else
  summary+=("packages: FAILED"); failed=1
fi
wine_stop
echo "=== fuzz targets: 10 s each on the committed corpus and new inputs"
if bash scripts/fuzz.sh 10; then
  summary+=("fuzz targets: none failed")
else
  summary+=("fuzz targets: FAILED"); failed=1
fi

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
total_pass=0; total_fail=0
for line in "${summary[@]}"; do
  if [[ $line =~ ([0-9]+)%\ tests\ passed,\ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    total_fail=$((total_fail + BASH_REMATCH[2]))
    total_pass=$((total_pass + BASH_REMATCH[3] - BASH_REMATCH[2]))
  fi
done
echo "$total_pass passed, $total_fail failed"
exit $failed
