"""The command line's progress bar: drawn on a terminal for work of many
bytes, never otherwise, and gone when the work is done."""

import io

import pytest

from zor.ir._progress import SHOWN_FROM, Progress, progress


class Terminal(io.StringIO):
    def isatty(self):
        return True


def fed(bar, total, steps=4):
    for step in range(steps + 1):
        bar(total * step // steps, total)
    return bar


class TestProgress:
    def test_bar_on_a_terminal_for_long_work(self):
        stream = Terminal()
        bar = fed(Progress("reading big.zor", stream=stream), SHOWN_FROM)
        assert bar.options == {"progress": bar}
        drawn = stream.getvalue()
        assert drawn.startswith("\rreading big.zor:   0%|") and "/256M" in drawn
        bar.close()
        assert stream.getvalue().endswith("\r")  # the bar leaves no line behind
        assert bar.bar is None

    @pytest.mark.parametrize("stream, quiet, total", [
        (Terminal(), False, SHOWN_FROM - 1),
        (Terminal(), True, SHOWN_FROM),
        (io.StringIO(), False, SHOWN_FROM),
    ], ids=["short work", "quiet", "not a terminal"])
    def test_nothing_otherwise(self, stream, quiet, total):
        bar = fed(Progress("reading", quiet=quiet, stream=stream), total)
        bar.close()
        assert stream.getvalue() == ""

    @pytest.mark.parametrize("quiet", [False, True])
    def test_no_callback_handed_on_where_no_bar_shows(self, quiet):
        bar = Progress("reading", quiet=quiet, stream=Terminal() if not quiet else io.StringIO())
        assert bar.options == ({} if quiet else {"progress": bar})

    def test_closed_when_the_work_fails(self, monkeypatch):
        stream = Terminal()
        monkeypatch.setattr("sys.stderr", stream)
        with pytest.raises(OSError):
            with progress("writing net.zor") as bar:
                bar(1, SHOWN_FROM)
                raise OSError("disk full")
        assert bar.bar is None and "writing net.zor" in stream.getvalue()
