"""write(progress=...) and read(progress=...): (done, total) in bytes, from
0 to total, rising, few calls; none without it; errors end the call."""

import numpy as np
import pytest

import zor.ir
from zor.ir import Affine, Graph


def big_graph(layers=40):
    """40 layers of 100 KiB weights: more arrays than the 256 reports' steps."""
    return Graph.sequential([Affine(np.ones((160, 160), np.float32), np.zeros(160, np.float32))
                             for _ in range(layers)])


def calls(operation):
    seen = []
    operation(lambda done, total: seen.append((done, total)))
    return seen


OPERATIONS = pytest.mark.parametrize("operation", [
    lambda path, progress: zor.ir.write(path, big_graph(), progress=progress),
    lambda path, progress: zor.ir.read(path, progress=progress),
    lambda path, progress: zor.ir.read(path, mmap=True, progress=progress),
    lambda path, progress: zor.ir.read(path, layout=True, progress=progress),
], ids=["write", "read", "read mmap", "layout"])


class TestProgress:
    @OPERATIONS
    def test_from_zero_to_total_rising(self, tmp_path, operation):
        path = tmp_path / "net.zor"
        zor.ir.write(path, big_graph())
        seen = calls(lambda progress: operation(path, progress))
        totals = {total for _, total in seen}
        dones = [done for done, _ in seen]
        assert len(totals) == 1 and seen[0][0] == 0 and dones[-1] == totals.pop()
        assert dones == sorted(dones) and len(dones) == len(set(dones)) <= 258

    def test_totals(self, tmp_path):
        path = tmp_path / "net.zor"
        write_calls = calls(lambda progress: zor.ir.write(path, big_graph(), progress=progress))
        assert write_calls[-1] == (40 * (160 * 160 + 160) * 4,) * 2
        read_calls = calls(lambda progress: zor.ir.read(path, progress=progress))
        assert read_calls[-1] == (path.stat().st_size,) * 2
        assert len(read_calls) > 10  # reports along the way, not only at the ends

    @pytest.mark.parametrize("progress", [None, print])
    def test_none_is_quiet_and_a_builtin_works(self, tmp_path, progress, capsys):
        zor.ir.write(tmp_path / "net.zor", big_graph(1), progress=progress)
        zor.ir.read(tmp_path / "net.zor", progress=progress)
        printed = [tuple(map(int, line.split())) for line in capsys.readouterr().out.splitlines()]
        arrays, size = (160 * 160 + 160) * 4, (tmp_path / "net.zor").stat().st_size
        ends = [pair for pair in printed if pair[0] in (0, pair[1])]
        assert ends == ([] if progress is None else [(0, arrays), (arrays, arrays), (0, size), (size, size)])

    @pytest.mark.parametrize("operation", ["write", "read"])
    def test_not_a_callable(self, tmp_path, operation):
        zor.ir.write(tmp_path / "net.zor", big_graph(1))
        with pytest.raises(TypeError) as info:
            if operation == "write":
                zor.ir.write(tmp_path / "other.zor", big_graph(1), progress=3)
            else:
                zor.ir.read(tmp_path / "net.zor", progress="bar")
        assert str(info.value).startswith("progress must be None or a callable, got ")
        assert not (tmp_path / "other.zor").exists()

    def test_an_error_it_raises_ends_the_write_and_keeps_the_old_file(self, tmp_path):
        path = tmp_path / "net.zor"
        zor.ir.write(path, Graph())

        def interrupted(done, total):
            if done:
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            zor.ir.write(path, big_graph(), progress=interrupted)
        assert zor.ir.read(path).equals(Graph()) and [p.name for p in tmp_path.iterdir()] == ["net.zor"]
        with pytest.raises(KeyboardInterrupt):
            zor.ir.read(tmp_path / "net.zor", progress=interrupted)
