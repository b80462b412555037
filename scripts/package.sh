#!/usr/bin/env bash
# Builds both packages into dist/: webmon-VERSION-win32.zip and
# webmon-VERSION-linux-x86_64.tar.gz (the release presets: no tests, webmon alone).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
mkdir -p dist
rm -f dist/webmon-*
for preset in release win32-release; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" --target webmon
  (cd "build/$preset" && cpack -B "$PWD/../../dist" >/dev/null)
done
rm -rf dist/_CPack_Packages
ls -l dist/webmon-*
