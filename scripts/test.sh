#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/setup.sh"
cd "$root"
exec .venv/bin/python -m pytest "$@"
