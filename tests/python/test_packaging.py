"""What a user installing the wheel gets: the version the metadata carries, the licence, the
command, and an extension that needs neither this machine's libexpat nor its libstdc++.
These run against an installed wheel (make wheel-check sets QUORVEL_TEST_INSTALLED=1)."""

import importlib.metadata
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel

pytestmark = [pytest.mark.timeout(60),
              pytest.mark.skipif(os.environ.get("QUORVEL_TEST_INSTALLED") != "1",
                                 reason="checks an installed wheel: make wheel-check")]


def test_metadata_version_licence_and_classifiers():
    dist = importlib.metadata.distribution("quorvel")
    assert dist.version == quorvel.__version__
    licence = next(f for f in dist.files if f.name == "LICENSE")
    text = licence.read_text()
    assert text.startswith("MIT License") and "Copyright (c) 2026 The Quorvel developers" in text
    assert "License :: OSI Approved :: MIT License" in dist.metadata.get_all("Classifier")
    assert dist.metadata["Requires-Python"] == ">=3.11"
    # The type information ships too, so editors see the extension's signatures.
    assert {"py.typed", "_native.pyi"} <= {f.name for f in dist.files}


def test_the_extension_loads_no_shared_expat_or_cpp_runtime():
    # A process that has loaded the extension and parsed a document: any shared library it
    # pulled in shows in its memory map.
    code = ("import quorvel.core as c; c.BehaviorTreeFactory().create_tree_from_text("
            "'<root BTCPP_format=\"4\"><BehaviorTree ID=\"M\"><AlwaysSuccess/></BehaviorTree></root>');"
            "print(open('/proc/self/maps').read())")
    maps = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=30).stdout
    loaded = {Path(line.split()[-1]).name for line in maps.splitlines() if "/" in line}
    assert not [lib for lib in loaded if lib.startswith(("libexpat", "libstdc++", "libgcc_s"))], sorted(loaded)


def test_the_console_script_is_installed():
    script = Path(sys.executable).parent / "quorvel"
    result = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=30)
    assert (result.returncode, result.stdout) == (0, f"quorvel {quorvel.__version__}\n")
