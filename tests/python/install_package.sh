#!/usr/bin/env bash
# Installs the Python package as the README tells a user to: a virtual
# environment of Debian's interpreter that sees Debian's packages, then pip
# from the checkout without build isolation; then builds the wheel the other
# way the README gives. The tests then run with the environment's python.
# A second run reuses the environment and the compiled objects in python/build.
set -euo pipefail
root=$1 venv=$2
[ -x "$venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --quiet --no-build-isolation "$root/python"
(cd "$root/python" && "$venv/bin/python" -m build --no-isolation --wheel --outdir "$venv/dist" > /dev/null)
ls "$venv"/dist/edgeseg-*.whl > /dev/null
# Imported from the environment, not from the checkout.
(cd / && "$venv/bin/python" -c 'import edgeseg, sys; assert edgeseg.__file__.startswith(sys.prefix), edgeseg.__file__')
