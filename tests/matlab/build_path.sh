#!/usr/bin/env bash
# Keeps the MATLAB build path working where MATLAB is not installed: builds
# both plug-ins through find_package(Matlab) and matlab_add_mex against a
# stand-in MATLAB tree (the stand-in host's mex.h, empty libraries, the
# version and export files matlab_add_mex expects), then checks that each
# exports mexFunction.
#   build_path.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1
work=$2
root=$work/matlab_root
rm -rf "$work"
mkdir -p "$root/bin/glnxa64" "$root/extern/include" "$root/extern/lib/glnxa64" "$root/extern/version"

echo '<version>9.14.0.2206163</version>' > "$root/VersionInfo.xml"
printf '#!/bin/sh\necho mexa64\n' > "$root/bin/mexext"
chmod +x "$root/bin/mexext"
cp "$source_dir/host/mex.h" "$root/extern/include/mex.h"
echo 'void standin_matlab_library(void) {}' > "$work/empty.c"
for library in mex mx mat eng ut; do
  cc -shared -fPIC -o "$root/bin/glnxa64/lib$library.so" "$work/empty.c"
done
cat > "$root/extern/version/c_mexapi_version.c" <<'C'
__attribute__((visibility("default"))) void mexfilerequiredapiversion(unsigned int* built, unsigned int* target) {
  *built = 0;
  *target = 0;
}
C
printf 'MEX {\n  global: mexfilerequiredapiversion; mexFunction;\n  local: *;\n};\n' \
  > "$root/extern/lib/glnxa64/c_exportsmexfileversion.map"
printf 'MEX {\n  global: mexFunction;\n  local: *;\n};\n' > "$root/extern/lib/glnxa64/mexFunction.map"

cmake -S "$source_dir" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DMatlab_ROOT_DIR="$root" \
  -DSEGMENTATION_OCTAVE=OFF -DSEGMENTATION_TESTS=OFF | grep -i matlab
cmake --build "$work/build" --target matlab_sorvik matlab_tamvel -j "$(nproc)" > "$work/build.log" 2>&1 ||
  { tail -30 "$work/build.log"; exit 1; }
for command in Sorvik Tamvel; do
  plugin=$work/build/matlab/$command.mexa64
  nm -D --defined-only "$plugin" | grep -Eq ' T mexFunction(@@MEX)?$' || { echo "$plugin lacks mexFunction"; exit 1; }
  [ -f "$work/build/matlab/$command.m" ] || { echo "no help file beside $plugin"; exit 1; }
  echo "$plugin: built through matlab_add_mex, exports mexFunction"
done
