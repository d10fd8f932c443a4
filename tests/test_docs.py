"""The docs and the code's comments name files that exist: every path under
the repository's folders in docs/*.md and README.md, and in the comments of
the sources, scripts and benchmarks (core/... is under src/zor/ir)."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "zor" / "ir"

# A path as the docs write it: a top folder, then names; not a part of a URL
# or of a longer path. Placeholders (<module>, *.py, NAME) are not files.
PATH = re.compile(r"(?<![\w/.-])((?:src|tests|bench|scripts|docs|examples|core)/[\w./-]*\w)(?![\w<*{])")
PLACEHOLDER = re.compile(r"/[A-Z]+\b")
COMMENT = {".cpp": "//", ".hpp": "//", ".py": "#", ".pyi": "#", ".sh": "#", ".txt": "#", ".patch": ""}
SOURCES = [*PACKAGE.rglob("*.[ch]pp"), *PACKAGE.glob("*.py"), *PACKAGE.glob("*.pyi"),
           *ROOT.glob("bench/*.py"), *ROOT.glob("scripts/**/*.sh"), *ROOT.glob("scripts/**/*.patch"),
           ROOT / "CMakeLists.txt"]


def named_paths(path):
    """The paths named in `path`: anywhere in a Markdown file, in comments elsewhere."""
    marker = COMMENT.get(path.suffix) if path.suffix != ".md" else ""
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if marker and marker not in line or line.startswith("#include"):
            continue
        text = line[line.index(marker):] if marker else line
        for named in PATH.findall(text):
            if not PLACEHOLDER.search(named):
                yield number, named


def exists(named):
    """A file or folder, or a source named without its extension (core/io/files)."""
    base = PACKAGE if named.startswith("core/") else ROOT
    target = base / named
    return target.exists() or any(target.parent.glob(target.name + ".*"))


DOCUMENTS = sorted({*ROOT.glob("docs/*.md"), ROOT / "README.md", *SOURCES})


@pytest.mark.parametrize("document", DOCUMENTS, ids=[str(d.relative_to(ROOT)) for d in DOCUMENTS])
def test_named_files_exist(document):
    missing = [f"{number}: {named}" for number, named in named_paths(document) if not exists(named)]
    assert missing == []


def test_the_check_sees_paths():
    # The pattern must find what the docs write, or the test above passes on nothing.
    found = {named for document in DOCUMENTS for _, named in named_paths(document)}
    assert {"core/codec/chunk_codec", "src/zor/ir/_inference.py", "tests/test_roundtrip.py"} <= found
