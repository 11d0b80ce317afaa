"""Log records of the native engine.

The extension module logs through these functions so that the records come from a module of
the ``quorvel`` package: ``logger.disable("quorvel")`` silences them like every other record
of the package.
"""

from loguru import logger


def warning(message: str) -> None:
    """Logs what a load kept but the author may not have meant (unknown ``_`` attributes)."""
    logger.warning(message)
