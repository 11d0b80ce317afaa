"""ThreadEngine as Python code sees it: the class, its calling convention, registration,
creation and lookup. The worker's engine is a Python fake installed in the module; the
other test_thread_engine_* files use the fixtures defined here."""

from __future__ import annotations

import gc
import inspect
import threading

import pytest

import quorvel.engine.trigger.mthread as mt
from quorvel.nodes.action_node import SimpleActionNode

pytestmark = pytest.mark.timeout(30)

XML = '<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>'


class Recorder:
    """Stands in for the module's loguru logger."""

    def __init__(self):
        self.lines = []

    def info(self, message):
        self.lines.append(("info", message))

    def error(self, message):
        self.lines.append(("error", message))

    def messages(self, level=None):
        return [m for lv, m in list(self.lines) if level in (None, lv)]


class FakeEngine:
    """A SequentialEngine double. `behaviour` maps a method name to a return value, an
    exception to raise, or a callable (engine, *args) -> value."""

    behaviour: dict = {}
    created: list = []

    def __init__(self):
        type(self).created.append(self)
        self.calls, self.registered, self.board, self.xml = [], [], {}, None
        self.thread = threading.current_thread()
        self.interrupted = threading.Event()
        if "__init__" in self.behaviour:
            self.behaviour["__init__"](self)

    def _do(self, name, *args):
        self.calls.append((name,) + args)
        action = self.behaviour.get(name)
        if isinstance(action, BaseException):
            raise action
        return action(self, *args) if callable(action) else action

    def register_action_behavior(self, *registration):
        self.registered.append(registration)
        return self._do("register_action_behavior", registration[0])

    def create_tree_from_text(self, xml_text):
        self.xml = xml_text
        return self._do("create_tree_from_text", xml_text)

    def get_blackboard_data(self, key):
        self._do("get_blackboard_data", key)
        return self.board.get(key)

    def set_blackboard_data(self, key, value):
        self.board[key] = value
        return self._do("set_blackboard_data", key, value)

    def interrupt(self):
        self.interrupted.set()


for _name in ("tick_once", "tick_until_failure", "tick_until_success", "tick_n_times", "get_tree_status",
              "get_all_blackboard_data", "reset_tree"):
    setattr(FakeEngine, _name, lambda self, *args, _name=_name: self._do(_name, *args))


@pytest.fixture
def log(monkeypatch):
    gc.collect()  # engines of earlier tests log their end: not into this recorder
    recorder = Recorder()
    monkeypatch.setattr(mt, "logger", recorder)
    return recorder


@pytest.fixture
def fake(monkeypatch):
    engine_class = type("Fake", (FakeEngine,), {"behaviour": {}, "created": []})
    monkeypatch.setattr(mt, "SequentialEngine", engine_class)
    return engine_class


@pytest.fixture
def engine(fake, log):
    e = mt.ThreadEngine()
    yield e
    for tree_id in list(getattr(e, "trees", {})):
        try:
            e.stop_tree(tree_id)
        except Exception:
            pass
    e.stop_all_trees = lambda: None  # its finaliser runs after this test's logger is gone


def only_engine(fake):
    assert len(fake.created) == 1
    return fake.created[0]


# ---- the class ----


def test_module_and_class_look_like_python():
    assert mt.__doc__ == (
        "\n线程引擎模块\n\n该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。\n每个行为树在独立的线程中运行，提高处理效率。\n"
    )
    cls = mt.ThreadEngine
    assert cls.__mro__ == (cls, object)
    assert (cls.__module__, cls.__qualname__) == ("quorvel.engine.trigger.mthread", "ThreadEngine")
    assert cls.__doc__.strip() == "线程B树引擎类"
    assert [name for name, value in vars(cls).items() if callable(value)] == [
        "__init__", "register_action_behavior", "register_action_class", "_run_tree", "_process_command",
        "create_tree_from_text", "create_tree_from_file", "_check_tree_exists", "get_tree_ids", "_send_command",
        "tick_once", "tick_until_failure", "tick_until_success", "tick_n_times", "get_tree_status",
        "get_blackboard_data", "set_blackboard_data", "get_all_blackboard_data", "reset_tree", "stop_tree",
        "stop_all_trees", "__del__"]
    method = cls.tick_once
    assert (method.__name__, method.__qualname__, method.__module__) == (
        "tick_once", "ThreadEngine.tick_once", "quorvel.engine.trigger.mthread")
    assert str(inspect.signature(cls.create_tree_from_text)) == (
        "(self, xml_text: 'str', tree_id: 'Optional[str]' = None) -> 'str'")
    assert cls.create_tree_from_text.__defaults__ == (None,)


