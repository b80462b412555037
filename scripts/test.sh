#!/usr/bin/env bash
# Builds webmon and runs its tests.
#
#   bash scripts/test.sh         everything (CI runs this):
#     native     the native build (gcc) and all its tests: unit tests of every folder and
#                end-to-end tests of webmon against real servers on 127.0.0.1;
#     sanitize   the same tests built with clang under the address and undefined sanitizers
#                (this is also the clang build, and it builds the fuzz targets);
#     tsan       the end-of-process race (webmon and monitor_end_test) under the thread
#                sanitizer: the only suite with two threads that matter;
#     windows    the 32-bit Windows build's tests under wine on a virtual display (xvfb-run),
#                then the packages made, the two folders unpacked into empty ones and run,
#                the .deb checked by lintian;
#     systemd    the .deb installed and run under a real systemd, booted in a container;
#     fiu        the native webmon with the C library failing under it (libfiu's fiu-run);
#     fuzz       every fuzz target for 10 s on its committed corpus and new inputs, one a core;
#     format     every C++ file of the tree against .clang-format (the house style);
#     layers     no include against the layers (scripts/check_layers.py), and its own test;
#     leftovers  no process of this run left running: only processes carrying this run's mark
#                (WEBMON_TEST_RUN) are looked at, so the command may run beside an installed
#                webmon, other webmon processes and other people's containers.
#   bash scripts/test.sh quick   the native suite alone, but for its tests labelled slow (a
#                                minute or more each): the loop for editing.
#
# The suites mostly wait (on servers, on webmon's periods, on wine), so they run side by side
# and the builds go on at low priority while they wait. Only the native build comes first;
# then the native and sanitizer suites together (the sanitizer build, then the Windows and
# thread sanitizer builds, behind them); then the Windows suite and the packages, beside the
# systemd test, the fuzz targets (at the lowest priority) and the thread sanitizer's race; then
# the checks of the tree. A suite keeps its output in its log and shows it whole at its end.
# On a 2-core machine with its packages installed the whole command takes about 4.5 minutes.
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
# One step that passes or fails as a whole: its command's exit status, its time.
step() {  # name command...
  local name=$1 start=$SECONDS; shift
  if "$@"; then record "$name" 1 0 $((SECONDS - start)); return 0; fi
  record "$name" 0 1 $((SECONDS - start)); return 1
}
# A step beside others keeps its output in a log and shows it whole at its end, under its
# title, never inside another step's output.
show() {  # title log
  flock build/.output sh -c 'echo "=== $1"; cat "$2"' sh "$1" "$2"
}

build_suite() {  # name preset "build targets (empty: all)": a build in the foreground
  local name=$1 preset=$2 start=$SECONDS target_args=()
  for t in $3; do target_args+=(--target "$t"); done
  echo "=== $name: build"
  if cmake --preset "$preset" >/dev/null &&
     cmake --build --preset "$preset" -j"$jobs" "${target_args[@]}"; then
    record "$name: build" 1 0 $((SECONDS - start)); return 0
  fi
  record "$name: build" 0 1 $((SECONDS - start)); return 1
}

# Builds go on at low priority while the suites before them test (their tests mostly wait):
# background_build leaves its log and "status seconds" in build/, await_build records it.
background_build() {  # preset "build targets (empty: all)"
  local preset=$1 start=$SECONDS target_args=()
  for t in $2; do target_args+=(--target "$t"); done
  if cmake --preset "$preset" >"build/$preset.build.log" 2>&1 &&
     nice -n 19 cmake --build --preset "$preset" -j"$jobs" "${target_args[@]}" \
       >>"build/$preset.build.log" 2>&1; then
    echo "0 $((SECONDS - start))" > "build/$preset.built"
  else
    echo "1 $((SECONDS - start))" > "build/$preset.built"
  fi
}
await_build() {  # name preset
  echo "=== $1: build (in the background since the native build)"
  while [ ! -f "build/$2.built" ]; do sleep 1; done
  local status seconds
  read -r status seconds < "build/$2.built"
  if [ "$status" = 0 ]; then
    record "$1: build" 1 0 "$seconds"; return 0
  fi
  tail -40 "build/$2.build.log"
  record "$1: build" 0 1 "$seconds"; return 1
}

test_suite() {  # name preset [ctest args...]
  local name=$1 preset=$2; shift 2
  local start=$SECONDS log="build/$preset/ctest.log" line
  if [ "$mode" = quick ]; then  # alone: its output as it comes
    echo "=== $name: tests"
    ctest --preset "$preset" -j"$tests_at_once" "$@" | tee "$log"
  else  # maybe beside another suite
    ctest --preset "$preset" -j"$tests_at_once" "$@" > "$log" 2>&1
    show "$name: tests" "$log"
  fi
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    record "$name: tests" $((BASH_REMATCH[2] - BASH_REMATCH[1])) "${BASH_REMATCH[1]}" \
      $((SECONDS - start))
  else
    record "$name: tests (no result)" 0 1 $((SECONDS - start))
  fi
}

# lintian on the .deb: no error, no warning; its notes are printed.
lintian_check() {
  local out
  out=$(lintian -I --pedantic dist/webmon_*.deb 2>&1 | grep -v '^running with root privileges')
  [ -n "$out" ] && echo "$out"
  ! grep -q '^[EW]: ' <<<"$out"
}

packages() {
  bash scripts/package.sh linux win32 &&
    python3 tests/package/package_test.py dist/webmon-*-linux-x86_64.tar.gz &&
    python3 tests/package/package_test.py dist/webmon-*-win32.zip &&
    lintian_check
}

