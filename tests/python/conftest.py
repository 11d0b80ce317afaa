import sys
from pathlib import Path

from loguru import logger

# Run straight from a checkout: the package sources and the development build. Entries
# from PYTHONPATH come first, so another build directory can be tested instead.
_ROOT = Path(__file__).resolve().parents[2]
for _p in (_ROOT / "python", _ROOT / "build" / "dev"):
    if str(_p) not in sys.path:
        sys.path.append(str(_p))

# loguru's default sink keeps the stderr object it saw first, which pytest's capture may
# close before late finalisers log; write to whatever stderr is current instead.
logger.remove()
logger.add(lambda message: sys.stderr.write(message))
