#!/usr/bin/env bash
# Installs the Debian packages a command needs, if any is missing. Sourced by
# demo.sh, which sets setup_for=demo: the build and Octave only. test.sh
# (the default) adds GoogleTest, clang with its sanitizer runtime for the
# fuzzing, valgrind, and what the Python package needs to be built and
# tested; install_missing serves its sections that need more (the cross
# compilers and their emulators). With SETUP_LIST_ONLY set it
# prints the packages it would check and installs nothing.
set -euo pipefail

demo_packages=(g++ make cmake binutils octave liboctave-dev cimg-dev)
# The Python package and its tests: Debian's interpreter with its headers,
# numpy, pybind11, the build and venv tools, pytest and hypothesis, and Dask
# with its distributed scheduler and zarr for the runs over Dask arrays, and
# the readers and writers of the command line: NIfTI, TIFF, PNG and JPEG, and
# its progress bar.
python_packages=(python3-dev python3-venv python3-numpy python3-pybind11 pybind11-dev python3-setuptools python3-wheel
  python3-build python3-pytest python3-hypothesis python3-dask python3-distributed python3-zarr
  python3-nibabel python3-tifffile python3-pil python3-tqdm)
test_only_packages=(libgtest-dev clang libclang-rt-14-dev valgrind ccache "${python_packages[@]}")
required_packages=("${demo_packages[@]}")
[ "${setup_for:-test}" = demo ] || required_packages+=("${test_only_packages[@]}")

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

if [ -n "${SETUP_LIST_ONLY:-}" ]; then
  echo "${required_packages[*]}"
else
  install_missing "${required_packages[@]}"
fi
