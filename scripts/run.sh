#!/usr/bin/env bash
# Builds webmon natively (the release preset: webmon alone, no tests) and starts it beside its
# web.txt (an example one when none is there). Installs only what that build needs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target webmon
exec build/release/webmon
