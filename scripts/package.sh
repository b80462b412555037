#!/usr/bin/env bash
# Builds the packages into dist/: webmon-VERSION-linux-x86_64.tar.gz, the Debian package
# webmon_VERSION_ARCH.deb (scripts/deb.sh) and webmon-VERSION-win32.zip, from the release
# presets (no tests, webmon alone), or from the two presets named (the test command packs its
# suites' builds: the install rules are the same).
#   bash scripts/package.sh [LINUX_PRESET WINDOWS_PRESET]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
mkdir -p dist
rm -f dist/webmon-* dist/webmon_*
for preset in "${1:-release}" "${2:-win32-release}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" --target webmon
  (cd "build/$preset" && cpack -B "$PWD/../../dist" >/dev/null)
done
bash scripts/deb.sh "build/${1:-release}" dist >/dev/null
rm -rf dist/_CPack_Packages
ls -l dist/webmon-* dist/webmon_*
