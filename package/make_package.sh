#!/usr/bin/env bash
# Builds the Octave package archive <name>-<version>.tar.gz from the working
# tree: DESCRIPTION, COPYING and INDEX, inst/ with the help files and the
# demo, src/ with the Makefile, the export map and every C++ source of the
# plug-ins, and post_install.m, which puts the help files beside the
# plug-ins. `pkg install` builds it with the host's mkoctfile.
#   make_package.sh [OUTPUT_DIR]     (default: the current directory)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
output=$(realpath "${1:-.}")
name=$(sed -n 's/^Name: *//p' "$root/package/DESCRIPTION")
version=$(sed -n 's/^Version: *//p' "$root/package/DESCRIPTION")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/$name-$version
mkdir -p "$top/inst" "$top/src"
cp "$root/package/DESCRIPTION" "$root/package/COPYING" "$root/package/INDEX" "$root/package/post_install.m" "$top/"
cp "$root/mex/Sorvik.m" "$root/mex/Tamvel.m" "$root/mex/edgeseg_settings.m" "$root/package/inst/"*.m "$top/inst/"
cp "$root/package/src/Makefile" "$root/cmake/mexFunction.map" "$top/src/"
for folder in core api boundary sorvik tamvel; do
  mkdir -p "$top/src/$folder"
  cp "$root/$folder/"*.h "$root/$folder/"*.cpp "$top/src/$folder/"
done
mkdir -p "$top/src/include/edgeseg"
cp "$root/include/edgeseg/"*.h "$top/src/include/edgeseg/"

mkdir -p "$output"
archive=$output/$name-$version.tar.gz
tar -C "$stage" --owner=0 --group=0 --sort=name -czf "$archive" "$name-$version"
echo "$archive"
