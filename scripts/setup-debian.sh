#!/usr/bin/env bash
# Installs what building and testing Tavrelon needs on Debian, skipping what is
# already there. Pass "windows" to add the mingw-w64 cross compiler and Wine,
# "fuzz" to add clang with its sanitizer and libFuzzer runtimes.
set -euo pipefail

# chromium: the night report's browser check loads its page headless;
# clang-format: CI fails on a file that it would change; libdw-dev: the stacks
# of a hung program (elfutils), pkg-config to find it; libsystemd-dev: sd-bus,
# for the sleep inhibitor; dbus-daemon: the private bus its test runs.
packages=(cmake g++ make libgtest-dev googletest libbenchmark-dev chromium clang-format libdw-dev
  pkg-config libsystemd-dev dbus-daemon)
if [ "${1:-}" = windows ]; then
  # unzip: the package checks unpack the Windows release zip as a user would;
  # xvfb: a display for the tests of the end of the session, which need windows.
  packages+=(g++-mingw-w64-x86-64-posix wine64 unzip xvfb)
fi
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
