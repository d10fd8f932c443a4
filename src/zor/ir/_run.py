"""zor-ir run: a graph of a .zor file run over the inputs of a .npy or .npz
file, its outputs and recorded states written to one .npz file."""

from __future__ import annotations

import argparse
import sys
import zipfile
from pathlib import Path
from typing import Any, Dict

import numpy as np

from ._cli import UserError, _about, _as_graph, _count, _output, _read_zor
from ._simulate import METHODS, simulate

#: A run shorter than this shows no progress bar.
PROGRESS_DELAY = 1.0


def arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="NET", help="a .zor file")
    parser.add_argument("--input", metavar="X", required=True,
                        help="X.npy: the array (T, B, *shape) of the graph's one input node; "
                             "X.npz: one such array per input node, under its name")
    parser.add_argument("--dt", type=float, required=True, metavar="DT",
                        help="the time step, in the unit of the time constants")
    parser.add_argument("--method", choices=METHODS, default="euler",
                        help="forward Euler (default) or each step integrated exactly")
    parser.add_argument("--record", nargs="+", default=[], metavar="NODE.STATE",
                        help="states to record as well, such as lif.v")
    parser.add_argument("--quantize", action="store_true",
                        help="compute each SpikingAffine in integers, with its bit widths")
    parser.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="OUT.npz: each output node and recorded state under its name")


def run(args: argparse.Namespace) -> int:
    from tqdm import tqdm  # here, not at the start of every command

    graph = _as_graph(_read_zor(args.file)[0])
    output = _output(args.output)
    if output.suffix.lower() != ".npz":
        raise UserError(f"{output}: run writes a .npz file, as the suffix says")
    inputs = _inputs(Path(args.input))
    arrays = inputs.values() if isinstance(inputs, dict) else [inputs]
    steps = next((array.shape[0] for array in arrays if array.ndim), 0)
    # Shown on a terminal only, and only once the run has taken a second.
    with tqdm(total=steps, unit="step", delay=PROGRESS_DELAY, file=sys.stderr, leave=False,
              disable=not sys.stderr.isatty()) as bar, _about(args.file):
        results = simulate(graph, inputs, dt=args.dt, method=args.method, record=args.record,
                           quantize=args.quantize, progress=bar.update)
    with _about(output):
        np.savez(output, **results)
    print(f"wrote {output} ({_count(len(results), 'array')} of {_count(steps, 'step')})")
    return 0


def _inputs(path: Path) -> Any:
    """The array of an .npy file, or the arrays of an .npz file by name."""
    if path.suffix.lower() not in (".npy", ".npz"):
        raise UserError(f"{path}: --input takes a .npy or .npz file, as the suffix says")
    if not path.is_file():
        raise UserError(f"{path}: " + ("not a file" if path.exists() else "no such file"))
    try:
        loaded = np.load(path, allow_pickle=False)
        if isinstance(loaded, np.ndarray):
            return loaded
        with loaded:
            arrays: Dict[str, np.ndarray] = {key: loaded[key] for key in loaded.files}
        return arrays
    except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
        raise UserError(f"{path}: not a NumPy {path.suffix.lower()} file ({error})") from error
