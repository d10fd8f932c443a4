#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite. With --sanitizers first,
# the suite runs on the build whose own sources carry ASan and UBSan. With
# --frameworks first, it sets up the framework venvs and runs only the suite
# of tests/frameworks, the trips through snnTorch, Norse, Sinabs and Rockpool.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${1:-}" = --sanitizers ]; then
  shift
  export ZOR_SANITIZE=1
elif [ "${1:-}" = --frameworks ]; then
  shift
  bash "$root/scripts/frameworks.sh"
  export ZOR_FRAMEWORKS=1
  set -- tests/frameworks "$@"
fi
source "$root/scripts/setup.sh"
cd "$root"
exec "$py" -m pytest "$@"
