"""The single-threaded engine: one behavior tree, ticked on the thread that calls it."""

from quorvel._native import SequentialEngine

__all__ = ["SequentialEngine"]
