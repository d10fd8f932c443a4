#!/usr/bin/env bash
# Sets up the venvs that tests/frameworks runs snnTorch, Norse, Sinabs and
# Rockpool in; safe to run again and silent when everything is there.
# They live outside the work tree (every clone shares them, as it shares the
# HDF5 build) and run Python 3.11, for which PyTorch lies on this machine.
# A venv's packages are the "#@all" and "#@NAME" lines of constraints.txt,
# installed exactly; a venv whose lines changed is made anew.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
constraints="$root/constraints.txt"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/zor-ir/frameworks"

source "$root/scripts/find_python.sh"

# samna's PyPI package is a stub that installs the real one from the network
# when imported; Sinabs and Rockpool try it and do without when it fails.
block_samna() {
  local site
  site=$("$1" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  cat >"$site/_zor_no_samna.py" <<'PY'
"""Makes `import samna` fail at once, whatever is installed."""
import sys


class _NoSamna:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == "samna" or name.startswith("samna."):
            raise ImportError("samna is blocked in this venv")
        return None


sys.meta_path.insert(0, _NoSamna)
PY
  echo "import _zor_no_samna" >"$site/_zor_no_samna.pth"
}

make_venv() {  # name venv pins
  echo "frameworks: setting up $2" >&2
  rm -rf "$2"
  mkdir -p "$cache"
  "$(find_python 3.11 frameworks)" -m venv "$2"
  printf '%s\n' "$3" >"$2/requirements.txt"
  # Every package is pinned, so nothing is resolved; pip check then proves
  # that the pins hold every dependency.
  if ! log=$("$2/bin/python" -m pip install -q --no-deps -r "$2/requirements.txt" 2>&1) \
     || ! log=$("$2/bin/python" -m pip check 2>&1); then
    echo "$log" >&2
    echo "frameworks: setting up $1 failed" >&2
    exit 1
  fi
  block_samna "$2/bin/python"
  mv "$2/requirements.txt" "$2/pins.txt"  # last: marks the venv complete
}

venvs=$(sed -n 's/^#@\([A-Za-z0-9_.-]*\) .*/\1/p' "$constraints" | grep -vx all | sort -u)
for name in $venvs; do
  pins=$(sed -n "s/^#@\(all\|$name\) //p" "$constraints")
  venv="$cache/$name"
  if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/pins.txt" 2>/dev/null)" != "$pins" ]; then
    make_venv "$name" "$venv" "$pins"
  fi
  # The venv's nir alone (it is pure Python), for ZOR-IR's own interpreter to
  # write the files this framework reads back.
  if [ ! -f "$venv/nir-for-zor/nir/__init__.py" ]; then
    rm -rf "$venv/nir-for-zor"
    if ! log=$("$venv/bin/python" -m pip install -q --no-deps --target "$venv/nir-for-zor" \
               "$(grep '^nir==' "$venv/pins.txt")" 2>&1); then
      echo "$log" >&2
      echo "frameworks: installing $name's nir for ZOR-IR failed" >&2
      exit 1
    fi
  fi
done
