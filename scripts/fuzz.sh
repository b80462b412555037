#!/usr/bin/env bash
# Runs every fuzz target of tests/fuzz (tests/fuzz/CMakeLists.txt lists them) for SECONDS each
# (default 60), one a core at a time, starting from its committed seed corpus; new inputs go to
# build/sanitize/corpus/, crashes to build/sanitize/artifacts/. A crash found here becomes a file in
# tests/fuzz/corpus/<target>/, so that every later run replays it. The targets are built in the
# sanitize preset, which the test command's sanitizer suite builds anyway.
#   bash scripts/fuzz.sh [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh || exit 1
build=build/sanitize
cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j"$(nproc)" \
  --target fuzz_targets >/dev/null || { echo "fuzz: BUILD FAILED"; exit 1; }
mkdir -p "$build/artifacts"
# One target a core at a time; each leaves its verdict line in a file, printed in list order.
fuzz_one() {  # target
  local t=$1 log="$build/tests/fuzz/$1.log" status runs
  mkdir -p "$build/corpus/$t"
  "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "tests/fuzz/corpus/$t" \
    >"$log" 2>&1
  status=$?
  runs=$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    { echo "fuzz: $t FAILED (status $status); see $log"
      grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5; } > "$log.verdict"
  else
    echo "fuzz: $t ok: ${runs:-no summary}" > "$log.verdict"
  fi
}
targets=$(tr ';' ' ' < "$build/tests/fuzz/targets.txt")
for t in $targets; do
  rm -f "$build/tests/fuzz/$t.log.verdict"
  fuzz_one "$t" &
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n; done
done
wait
failed=0
for t in $targets; do
  cat "$build/tests/fuzz/$t.log.verdict" 2>/dev/null || echo "fuzz: $t FAILED (no verdict)"
  grep -q ' ok: ' "$build/tests/fuzz/$t.log.verdict" 2>/dev/null || failed=1
done
exit $failed
