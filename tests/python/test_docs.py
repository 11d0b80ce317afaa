"""Every Python example of the guide runs: the blocks of a page run in order, in one namespace,
as a reader would paste them; an assertion in a block states what the text promises."""

import re
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parents[2] / "docs"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)
# Pages whose Python blocks are sketches with placeholders (`...`), not programs.
SKETCHES = {"runtime.md"}

PAGES = sorted(p for p in DOCS.glob("*.md") if p.name not in SKETCHES)


def blocks(page):
    text = page.read_text(encoding="utf-8")
    for match in BLOCK.finditer(text):
        yield text.count("\n", 0, match.start()) + 2, match.group(1)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_the_examples_of_the_page_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # examples that write files write them here
    namespace = {"__name__": "__docs__"}
    for line, code in blocks(page):
        # Numbered as in the page, so a traceback points at the line to fix.
        exec(compile("\n" * (line - 1) + code, str(page), "exec"), namespace)


def test_every_page_is_in_the_table_of_contents():
    index = (DOCS / "index.md").read_text(encoding="utf-8")
    listed = set(re.findall(r"^([\w-]+)$", index, re.M))
    assert {p.stem for p in DOCS.glob("*.md")} - {"index"} <= listed