@pytest.mark.parametrize("name, annotations", [
    ("register_action_class", {"action_class": "Type[SimpleActionNode]", "action_id": "Optional[str]",
                               "return": "None"}),
    ("_process_command", {"engine": "SequentialEngine", "command": "Dict[str, Any]", "tree_id": "str",
                          "result": "List[Any]", "return": "None"}),
    ("tick_n_times", {"tree_id": "str", "n": "int", "return": "List[NodeStatus]"}),
    ("get_tree_ids", {"return": "List[str]"}),
])
def test_annotations_are_texts(name, annotations):
    assert getattr(mt.ThreadEngine, name).__annotations__ == annotations


@pytest.mark.parametrize("name, doc", [
    ("register_action_class",
     "\n        通过类注册动作节点\n        \n        该方法通过传入节点类来注册动作节点，自动获取tick函数和ports列表。\n"
     "        \n        Args:\n            action_class: 动作节点类，必须继承自SimpleActionNode\n"
     "            action_id: 动作节点ID，如果为None则使用类名\n        "),
    ("tick_n_times",
     "\n        执行行为树n次\n        \n        Args:\n            tree_id: 行为树ID\n            n: 执行次数\n"
     "            \n        Returns:\n            List[NodeStatus]: 执行状态列表\n        "),
    ("set_blackboard_data",
     "\n        设置黑板数据\n        \n        Args:\n            tree_id: 行为树ID\n            key: 数据键\n"
     "            value: 数据值\n        "),
])
def test_docstrings(name, doc):
    assert getattr(mt.ThreadEngine, name).__doc__ == doc


@pytest.mark.parametrize("call, message", [
    (lambda e: e.tick_once(), "tick_once() takes exactly 2 positional arguments (1 given)"),
    (lambda e: mt.ThreadEngine.tick_once(), "tick_once() takes exactly 2 positional arguments (0 given)"),
    (lambda e: e.stop_all_trees(1), "stop_all_trees() takes exactly 1 positional argument (2 given)"),
    (lambda e: e.create_tree_from_text(), "create_tree_from_text() takes at least 2 positional arguments (1 given)"),
    (lambda e: e.create_tree_from_text("x", "y", "z"),
     "create_tree_from_text() takes at most 3 positional arguments (4 given)"),
    # a missing argument is reported before an unknown keyword, counting what came before it
    (lambda e: e.tick_once(tree="x"), "tick_once() takes exactly 2 positional arguments (1 given)"),
    (lambda e: e.set_blackboard_data(tree_id="t", value=1),
     "set_blackboard_data() takes exactly 4 positional arguments (2 given)"),
    (lambda e: e.create_tree_from_text("x", tree="t"),
     "create_tree_from_text() got an unexpected keyword argument 'tree'"),
    (lambda e: e.tick_once("t", tree_id="t"), "tick_once() got multiple values for keyword argument 'tree_id'"),
])
def test_binding_errors(engine, fake, call, message):
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == message
    assert fake.created == []


class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize("call, param, expected, got, note", [
    (lambda e: e.tick_once(None), "tree_id", "str", "NoneType", False),
    (lambda e: e.tick_once(StrSub("t")), "tree_id", "str", "StrSub", True),
    (lambda e: e.tick_n_times("t", True), "n", "int", "bool", True),
    (lambda e: e.tick_n_times("t", 3.0), "n", "int", "float", False),
    (lambda e: e.tick_n_times(None, True), "tree_id", "str", "NoneType", False),  # argument order
    (lambda e: e.set_blackboard_data(key=None, tree_id="t", value=1), "key", "str", "NoneType", False),
    (lambda e: e.register_action_behavior("a", print, ()), "ports_list", "list", "tuple", False),
    (lambda e: e.register_action_class(SimpleActionNode, 5), "action_id", "str", "int", False),
    (lambda e: e.create_tree_from_text(XML, 5), "tree_id", "str", "int", False),
    (lambda e: e._send_command("t", "tick_once", DictSub(a=1)), "params", "dict", "DictSub", True),
    (lambda e: e._process_command(None, [], "t", []), "command", "dict", "list", False),
    (lambda e: e._process_command(None, {}, "t", (None,)), "result", "list", "tuple", False),
])
def test_argument_types(engine, fake, log, call, param, expected, got, note):
    engine.create_tree_from_text(XML, "t")
    engine.tick_once("t")  # the worker is up
    logged = len(log.lines)
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) == note and all("ubclasses of built-in types are not accepted" in n for n in notes)
    # nothing was sent, registered or logged
    assert [c[0] for c in only_engine(fake).calls] == ["create_tree_from_text", "tick_once"]
    assert engine.action_registrations == [] and len(log.lines) == logged


