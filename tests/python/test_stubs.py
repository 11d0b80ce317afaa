"""The checked-in stub of the extension module is what nanobind's stub generator makes of
the built module: a signature or docstring changed in the bindings shows up here."""

import sys
from pathlib import Path

import pytest

import quorvel._native

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import gen_stubs  # noqa: E402


@pytest.mark.timeout(120)
def test_checked_in_stub_matches_the_built_module():
    build_dir = Path(quorvel._native.__file__).resolve().parents[1]
    generated = gen_stubs.generate(build_dir)
    checked_in = gen_stubs.STUB.read_text(encoding="utf-8")
    if generated != checked_in:
        pytest.fail(
            f"python/quorvel/_native.pyi is stale for the module in {build_dir}; regenerate it with\n"
            f"    .venv/bin/python tools/gen_stubs.py --build {build_dir}\n"
            f"{gen_stubs.diff(generated, checked_in)}",
            pytrace=False,
        )
