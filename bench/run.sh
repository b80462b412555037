#!/usr/bin/env bash
# Builds the native release and runs the benchmarks: the core library's conversions beside the
# standard library, and HTTP and whole-pass timings beside a plain libcurl loop on nginx.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)" --target webmon core_bench http_bench
echo "=== core library (Google Benchmark)"
build/bench/bench/core_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  | tee build/bench/core_bench.txt
python3 - build/bench/core_bench.txt <<'PY'
import re, sys
median = {}
for line in open(sys.argv[1]):
    m = re.match(r'(BM_\w+)_median\s+([\d.]+) (\w+)', line)
    if m:
        scale = {'ns': 1, 'us': 1e3, 'ms': 1e6, 's': 1e9}[m.group(3)]
        median[m.group(1)] = float(m.group(2)) * scale
for ours, plain, target in (('BM_SplitText', 'BM_SplitStdString', 1.3),
                            ('BM_ToInteger', 'BM_Strtol', 2.0),
                            ('BM_ToText', 'BM_ToCharsIntoHeap', 2.0)):
    print('%s / %s: %.2f (target <= %.1f)' % (ours, plain, median[ours] / median[plain], target))
PY
echo "=== HTTP and whole passes (nginx on loopback)"
# WEBMON_AGAINST=EXE: another webmon (an earlier commit's bench build) timed beside this one.
python3 bench/measure.py build/bench ${WEBMON_AGAINST:+--against "$WEBMON_AGAINST"}
echo "=== a site that sets 60 new cookies on every visit: 2,000 fetches (test server)"
python3 tests/fixtures/servers.py -- build/bench/bench/http_bench cookies 2000 |
  awk '{ printf "first hundred %.2f ms, last hundred %.2f ms a fetch: ratio %.2f (target <= 1.5); peak %d kB\n", $1, $2, $2 / $1, $3 }'