def test_keyword_arguments_bind_by_name(engine, fake):
    fake.behaviour["tick_n_times"] = lambda eng, n: [n]
    assert engine.create_tree_from_text(tree_id="t", xml_text=XML) == "t"
    assert engine.tick_n_times(n=2, tree_id="t") == [2]
    assert mt.ThreadEngine.tick_n_times(self=engine, tree_id="t", n=3) == [3]
    engine.set_blackboard_data(value=None, key="k", tree_id="t")
    assert only_engine(fake).board == {"k": None}


# ---- construction and registration ----


def test_constructor(log):
    e = mt.ThreadEngine()
    assert list(vars(e)) == ["factory", "trees", "action_registrations"]
    assert type(e.factory) is mt.BehaviorTreeFactory
    assert e.trees == {} and e.action_registrations == []
    assert log.lines == [("info", "初始化线程引擎")]


def test_failed_constructor_and_its_finaliser(monkeypatch, log):
    def broken():
        raise OSError("no factory")

    monkeypatch.setattr(mt, "BehaviorTreeFactory", broken)
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    with pytest.raises(OSError, match="no factory"):
        mt.ThreadEngine()
    gc.collect()
    assert log.lines == []
    assert [type(u.exc_value) for u in unraisable] == [AttributeError]


class WithPorts(SimpleActionNode):
    ports = [{"name": "x", "type": "object", "direction": "output", "description": ""}]

    @staticmethod
    def tick(node):
        return "ok"


class Plain(SimpleActionNode):
    tick = staticmethod(len)


def test_registration(engine, log):
    ports = [{"name": "p", "type": "string", "direction": "input", "description": ""}]
    engine.register_action_behavior("A", print, ports)
    engine.register_action_behavior(action_id="A", tick_functor=len, ports_list=[])
    engine.register_action_class(WithPorts)
    engine.register_action_class(Plain, "")
    engine.register_action_class(Plain, action_id="Named")
    regs = engine.action_registrations
    assert [r[0] for r in regs] == ["A", "A", "WithPorts", "", "Named"]
    assert regs[0] == ("A", print, ports) and regs[0][2] is ports  # duplicates kept, the list itself kept
    assert regs[2][1] is WithPorts.__dict__["tick"].__func__ and regs[2][2] is WithPorts.ports
    assert regs[3][1] is len and regs[3][2] == [] and regs[3][2] is not regs[4][2]
    assert log.messages() == ["初始化线程引擎"] + [f"注册动作节点: {r[0]}" for r in regs]
    SimpleActionNode.tick = staticmethod(len)
    try:
        engine.register_action_class(SimpleActionNode)  # the base passes the subclass test
    finally:
        del SimpleActionNode.tick
    assert regs[-1] == ("SimpleActionNode", len, [])


@pytest.mark.parametrize("cls, error, message, logged", [
    (dict, TypeError, "节点类 dict 必须继承自SimpleActionNode", True),
    (42, TypeError, None, False),
    (type("NoTick", (SimpleActionNode,), {}), AttributeError, None, False),
    (type("BadPorts", (SimpleActionNode,), {"tick": len, "ports": ()}), TypeError,
     "Argument 'ports_list' has incorrect type (expected list, got tuple)", False),
])
def test_register_action_class_refusals(engine, log, cls, error, message, logged):
    with pytest.raises(error) as info:
        engine.register_action_class(cls)
    if message:
        assert str(info.value) == message
    assert log.messages("error") == ([message] if logged else [])
    assert engine.action_registrations == []


# ---- creation and lookup ----


def test_generated_ids_and_listing(engine, log):
    assert engine.get_tree_ids() == []
    assert engine.create_tree_from_text(XML) == "tree_0"
    assert engine.create_tree_from_text(XML, None) == "tree_1"
    ids = engine.get_tree_ids()
    engine.stop_tree("tree_0")
    assert ids == ["tree_0", "tree_1"]  # a snapshot
    # one tree left, but "tree_1" is taken: the count goes on to a free name
    assert engine.create_tree_from_text(XML) == "tree_2"
    assert log.messages("info")[1:] == ["创建行为树: tree_0", "创建行为树: tree_1", "停止行为树: tree_0",
                                        "创建行为树: tree_2"]
    record = engine.trees["tree_2"]
    with pytest.raises(ValueError, match="^行为树ID tree_2 已存在$"):
        engine.create_tree_from_text(XML, "tree_2")
    assert log.messages("error") == ["行为树ID tree_2 已存在"] and engine.trees["tree_2"] is record


def test_record_layout(engine, fake):
    engine.create_tree_from_text(XML, "t")
    record = engine.trees["t"]
    assert list(record) == ["cond", "command", "result", "thread"]
    assert record["command"] == [None] and record["result"] == [None]
    thread = record["thread"]
    assert isinstance(thread, threading.Thread) and not thread.daemon
    assert thread._target == engine._run_tree and thread._args == ("t", XML)
    engine.tick_once("t")
    assert only_engine(fake).thread is thread and only_engine(fake).xml == XML
    # created from a daemon thread, the worker is a daemon too
    ids = []
    creator = threading.Thread(target=lambda: ids.append(engine.create_tree_from_text(XML)), daemon=True)
    creator.start()
    creator.join()
    assert engine.trees[ids[0]]["thread"].daemon


