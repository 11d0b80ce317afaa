"""Regenerates python/quorvel/_native.pyi from the built extension module with nanobind's
stub generator, so the stub says what the module is rather than what someone wrote.

    .venv/bin/python tools/gen_stubs.py                  # from build/dev
    .venv/bin/python tools/gen_stubs.py --build build/x  # from another build directory
    .venv/bin/python tools/gen_stubs.py --check          # exit 1 when the stub is stale

tests/python/test_stubs.py runs the same generation and compares.
"""

from __future__ import annotations

import argparse
import difflib
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "python" / "quorvel" / "_native.pyi"
MODULE = "quorvel._native"


def generate(build_dir: Path) -> str:
    """The stub text nanobind.stubgen writes for the module built in `build_dir`."""
    build_dir = Path(build_dir).resolve()
    if not any((build_dir / "quorvel").glob("_native*.so")):
        raise FileNotFoundError(f"no built quorvel/_native module in {build_dir}")
    env = dict(os.environ)
    # The build directory first, so that its module is the one described.
    env["PYTHONPATH"] = os.pathsep.join([str(build_dir), str(ROOT / "python")])
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "_native.pyi"
        subprocess.run(
            [sys.executable, "-m", "nanobind.stubgen", "-q", "-m", MODULE, "-o", str(out)],
            env=env, check=True, cwd=tmp,
        )
        return out.read_text(encoding="utf-8")


def diff(expected: str, actual: str, limit: int = 80) -> str:
    lines = list(difflib.unified_diff(actual.splitlines(), expected.splitlines(),
                                      "checked in: python/quorvel/_native.pyi", "generated", lineterm=""))
    more = f"\n... {len(lines) - limit} more lines" if len(lines) > limit else ""
    return "\n".join(lines[:limit]) + more


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "dev"), help="build directory holding quorvel/_native")
    parser.add_argument("--check", action="store_true", help="compare instead of writing; exit 1 when stale")
    args = parser.parse_args()
    text = generate(Path(args.build))
    current = STUB.read_text(encoding="utf-8") if STUB.exists() else ""
    if args.check:
        if text != current:
            print(diff(text, current))
            return 1
        return 0
    if text != current:
        STUB.write_text(text, encoding="utf-8")
        print(f"wrote {STUB.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