windows() {
  . scripts/wine-env.sh
  wine_start
  if [ -f build/win32.built ] || build_suite "windows under wine" win32 ""; then
    wine_warm build/win32/webmon.exe
    test_suite "windows under wine" win32
  fi
  # From the suites' builds: the install rules are the release presets' own.
  echo "=== packages: made, unpacked into empty folders and run (Linux natively, Windows under wine)"
  step "packages" packages
  wine_stop
}

# The Debian package under a real systemd, booted in a container on a copy of this root; a
# machine that cannot boot one shows the step as skipped, counted neither way. The package is
# made here from the native suite's build, as the packages step makes its own beside it.
systemd_check() {
  local start=$SECONDS log=build/systemd.log status deb
  deb=$(bash scripts/deb.sh build/linux build/deb 2>/dev/null)
  python3 tests/package/systemd_test.py "$deb" > "$log" 2>&1
  status=$?
  show "systemd: the Debian package installed and run under a real systemd" "$log"
  if [ "$status" = 0 ]; then
    record "systemd (the .deb, under a real systemd)" 1 0 $((SECONDS - start))
  elif [ "$status" = 77 ]; then
    record "systemd: SKIPPED, $(sed -n 's/^systemd test: SKIPPED: //p' "$log" | cut -c1-40)" 0 0 \
      $((SECONDS - start))
  else
    record "systemd (the .deb, under a real systemd)" 0 1 $((SECONDS - start))
  fi
}

# The native webmon with the C library failing under it (libfiu): allocation, reads and writes,
# opening, sockets and poll, each at a few probabilities; no run may end by a signal or outlive
# its input by more than 10 s.
fiu() {
  local log=build/fiu.log status
  step "webmon under libfiu (C library failing)" python3 tests/fixtures/servers.py -- \
    python3 tests/monitor/webmon_fiu_test.py build/linux/webmon > "$log" 2>&1
  status=$?
  show "fiu: webmon with the C library failing under it" "$log"
  return $status
}

# At the lowest priority: beside the Windows suite, which mostly waits on wine and its servers,
# the targets take only the time it leaves (10 s each all the same, with fewer runs).
fuzz() {
  local start=$SECONDS log=build/fuzz.log
  nice -n 19 bash scripts/fuzz.sh 10 > "$log" 2>&1
  show "fuzz targets: 10 s each on the committed corpus and new inputs, one a core" "$log"
  local ok failed
  ok=$(grep -c '^fuzz: .* ok: ' "$log"); failed=$(grep -c 'FAILED' "$log")
  record "fuzz targets" "$ok" "$failed" $((SECONDS - start))
}

format_files() {
  # The tree's own files, found without git (a source archive has no .git).
  find . -path ./build -prune -o -path ./.git -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) \
    -print | xargs clang-format --dry-run --Werror
}

layers() {
  python3 scripts/check_layers.py && python3 tests/scripts/check_layers_test.py
}

# Every process a test starts carries this run's mark in its environment (WEBMON_TEST_RUN, set
# below), and only those are looked for: webmon processes, containers and servers of anyone
# else, an installed webmon service among them, are none of this command's business. Any found
# after the suites is named, then ended, and the step fails.
leftovers() {
  python3 scripts/leftovers.py "$WEBMON_TEST_RUN"
}

mode=${1:-all}
if [ "$mode" = windows ]; then  # under xvfb-run, from the whole command below
  windows
  exit 0
fi

if [ "$mode" = quick ]; then
  bash scripts/setup.sh quick || exit 1  # what the native suite needs, nothing more
else
  bash scripts/setup.sh || exit 1
fi
mkdir -p build
rm -f "$summary" build/*.built
# This run's mark (see leftovers): inherited by every process the steps start.
export WEBMON_TEST_RUN="$$-$(date +%s%N)"
if [ "$mode" = quick ]; then
  build_suite "native" linux "" && test_suite "native" linux -LE slow
else
  native_built=0
  build_suite "native" linux "" && native_built=1
  # The other builds follow one another at low priority, in the order their suites need them,
  # while the suites wait on their servers and periods.
  (background_build sanitize ""
   background_build win32 ""
   background_build tsan "webmon monitor_end_test") &
  # The native and sanitizer suites side by side, the sanitizers' as soon as it is built.
  { [ "$native_built" = 1 ] && test_suite "native" linux && fiu; } &
  native_pid=$!
  { await_build "sanitizers (clang; address, undefined)" sanitize &&
      test_suite "sanitizers (clang; address, undefined)" sanitize; } &
  sanitize_pid=$!
  wait "$native_pid" "$sanitize_pid"
  # Then the Windows suite under wine and the packages; beside them the Debian package under
  # systemd, the fuzz targets and the thread sanitizer's race (its build the last behind).
  { if await_build "windows under wine" win32; then
      xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/test.sh windows ||
        record "windows: xvfb-run" 0 1 0
    fi; } &
  windows_pid=$!
  systemd_check &
  systemd_pid=$!
  fuzz &
  fuzz_pid=$!
  await_build "thread sanitizer" tsan && test_suite "thread sanitizer" tsan -L threads
  wait "$windows_pid" "$systemd_pid" "$fuzz_pid"
  echo "=== format: every C++ file against .clang-format"
  step "format (.clang-format)" format_files
  echo "=== layers: platform <- runtime <- libs <- monitor"
  step "layers (scripts/check_layers.py)" layers
  echo "=== leftovers: no process of this run left running"
  step "no process left behind" leftovers
fi

echo
echo "=== summary (step: passed, failed, seconds)"
awk -F'\t' '{ printf "%-48s %5d passed %4d failed %5d s\n", $1, $2, $3, $4 }' "$summary"
read -r passed failed < <(awk -F'\t' '{ p += $2; f += $3 } END { print p + 0, f + 0 }' "$summary")
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