def test_failed_start_leaves_no_record(engine, monkeypatch, log):
    def refuse(self):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(threading.Thread, "start", refuse)
    with pytest.raises(RuntimeError, match="can't start new thread"):
        engine.create_tree_from_text(XML, "t")
    assert engine.trees == {} and "创建行为树: t" not in log.messages()


def test_create_from_file(engine, fake, tmp_path):
    path = tmp_path / "tree.xml"
    path.write_bytes(XML.replace("><", ">\r\n<").encode())
    assert engine.create_tree_from_file(str(path), "f") == "f"
    engine.tick_once("f")
    assert only_engine(fake).xml == XML.replace("><", ">\n<")
    with pytest.raises(FileNotFoundError):
        engine.create_tree_from_file(str(tmp_path / "missing.xml"))
    (tmp_path / "latin1.xml").write_bytes(b"<root>\xe9</root>")
    with pytest.raises(UnicodeDecodeError):
        engine.create_tree_from_file(str(tmp_path / "latin1.xml"))
    assert engine.get_tree_ids() == ["f"]


@pytest.mark.parametrize("call", [
    lambda e: e._check_tree_exists("nope"),
    lambda e: e.tick_n_times("nope", 1),
    lambda e: e.stop_tree("nope"),
])
def test_unknown_tree_is_a_value_error(engine, log, call):
    engine.create_tree_from_text(XML, "t")
    assert engine._check_tree_exists("t") is None
    with pytest.raises(ValueError, match="^行为树ID nope 不存在$"):
        call(engine)
    assert log.messages("error") == ["行为树ID nope 不存在"] and list(engine.trees) == ["t"]


# ---- overrides are honoured ----


def test_subclass_overrides_reach_the_engine(fake, log):
    sent, stopped, registered = [], [], []

    class Custom(mt.ThreadEngine):
        def _send_command(self, tree_id, command_type, params=None):
            sent.append((tree_id, command_type, params))
            return {"get_status": {"ok": 1}, "tick_until_success": "3"}.get(command_type, 7)

        def stop_tree(self, tree_id):
            stopped.append(tree_id)
            super().stop_tree(tree_id)

        def register_action_behavior(self, action_id, tick_functor, ports_list):
            registered.append(action_id)

    e = Custom()
    e.create_tree_from_text(XML, "a")
    e.create_tree_from_text(XML, "b")
    assert e.get_tree_status("a") == {"ok": 1}
    assert e.get_blackboard_data("a", "k") == 7
    assert e.set_blackboard_data("a", "k", 5) is None and e.reset_tree("a") is None
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        e.tick_until_success("a")
    assert sent == [("a", "get_status", None), ("a", "get_blackboard_data", {"key": "k"}),
                    ("a", "set_blackboard_data", {"key": "k", "value": 5}), ("a", "reset", None),
                    ("a", "tick_until_success", None)]
    e.register_action_class(Plain)
    assert registered == ["Plain"] and e.action_registrations == []
    e.stop_all_trees()
    assert stopped == ["a", "b"] and e.trees == {}


def test_instance_attribute_overrides_a_method(engine):
    engine.create_tree_from_text(XML, "t")
    engine._send_command = lambda tree_id, command_type, params=None: [command_type, params]
    assert engine.tick_n_times("t", 4) == ["tick_n_times", {"n": 4}]
    del engine._send_command
    assert engine.tick_n_times("t", 4) is None  # the fake answers None


def test_overridden_process_command_is_called_by_the_worker(fake, log):
    seen = []

    class Custom(mt.ThreadEngine):
        def _process_command(self, engine, command, tree_id, result):
            seen.append((type(engine), command, threading.current_thread() is self.trees[tree_id]["thread"]))
            result[0] = ("whatever", tree_id, "custom")

    e = Custom()
    e.create_tree_from_text(XML, "t")
    try:
        assert e.tick_once("t") == "custom"
        assert seen == [(fake, {"type": "tick_once", "params": {}}, True)]
    finally:
        e.stop_all_trees()


def test_finaliser_stops_what_is_left(fake, log):
    fake.behaviour["create_tree_from_text"] = ValueError("bad")
    e = mt.ThreadEngine()
    e.create_tree_from_text(XML, "t")
    e.trees["t"]["thread"].join()  # a worker that ended on its own
    del e
    gc.collect()
    assert log.messages()[-2:] == ["停止行为树: t", "停止所有行为树"]
