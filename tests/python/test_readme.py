"""The README's Python examples, run as doctests: a shown result that drifts
from what velq returns fails here."""

import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"

# A fenced block, indented or not (a block may sit inside a list item).
FENCE = re.compile(r"^(?P<indent>[ \t]*)```python\n(?P<body>.*?)^(?P=indent)```[ \t]*$", re.M | re.S)


def python_blocks():
    text = README.read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        indent = len(match["indent"])
        body = "".join(line[indent:] for line in match["body"].splitlines(keepends=True))
        blocks.append((text.count("\n", 0, match.start()) + 1, body))
    return blocks


BLOCKS = python_blocks()


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("line, body", BLOCKS, ids=[f"README.md:{line}" for line, _ in BLOCKS])
def test_example(line, body, tmp_path, monkeypatch):
    # Examples that write a file write it into a fresh folder.
    monkeypatch.chdir(tmp_path)
    test = doctest.DocTestParser().get_doctest(body, {}, f"README.md:{line}", str(README), line - 1)
    # Every block is checked: one without prompts would show results nothing compares.
    assert test.examples, f"README.md:{line}: a python block without >>> prompts"
    report = []
    runner = doctest.DocTestRunner()
    result = runner.run(test, out=report.append, clear_globs=True)
    assert result.failed == 0, "".join(report)
