#!/usr/bin/env bash
# Installs what webmon's builds and tests need on Debian 12, when anything is missing.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev python3 openssl googletest libbenchmark-dev libcurl4-openssl-dev
          nginx-light g++-mingw-w64-i686 wine wine32:i386)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
