#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need, if any
# is missing. Sourced by demo.sh and test.sh; install_missing serves the test
# sections that need more (the cross compilers and their emulators).
set -euo pipefail

required_packages=(g++ make cmake binutils octave liboctave-dev cimg-dev libgtest-dev clang libclang-rt-14-dev valgrind)

# Installs those of the given packages that are not installed yet.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo_if_needed=()
  [ "$(id -u)" -eq 0 ] || sudo_if_needed=(sudo)
  "${sudo_if_needed[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_if_needed[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

install_missing "${required_packages[@]}"
