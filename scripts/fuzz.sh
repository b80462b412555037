#!/usr/bin/env bash
# Runs every fuzz target of tests/fuzz (tests/fuzz/CMakeLists.txt lists them) for SECONDS each
# (default 60), starting from its committed seed corpus; new inputs go to build/sanitize/corpus/,
# crashes to build/sanitize/artifacts/. A crash found here becomes a file in
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
failed=0
for t in $(tr ';' ' ' < "$build/tests/fuzz/targets.txt"); do
  mkdir -p "$build/corpus/$t"
  log="$build/tests/fuzz/$t.log"
  "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "tests/fuzz/corpus/$t" \
    >"$log" 2>&1
  status=$?
  runs=$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    failed=1
    echo "fuzz: $t FAILED (status $status); see $log"
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5
  else
    echo "fuzz: $t ok: ${runs:-no summary}"
  fi
done
exit $failed
