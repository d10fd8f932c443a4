"""The framework venvs and the child-process call that the trips run on."""

import textwrap

import numpy as np
import pytest

from venvs import VENV_OF, FrameworkError, call, python_for

PROBE = textwrap.dedent('''
    import importlib
    import importlib.metadata

    import numpy as np


    def versions(framework):
        importlib.import_module(framework)
        try:
            import samna  # noqa: F401
            blocked = ""
        except ImportError as error:
            blocked = str(error)
        return {"framework": np.array(importlib.metadata.version(framework)),
                "nir": np.array(importlib.metadata.version("nir")),
                "samna": np.array(blocked)}


    def doubled(values, factor):
        return {"values": values * factor, "dtype": np.array(str(values.dtype))}


    def fails():
        raise KeyError("lif1")
''')

PINNED = {"snntorch": ("1.0.0", "1.0.8"), "norse": ("1.1.0", "1.0.8"),
          "sinabs": ("3.1.3", "1.0.4"), "rockpool": ("3.1.0", "1.0.8")}


@pytest.fixture
def probe(tmp_path):
    path = tmp_path / "probe.py"
    path.write_text(PROBE)
    return path


class TestVenvs:
    @pytest.mark.parametrize("framework", sorted(VENV_OF))
    def test_pinned_versions_and_no_samna(self, framework, probe):
        assert python_for(framework).is_file()
        found = call(framework, probe, "versions", params={"framework": framework})
        assert (str(found["framework"]), str(found["nir"])) == PINNED[framework]
        assert str(found["samna"]) == "samna is blocked in this venv"

    def test_unknown_framework(self):
        with pytest.raises(ValueError) as info:
            python_for("lava")
        assert str(info.value) == ("unknown framework 'lava'; known: snntorch, norse, "
                                   "rockpool, sinabs")


class TestCall:
    def test_arrays_and_params_cross_unchanged(self, probe):
        values = np.arange(6, dtype=np.float32).reshape(2, 3)
        out = call("norse", probe, "doubled", {"values": values}, params={"factor": 2})
        np.testing.assert_array_equal(out["values"], values * 2)
        assert str(out["dtype"]) == "float32"

    def test_exception_comes_back_with_its_text(self, probe):
        with pytest.raises(FrameworkError) as info:
            call("sinabs", probe, "fails")
        assert str(info.value) == "KeyError: 'lif1'"
        assert "raise KeyError" in info.value.traceback
