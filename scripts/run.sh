#!/usr/bin/env bash
# Builds webmon natively and starts it beside its web.txt (an example one when none is there).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build build/linux -j"$(nproc)" --target webmon
exec build/linux/webmon
