#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need, if any
# is missing. Sourced by demo.sh and test.sh.
set -euo pipefail

required_packages=(g++ make cmake binutils octave liboctave-dev cimg-dev libgtest-dev clang libclang-rt-14-dev valgrind)

missing=()
for package in "${required_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}"
  sudo_if_needed=()
  [ "$(id -u)" -eq 0 ] || sudo_if_needed=(sudo)
  "${sudo_if_needed[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_if_needed[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
