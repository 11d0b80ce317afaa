import os
import sys
from pathlib import Path

import pytest
from loguru import logger

_ROOT = Path(__file__).resolve().parents[2]
# QUORVEL_TEST_INSTALLED=1: test the package installed in this interpreter (a wheel), never
# the sources beside these tests.
INSTALLED = os.environ.get("QUORVEL_TEST_INSTALLED") == "1"

if not INSTALLED:
    # Run straight from a checkout: the package sources and the development build. Entries
    # from PYTHONPATH come first, so another build directory can be tested instead.
    for _p in (_ROOT / "python", _ROOT / "build" / "dev"):
        if str(_p) not in sys.path:
            sys.path.append(str(_p))
else:
    import quorvel
    import quorvel._native

    # A path left over from a checkout would make this run pass without testing the wheel:
    # installed, the package and its extension sit side by side, away from the sources.
    _package = Path(quorvel.__file__).resolve().parent
    if _package == _ROOT / "python" / "quorvel" or Path(quorvel._native.__file__).resolve().parent != _package:
        raise pytest.UsageError(f"QUORVEL_TEST_INSTALLED=1 but quorvel comes from {quorvel.__file__} "
                                f"and its extension from {quorvel._native.__file__}")

# Tests that need what only a checkout has (a build directory, the stub generator).
_CHECKOUT_ONLY = {"test_stubs.py"}


def pytest_collection_modifyitems(config, items):
    if not INSTALLED:
        return
    skip = pytest.mark.skip(reason="needs a checkout's build directory; the installed package has none")
    for item in items:
        if item.path.name in _CHECKOUT_ONLY:
            item.add_marker(skip)

# loguru's default sink keeps the stderr object it saw first, which pytest's capture may
# close before late finalisers log; write to whatever stderr is current instead.
logger.remove()
logger.add(lambda message: sys.stderr.write(message))
