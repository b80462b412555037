#!/usr/bin/env bash
# Installs what webmon needs on Debian 12, when anything is missing:
#   setup.sh run    what the native build of webmon needs, nothing more (scripts/run.sh)
#   setup.sh quick  what the native suite needs (scripts/test.sh quick): the build, GoogleTest,
#                   and python3 with openssl for the test servers
#   setup.sh [test] everything the tests, the Windows build, the fuzzers and packages need
set -euo pipefail

packages=(cmake make g++ libcurl4-openssl-dev)
recommends=--no-install-recommends
if [ "${1:-test}" = quick ]; then
  packages+=(python3 openssl googletest libgtest-dev)
elif [ "${1:-test}" != run ]; then
  recommends=  # wine needs its recommended packages
  packages+=(clang clang-format libclang-rt-14-dev python3 openssl googletest libgtest-dev libbenchmark-dev nginx-light
             g++-mingw-w64-i686 wine wine32:i386 xvfb xauth locales systemd
             systemd-container dpkg-dev lintian piuparts curl ca-certificates fiu-utils)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # A mirror caught mid-sync fails an index now and then ("File has unexpected size"), and a
  # foreign architecture's packages then cannot be resolved: try again before giving up on it.
  for attempt in 1 2 3 4 5 6; do
    apt-get update && break
    echo "setup: an index failed to download (attempt $attempt of 6); trying again in 30 s"
    sleep 30
  done
  DEBIAN_FRONTEND=noninteractive apt-get install -y $recommends "${missing[@]}"
fi

# The Windows build's GBK path test runs wine under the Chinese locale (code page 936).
if [ "${1:-test}" = test ] && ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
