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
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "python" / "quorvel" / "_native.pyi"

# Attributes made with the C API rather than nanobind, for speed: the generator cannot read
# their types, so they are given here; their docstrings come from the module itself.
RAW_ATTRIBUTES = {
    "TreeNode.getInput": "def getInput(self, name: str) -> Any",
    "TreeNode.getInputString": "def getInputString(self, name: str) -> str",
    "TreeNode.getInputObject": "def getInputObject(self, name: str) -> Any",
    "TreeNode.getInputInt": "def getInputInt(self, name: str) -> int",
    "TreeNode.getInputDouble": "def getInputDouble(self, name: str) -> float",
    "TreeNode.getInputBool": "def getInputBool(self, name: str) -> bool",
    "TreeNode.setOutput": "def setOutput(self, name: str, value: Any) -> None",
    "TreeNode.name": "@property\ndef name(self) -> str",
    "TreeNode.type": "@property\ndef type(self) -> str",
}

DOCS = """
import inspect, json, sys
import quorvel._native as m
out = {}
for path in sys.argv[1:]:
    cls, attr = path.split(".")
    out[path] = inspect.getdoc(m.__dict__[cls].__dict__[attr]) or ""
print(json.dumps(out))
"""


def patterns(env: dict) -> str:
    """A nanobind.stubgen pattern file for RAW_ATTRIBUTES."""
    docs = json.loads(subprocess.run([sys.executable, "-c", DOCS, *RAW_ATTRIBUTES], env=env, check=True,
                                     capture_output=True, text=True).stdout)
    out = []
    for path, signature in RAW_ATTRIBUTES.items():
        out.append("^" + re.escape(f"{MODULE}.{path}") + "$:")
        out.extend("    " + line for line in signature.splitlines())
        out[-1] += ":"
        # A C docstring starts with its text signature; the stub has its own.
        doc = docs[path].split("\n--\n\n", 1)[-1].strip()
        if "\n" in doc:  # laid out as the generator lays out its own docstrings
            out.extend(['        """', *("        " + line for line in doc.splitlines()), '        """'])
        else:
            out.append('        """' + doc + '"""')
        out.append("")
    return "\n".join(out)
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
        pattern_file = Path(tmp) / "patterns.txt"
        pattern_file.write_text(patterns(env), encoding="utf-8")
        subprocess.run(
            [sys.executable, "-m", "nanobind.stubgen", "-q", "-m", MODULE, "-p", str(pattern_file), "-o", str(out)],
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
