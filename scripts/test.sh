#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite. With --sanitizers first,
# the suite runs on the build whose own sources carry ASan and UBSan.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${1:-}" = --sanitizers ]; then
  shift
  export ZOR_SANITIZE=1
fi
source "$root/scripts/setup.sh"
cd "$root"
exec "$py" -m pytest "$@"
