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


# ---- text that is no valid Unicode, or lies about its encoding ----

LONE = "\ud800"


def load_into_engine(text):
    SequentialEngine().create_tree_from_text(text)


def load_into_factory(text):
    BehaviorTreeFactory().create_tree_from_text(text)


def register_in_factory(text):
    BehaviorTreeFactory().register_behavior_tree_from_text(text)


def set_key(text):
    engine_with("<AlwaysSuccess/>").set_blackboard_data(text, 1)


def get_key(text):
    engine_with("<AlwaysSuccess/>").get_blackboard_data(text)


def register_action(text):
    SequentialEngine().register_action_behavior(text, lambda node: NodeStatus.SUCCESS, [])


@pytest.mark.parametrize(
    "entry, text",
    [
        (load_into_engine, xml(f'<Script code="s := \'{LONE}\'"/>')),
        (load_into_factory, xml(f'<AlwaysSuccess name="{LONE}"/>')),
        (register_in_factory, xml("<AlwaysSuccess/>") + LONE),
        (set_key, "key" + LONE),
        (get_key, LONE),
        (register_action, "Act" + LONE),
    ],
)
def test_lone_surrogates_are_named_at_every_entry_point(entry, text):
    with pytest.raises(ValueError, match=r"not valid Unicode text: a lone surrogate \(U\+D800\) at index \d+") as err:
        entry(text)
    assert isinstance(err.value.__cause__, UnicodeEncodeError)


@pytest.mark.parametrize("load", ["engine", "factory"])
def test_a_str_is_unicode_whatever_its_declaration_says(load):
    text = xml('<Script code="s := \'é€\'"/>', '<?xml version="1.0" encoding="ISO-8859-1"?>')
    if load == "engine":
        engine = SequentialEngine()
        engine.create_tree_from_text(text)
        engine.tick_once()
        assert engine.get_blackboard_data("s") == "é€"
    else:
        tree = BehaviorTreeFactory().create_tree_from_text(text)
        tree.tick_once()
        assert tree.get_blackboard_data("s") == "é€"


def test_xml_text_beyond_the_document_limit_is_refused_and_the_tree_stays():
    engine = engine_with('<Script code="kept := 1"/>')
    huge = xml("<AlwaysSuccess/>") + " " * (64 << 20)
    with pytest.raises(LoadError, match="too large"):
        engine.create_tree_from_text(huge)
    with pytest.raises(LoadError, match="too large"):
        BehaviorTreeFactory().create_tree_from_text(huge)
    # Characters beyond ASCII take more bytes than characters: the byte count decides.
    wide = xml("<AlwaysSuccess/>") + "<!--" + "é" * (32 << 20) + "-->"
    with pytest.raises(LoadError, match="too large"):
        engine.create_tree_from_text(wide)
    engine.tick_once()
    assert engine.get_blackboard_data("kept") == 1


# ---- calls asking for unbounded work ----


def test_a_script_doubling_a_text_fails_the_tick_naming_the_node():
    engine = engine_with(
        '<Sequence><Script code="s := \'ab\'"/>'
        '<Repeat num_cycles="-1"><Script name="grow" code="s := s .. s"/></Repeat></Sequence>'
    )
    with pytest.raises(TickError, match=r"'grow' \(Script.*limit of 16777216 bytes"):
        engine.tick_n_times(100)
    assert len(engine.get_blackboard_data("s")) <= 16 << 20


@pytest.mark.parametrize("n", [10_000_001, 2**40, 2**100])
def test_tick_n_times_beyond_the_limit_is_refused_before_the_first_tick(n):
    engine = engine_with('<Script code="c := 1"/>')
    with pytest.raises(TickError, match=f"n={n} is more than the limit of 10000000"):
        engine.tick_n_times(n)
    assert engine.get_blackboard_data("c") is None
    tree = BehaviorTreeFactory().create_tree_from_text(xml('<Script code="c := 1"/>'))
    with pytest.raises(TickError, match="limit"):
        tree.tick_n_times(n)
    assert tree.get_blackboard_data("c") is None


@pytest.mark.timeout(60)
def test_interrupt_cuts_tick_n_times_short():
    engine = engine_with('<Script code="c := c + 1"/>')
    engine.set_blackboard_data("c", 0)
    box = {}

    def run():
        try:
            engine.tick_n_times(10_000_000)
        except RuntimeError as e:
            box["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    while True:  # wait until the batch runs: the engine then refuses us
        try:
            engine.get_blackboard_data("c")
        except RuntimeError:
            break
        time.sleep(0.001)
    engine.interrupt()
    thread.join()
    assert "interrupted" in str(box.get("error"))
    assert engine.get_blackboard_data("c") < 10_000_000


def test_a_node_asking_for_an_immediate_re_tick_is_counted_like_any_other():
    calls = []

    def eager(node):
        calls.append(1)
        node.requestWakeAfter(0)
        return NodeStatus.SUCCESS if len(calls) == 50 else NodeStatus.FAILURE

    engine = SequentialEngine()
    engine.register_action_behavior("Eager", eager, [])
    engine.create_tree_from_text(xml("<Eager/>"))
    assert engine.tick_until_success() == 50
