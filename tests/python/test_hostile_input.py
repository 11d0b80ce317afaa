"""Careless and hostile callers: objects whose type changes under the engine, text that lies
about its encoding or is no valid Unicode, and calls asking for unbounded work."""

import gc
import threading
import time

import pytest

from quorvel.core import BehaviorTreeFactory, LoadError, NodeStatus, TickError
from quorvel.engine.sequential_engine import SequentialEngine


def xml(body: str, declaration: str = "") -> str:
    return f'{declaration}<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


def engine_with(body: str) -> SequentialEngine:
    engine = SequentialEngine()
    engine.create_tree_from_text(xml(body))
    return engine


# ---- Python objects kept by the engine ----


def test_type_name_survives_renaming_the_class():
    # The name is built at run time so that no constant keeps the original string alive:
    # renaming the class frees it.
    original = "".join(["Payload", "Kind"] + ["x"] * 40)
    cls = type(original, (), {})
    engine = engine_with('<Script code="y := x + 1"/>')
    engine.set_blackboard_data("x", cls())
    cls.__name__ = cls.__qualname__ = "Renamed"
    del original
    gc.collect()
    # Reuse the freed memory, so that a dangling name would read as something else.
    filler = ["".join(["#"] * 47) + str(i) for i in range(20000)]
    with pytest.raises(TickError) as err:
        engine.tick_once()
    del filler
    assert "<PayloadKind" + "x" * 40 + ">" in str(err.value)
