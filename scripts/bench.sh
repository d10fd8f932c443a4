#!/usr/bin/env bash
# Sets everything up, installs what the benchmarks compare against, then runs
# one of them: scripts/bench.sh NAME [options], NAME one of bench/*.py.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/setup.sh"
cd "$root"
name=${1:?usage: scripts/bench.sh NAME [options], NAME one of: $(cd bench && ls *.py | sed 's/\.py$//' | tr '\n' ' ')}
shift
# safetensors: what bench/bigmodel.py compares memory-mapped reads against;
# deflate (libdeflate): one of the codecs bench/codec.py measures. Nothing
# else uses them.
$py -m pip install -q -c constraints.txt safetensors deflate
# bench/simulate.py runs the same networks in snnTorch and Norse, in their venvs.
if [ "$name" = simulate ]; then
  bash "$root/scripts/frameworks.sh"
fi
exec "$py" "bench/$name.py" "$@"
