"""Runs in a framework's venv: `python _runner.py SCRIPT FUNCTION DIR`.

Calls FUNCTION of SCRIPT with the arrays of DIR/in.npz and the arguments of
DIR/params.json as keywords and writes the dictionary of arrays it returns to
DIR/out.npz; an exception is written to DIR/error.json instead."""

import importlib.util
import json
import pathlib
import sys
import traceback

import numpy as np


def main(script, function, directory):
    exchange = pathlib.Path(directory)
    module_spec = importlib.util.spec_from_file_location(pathlib.Path(script).stem, script)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module
    try:
        module_spec.loader.exec_module(module)
        with np.load(exchange / "in.npz", allow_pickle=False) as given:
            arrays = {key: given[key] for key in given.files}
        params = json.loads((exchange / "params.json").read_text())
        result = getattr(module, function)(**arrays, **params)
    except Exception as error:  # handed to the parent whole, with its type
        (exchange / "error.json").write_text(json.dumps(
            {"text": f"{type(error).__name__}: {error}", "traceback": traceback.format_exc()}))
        return
    np.savez(exchange / "out.npz", **{key: np.asarray(value) for key, value in result.items()})


if __name__ == "__main__":
    main(*sys.argv[1:])
