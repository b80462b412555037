#!/usr/bin/env bash
# Runs every fuzz target of tests/fuzz for SECONDS each (default 60), starting from its committed
# seed corpus; new inputs go to build/fuzz/corpus/, crashes to build/fuzz/artifacts/. A crash
# found here becomes a file in tests/fuzz/corpus/<target>/, so that every later run replays it.
#   bash scripts/fuzz.sh [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh || exit 1
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j"$(nproc)" --target fuzz_targets \
  >/dev/null || { echo "fuzz: BUILD FAILED"; exit 1; }
targets=(fuzz_split fuzz_conversion fuzz_byte_buffer fuzz_url fuzz_http_head fuzz_console_text)
mkdir -p build/fuzz/artifacts
failed=0
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t"
  log="build/fuzz/$t.log"
  build/fuzz/tests/fuzz/$t -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz/artifacts/$t-" "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" \
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
