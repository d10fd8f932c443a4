#!/usr/bin/env bash
# Sets everything up, then builds an example network, writes it, reads it back and shows it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/setup.sh"
cd "$root"
exec .venv/bin/python -m zor.ir example "$@"
