"""Progress bars of the command line: a tqdm bar on stderr for the reading
and writing of files big enough to take a while, fed by the ``progress``
callback of ``read`` and ``write``."""

from __future__ import annotations

import contextlib
import sys
from typing import Any, Dict, Iterator, Optional, TextIO

#: Reading or writing fewer bytes than this takes about a second or less:
#: no bar for it.
SHOWN_FROM = 256 << 20


class Progress:
    """A ``progress(done, total)`` callback that draws a bar once ``total``
    reaches SHOWN_FROM bytes, on a ``stream`` (stderr) that is a terminal and
    unless ``quiet``; it removes the bar when closed."""

    def __init__(self, description: str, *, quiet: bool = False,
                 stream: Optional[TextIO] = None) -> None:
        self.description = description
        self.stream = sys.stderr if stream is None else stream
        self.shown = not quiet and self.stream.isatty()
        self.bar: Any = None

    @property
    def options(self) -> Dict[str, Any]:
        """The keyword arguments that hand this callback to ``read`` or
        ``write``: none where no bar can be shown, so that quiet work runs
        without calling back."""
        return {"progress": self} if self.shown else {}

    def __call__(self, done: int, total: int) -> None:
        if not self.shown or total < SHOWN_FROM:
            return
        if self.bar is None:
            from tqdm import tqdm

            self.bar = tqdm(total=total, desc=self.description, unit="B", unit_scale=True,
                            unit_divisor=1024, file=self.stream, leave=False, dynamic_ncols=True)
        self.bar.total = total
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


@contextlib.contextmanager
def progress(description: str, quiet: bool = False) -> Iterator[Progress]:
    """A Progress for the work inside, closed after it, whatever happens."""
    bar = Progress(description, quiet=quiet)
    try:
        yield bar
    finally:
        bar.close()
