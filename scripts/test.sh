#!/usr/bin/env bash
# Builds webmon and runs its tests.
#
#   bash scripts/test.sh         everything (CI runs this), in this order:
#     native     the native build (gcc) and all its tests: unit tests of every folder and
#                end-to-end tests of webmon against real servers on 127.0.0.1;
#     sanitize   the same tests built with clang under the address and undefined sanitizers
#                (this is also the clang build, and it builds the fuzz targets);
#     tsan       the end-of-process race (webmon and monitor_end_test) under the thread
#                sanitizer: the only suite with two threads that matter;
#     windows    the 32-bit Windows build's tests under wine on a virtual display (xvfb-run),
#                then both packages made, unpacked into empty folders and run;
#     fuzz       every fuzz target for 10 s on its committed corpus and new inputs.
#   bash scripts/test.sh quick   the native suite alone: the loop for editing.
#
# Every step counts in the closing line "N passed, M failed": a test is one, and so is a build,
# the packages or a fuzz target; a step that fails counts as failed there. The exit code is 0
# only when nothing failed. `test.sh windows` is the part that needs wine; the whole command
# runs it under xvfb-run, since wine makes its windows only on a display and the tests look at
# them as a desktop would.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
tests_at_once=$((2 * jobs))  # the tests mostly wait, on servers and on webmon's periods
export LC_ALL=C
summary=build/test-summary.txt   # one line a step: name, passed, failed, seconds

record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >> "$summary"; }

run_suite() {  # name preset "build targets (empty: all)" [ctest args...]
  local name=$1 preset=$2 targets=$3; shift 3
  local start=$SECONDS target_args=()
  for t in $targets; do target_args+=(--target "$t"); done
  echo "=== $name: build"
  if ! cmake --preset "$preset" >/dev/null ||
     ! cmake --build --preset "$preset" -j"$jobs" "${target_args[@]}"; then
    record "$name: build" 0 1 $((SECONDS - start)); return
  fi
  record "$name: build" 1 0 $((SECONDS - start))
  echo "=== $name: test"
  start=$SECONDS
  local log="build/$preset/ctest.log" line
  ctest --preset "$preset" -j"$tests_at_once" "$@" | tee "$log"
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    record "$name: tests" $((BASH_REMATCH[2] - BASH_REMATCH[1])) "${BASH_REMATCH[1]}" \
      $((SECONDS - start))
  else
    record "$name: tests (no result)" 0 1 $((SECONDS - start))
  fi
}

windows() {
  . scripts/wine-env.sh
  wine_start
  run_suite "windows under wine" win32 ""
  echo "=== packages: made, unpacked into empty folders and run (Linux natively, Windows under wine)"
  local start=$SECONDS
  if bash scripts/package.sh &&
     python3 tests/package/package_test.py dist/webmon-*-linux-x86_64.tar.gz &&
     python3 tests/package/package_test.py dist/webmon-*-win32.zip; then
    record "packages" 1 0 $((SECONDS - start))
  else
    record "packages" 0 1 $((SECONDS - start))
  fi
  wine_stop
}

fuzz() {
  echo "=== fuzz targets: 10 s each on the committed corpus and new inputs"
  local start=$SECONDS log=build/fuzz.log
  bash scripts/fuzz.sh 10 | tee "$log"
  local ok failed
  ok=$(grep -c '^fuzz: .* ok: ' "$log"); failed=$(grep -c 'FAILED' "$log")
  record "fuzz targets" "$ok" "$failed" $((SECONDS - start))
}

mode=${1:-all}
if [ "$mode" = windows ]; then  # under xvfb-run, from the whole command below
  windows
  exit 0
fi

bash scripts/setup.sh || exit 1
mkdir -p build
rm -f "$summary"
run_suite "native" linux ""
if [ "$mode" != quick ]; then
  run_suite "sanitizers (clang; address, undefined)" sanitize ""
  run_suite "thread sanitizer" tsan "webmon monitor_end_test" -L threads
  xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/test.sh windows ||
    record "windows: xvfb-run" 0 1 0
  fuzz
fi

echo
echo "=== summary (step: passed, failed, seconds)"
awk -F'\t' '{ printf "%-44s %5d passed %4d failed %5d s\n", $1, $2, $3, $4 }' "$summary"
read -r passed failed < <(awk -F'\t' '{ p += $2; f += $3 } END { print p + 0, f + 0 }' "$summary")
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
