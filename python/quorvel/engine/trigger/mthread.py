"""
线程引擎模块

该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。
每个行为树在独立的线程中运行，提高处理效率。
"""
from __future__ import annotations

import io
import os
import stat
import threading
import weakref
from typing import Any, Callable, Dict, List, Optional, Type

from loguru import logger

from quorvel import _native
from quorvel._native import ThreadCondition
from quorvel.core import BehaviorTreeFactory, NodeStatus, TreeNode
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.action_node import SimpleActionNode
from quorvel.observe import label as _label_tree

# ---- library part (thread engine) ----
#
# ThreadEngine's contract is a Python one: signatures and their exact binding errors, exact
# types, texts, records that Python code may hold and write, methods that subclasses
# override. So it is written here; each command's round trip (taking turns, waiting, handing
# the GIL over) runs in the record's condition, ThreadCondition, which is native.

_MAX_FILE_BYTES = _native.MAX_DOCUMENT_BYTES

_DEAD = "行为树线程已结束"


def _doc(summary, args=(), returns=None, raises=()):
    """A docstring as the class body of a source file would hold it: 3.13 strips the
    indentation of written docstrings, and these texts are published as they stand."""
    outer, inner = " " * 8, " " * 12
    text, previous = "\n" + outer + summary + "\n", outer
    for header, lines in (("Args:", args), ("Returns:", [returns] if returns else []), ("Raises:", raises)):
        if lines:
            text += previous + "\n" + outer + header + "\n" + "".join(inner + line + "\n" for line in lines)
            previous = inner
    return text + outer


def _count_error(name, least, most, given):
    expected, how = (least, "at least") if given < least else (most, "at most")
    how = "exactly" if least == most else how
    return TypeError(f"{name}() takes {how} {expected} positional argument{'s' if expected != 1 else ''} "
                     f"({given} given)")


def _bind(name, names, least, defaults, args, kwargs):
    """Binds a call the way the engine's compiled ancestors did, with their error texts."""
    given, most = len(args), len(names)
    if given > most or (given < least and not kwargs):
        raise _count_error(name, least, most, given)
    values = list(args) + [None] * (most - given)
    for i in range(given, most):
        if names[i] in kwargs:
            values[i] = kwargs[names[i]]
        elif i < least:
            raise _count_error(name, least, most, i)
        else:
            values[i] = defaults[i - least]
    for key in kwargs:
        if key not in names:
            raise TypeError(f"{name}() got an unexpected keyword argument '{key}'")
        if names.index(key) < given:
            raise TypeError(f"{name}() got multiple values for keyword argument '{key}'")
    return values


def _reject(name, expected, value):
    error = TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                      f"got {type(value).__name__})")
    if isinstance(value, expected):
        error.add_note("Subclasses of built-in types are not accepted here: pass the built-in type itself.")
    raise error


def _wrong_result(expected, value):
    raise TypeError(f"Expected {expected.__name__}, got {type(value).__name__}")


# Annotation text -> (exact type, None accepted)
_CHECKED = {"str": (str, False), "Optional[str]": (str, True), "int": (int, False),
            "List[Dict[str, str]]": (list, False), "List[Any]": (list, False), "Dict[str, Any]": (dict, False)}


def _method(doc, result=None):
    """Gives a method the engine's calling convention: exact binding texts, exact argument
    types (checked in order, before anything runs) and, with `result`, an exact result type."""
    def wrap(f):
        code, defaults = f.__code__, f.__defaults__ or ()
        names = code.co_varnames[:code.co_argcount]
        least, most = len(names) - len(defaults), len(names)
        bind = f"        args = _bind({f.__name__!r}, {names!r}, {least}, _defaults, args, kwargs)"
        if least == most:
            lines = [f"def {f.__name__}(*args, **kwargs):", f"    if kwargs or len(args) != {most}:", bind]
        else:  # defaults filled in without the binder when only positions are given
            lines = [f"def {f.__name__}(*args, **kwargs):", "    n = len(args)",
                     f"    if kwargs or not {least} <= n <= {most}:", bind,
                     f"    elif n < {most}:", f"        args += _defaults[n - {least}:]"]
        for i, name in enumerate(names):
            exact, none_ok = _CHECKED.get(f.__annotations__.get(name), (None, False))
            if name == "params":  # its default is None, so None passes
                none_ok = True
            if exact is not None:
                test = f"type(args[{i}]) is not {exact.__name__}" + (f" and args[{i}] is not None" if none_ok else "")
                lines.append(f"    if {test}: _reject({name!r}, {exact.__name__}, args[{i}])")
        # The frame drops its arguments when done: a kept traceback may outlive it (and the
        # worker's may hold the engine).
        lines += ["    try:", "        r = _f(*args)", "    finally:", "        args = kwargs = None"]
        if result is not None:
            lines.append(f"    if r is not None and type(r) is not {result.__name__}: _wrong_result({result.__name__}, r)")
        lines.append("    return r")
        namespace = {"_f": f, "_bind": _bind, "_reject": _reject, "_wrong_result": _wrong_result,
                     "_defaults": defaults}
        exec("\n".join(lines), namespace)
        method = namespace[f.__name__]
        method.__name__, method.__qualname__, method.__module__ = f.__name__, f.__qualname__, f.__module__
        method.__doc__, method.__annotations__, method.__defaults__ = doc, f.__annotations__, f.__defaults__
        method.__wrapped__ = f  # for inspect.signature
        return method
    return wrap


def _error_text(error):
    """An exception's text, or its type's name where the text is empty or cannot be had."""
    try:
        text = str(error)
    except BaseException:
        text = ""
    return text or type(error).__name__


# The exception behind each error triple a worker stored, keyed by the result slot (kept
# alive with it, so that its id is not reused), for the caller to raise as the cause.
_causes: Dict[int, tuple] = {}


def _keep_cause(result, error):
    if error.__traceback__ is not None:  # from the frame that raised it, not the one that caught it
        error.__traceback__ = error.__traceback__.tb_next
    _causes[id(result)] = (result, error)


def _take_cause(result):
    """The exception behind the error triple now taken from `result`, with the locals of its
    frames (and of their callers on the worker) cleared, so it keeps no engine alive."""
    entry = _causes.pop(id(result), None)
    if entry is None or entry[0] is not result:
        return None
    tb = entry[1].__traceback__
    while tb is not None:
        frame, tb = tb.tb_frame, tb.tb_next
        while frame is not None:
            try:
                frame.clear()
            except RuntimeError:  # still running: nothing of it is kept
                pass
            frame = frame.f_back
    return entry[1]


# Which tree the current thread serves (its record's condition and its id), and which tree
# each busy worker is waiting for, so that a command that would close a cycle of workers
# waiting on each other is refused instead of hanging them all.
class _Local(threading.local):
    tree = None  # (condition, tree id) while the thread is a tree's worker


_local = _Local()
_waits: Dict[Any, tuple] = {}
_waits_lock = threading.Lock()


def _wait_on(cond, tree_id):
    """Records that the current thread, if it is a worker, waits for the tree of `cond`;
    returns the reason to refuse instead, if that would close a cycle."""
    me = _local.tree
    if me is None:
        return None
    with _waits_lock:
        chain, target, target_id = [me[1]], cond, tree_id
        while True:
            chain.append(target_id)
            if target is me[0]:
                if len(chain) == 2:
                    return "不能在行为树自己的线程中等待它执行命令"
                return "行为树之间相互等待，形成环: " + " -> ".join(chain)
            if target not in _waits:
                break
            target, target_id = _waits[target]
        _waits[me[0]] = (cond, tree_id)
    return None


def _done_waiting():
    me = _local.tree
    if me is not None:
        _waits.pop(me[0], None)


# The engines each running worker belongs to, for interrupting tick loops at a stop; and
# every live ThreadEngine, for stopping trees at exit and after a fork.
_running: Dict[Any, Any] = {}
_engines: "weakref.WeakSet[ThreadEngine]" = weakref.WeakSet()
_registry_lock = threading.RLock()


def _open_nonblocking(path, flags):
    return os.open(path, flags | os.O_NONBLOCK)


class ThreadEngine:
    __doc__ = "\n    线程B树引擎类\n    "

    @_method(_doc("初始化线程引擎"))
    def __init__(self):
        self.factory = BehaviorTreeFactory()
        self.trees = {}
        self.action_registrations = []
        logger.info("初始化线程引擎")
        _engines.add(self)

    @_method("\n        注册动作节点\n        \n"
             "        该方法封装了动作节点的注册过程，将节点注册信息存储起来，供后续创建行为树线程时使用。\n"
             "        \n        Args:\n            action_id: 动作节点ID\n"
             "            tick_functor: 节点的tick函数\n            ports_list: 节点的端口列表\n        ")
    def register_action_behavior(self, action_id: str, tick_functor: Callable[[TreeNode], NodeStatus],
                                 ports_list: List[Dict[str, str]]) -> None:
        logger.info("注册动作节点: " + action_id)
        self.action_registrations.append((action_id, tick_functor, ports_list))

    @_method("\n        通过类注册动作节点\n        \n"
             "        该方法通过传入节点类来注册动作节点，自动获取tick函数和ports列表。\n"
             "        \n        Args:\n            action_class: 动作节点类，必须继承自SimpleActionNode\n"
             "            action_id: 动作节点ID，如果为None则使用类名\n        ")
    def register_action_class(self, action_class: Type[SimpleActionNode], action_id: Optional[str] = None) -> None:
        if not issubclass(action_class, SimpleActionNode):
            error_msg = "节点类 " + str(action_class.__name__) + " 必须继承自SimpleActionNode"
            logger.error(error_msg)
            raise TypeError(error_msg)
        if action_id is None:
            action_id = action_class.__name__
        tick_method = action_class.tick
        ports = action_class.ports if hasattr(action_class, "ports") else []
        self.register_action_behavior(action_id, tick_method, ports)

    @_method(_doc("运行行为树线程", ["tree_id: 行为树ID", "xml_text: XML文本描述的行为树"]))
    def _run_tree(self, tree_id: str, xml_text: str) -> None:
        thread_data = None
        try:
            engine = SequentialEngine()
            for action_id, tick_functor, ports_list in self.action_registrations:
                engine.register_action_behavior(action_id, tick_functor, ports_list)
            engine.create_tree_from_text(xml_text)
            _label_tree(getattr(engine, "tree", None), tree_id)  # its name in live_trees() and the monitor
            thread_data = self.trees[tree_id]
            cond, command, result = thread_data["cond"], thread_data["command"], thread_data["result"]
            _local.tree = (cond, tree_id)
            _running[cond] = engine
            if type(cond) is ThreadCondition:
                cond._serve(command, result, self._process_command, engine, tree_id)
            else:  # a record made by hand, with a condition of its own
                while True:
                    with cond:
                        while command[0] is None:
                            cond.wait()
                        if command[0] is False:
                            break
                        self._process_command(engine, command[0], tree_id, result)
                        command[0] = None
                        cond.notify_all()
        except BaseException as error:
            message = "行为树线程 " + tree_id + " 发生错误: " + _error_text(error)
            logger.error(message)
            thread_data = thread_data if thread_data is not None else self.trees.get(tree_id)
            if thread_data is not None:
                _keep_cause(thread_data["result"], error)
                with thread_data["cond"]:
                    thread_data["result"][0] = ("error", tree_id, message)
                    thread_data["cond"].notify_all()
        finally:
            _local.tree = None
            if thread_data is not None:
                _running.pop(thread_data["cond"], None)
                if type(thread_data["cond"]) is ThreadCondition:
                    thread_data["cond"]._worker_ended()
            # A kept exception's traceback may hold this frame after it returns: it must not
            # hold the engines too.
            self = engine = None

    @_method(_doc("处理命令", ["engine: 顺序引擎实例", "command: 命令字典", "tree_id: 行为树ID", "result: 结果列表"]))
    def _process_command(self, engine: SequentialEngine, command: Dict[str, Any], tree_id: str,
                         result: List[Any]) -> None:
        command_type = command.get("type")
        params = command["params"] if "params" in command else {}
        try:
            if command_type == "tick_once":
                result[0] = ("tick_once", tree_id, engine.tick_once())
            elif command_type == "tick_until_failure":
                result[0] = ("tick_until_failure", tree_id, engine.tick_until_failure())
            elif command_type == "tick_until_success":
                result[0] = ("tick_until_success", tree_id, engine.tick_until_success())
            elif command_type == "tick_n_times":
                n = params.get("n", 1)
                result[0] = ("tick_n_times", tree_id, engine.tick_n_times(n))
            elif command_type == "get_status":
                result[0] = ("get_status", tree_id, engine.get_tree_status())
            elif command_type == "get_blackboard_data":
                key = params.get("key", None)
                result[0] = ("get_blackboard_data", tree_id, engine.get_blackboard_data(key))
            elif command_type == "set_blackboard_data":
                key, value = params.get("key", None), params.get("value", None)
                engine.set_blackboard_data(key, value)
                result[0] = ("set_blackboard_data", tree_id, None)
            elif command_type == "get_all_blackboard_data":
                result[0] = ("get_all_blackboard_data", tree_id, engine.get_all_blackboard_data())
            elif command_type == "reset":
                engine.reset_tree()
                result[0] = ("reset", tree_id, None)
            else:
                message = "未知命令类型: " + str(command_type)
                logger.error(message)
                result[0] = ("error", tree_id, message)
        except BaseException as error:  # SystemExit and the like too: the worker serves on
            message = "处理命令 " + str(command_type) + " 时发生错误: " + _error_text(error)
            logger.error(message)
            _keep_cause(result, error)
            result[0] = ("error", tree_id, message)

    @_method(_doc("从XML文本创建行为树", ["xml_text: XML文本描述的行为树", "tree_id: 行为树ID，如果为None则自动生成"],
                  "str: 行为树ID"))
    def create_tree_from_text(self, xml_text: str, tree_id: Optional[str] = None) -> str:
        with _registry_lock:  # the choice of an id and the registration are one step
            if tree_id is None:
                count = len(self.trees)
                while "tree_" + str(count) in self.trees:
                    count += 1
                tree_id = "tree_" + str(count)
            if tree_id in self.trees:
                message = "行为树ID " + tree_id + " 已存在"
                logger.error(message)
                raise ValueError(message)
            thread_data = {"cond": ThreadCondition(), "command": [None], "result": [None], "thread": None}
            self.trees[tree_id] = thread_data
            try:
                thread = threading.Thread(target=self._run_tree, args=(tree_id, xml_text))
                thread_data["thread"] = thread
                thread.start()
            except BaseException:
                if self.trees.get(tree_id) is thread_data:
                    del self.trees[tree_id]
                raise
        logger.info("创建行为树: " + tree_id)
        return tree_id

    @_method(_doc("从XML文件创建行为树", ["file_path: XML文件路径", "tree_id: 行为树ID，如果为None则自动生成"],
                  "str: 行为树ID"))
    def create_tree_from_file(self, file_path: str, tree_id: Optional[str] = None) -> str:
        # Opened without blocking and checked before reading: a FIFO would block forever and
        # a device would never end.
        with open(file_path, "rb", opener=_open_nonblocking) as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                raise OSError(22, "不是普通文件，拒绝读取", file_path)
            data = file.read(_MAX_FILE_BYTES + 1)
        if len(data) > _MAX_FILE_BYTES:
            raise OSError(27, f"文件超过 {_MAX_FILE_BYTES} 字节的上限", file_path)
        content = io.TextIOWrapper(io.BytesIO(data), encoding="utf-8").read()
        return self.create_tree_from_text(content, tree_id)

    @_method(_doc("检查行为树是否存在", ["tree_id: 行为树ID"], raises=["ValueError: 如果行为树不存在"]))
    def _check_tree_exists(self, tree_id: str) -> None:
        if tree_id not in self.trees:
            message = "行为树ID " + tree_id + " 不存在"
            logger.error(message)
            raise ValueError(message)

    @_method(_doc("获取所有行为树ID", returns="List[str]: 行为树ID列表"), result=list)
    def get_tree_ids(self) -> List[str]:
        return list(self.trees)

    @_method(_doc("发送命令到行为树线程", ["tree_id: 行为树ID", "command_type: 命令类型", "params: 命令参数"],
                  "Any: 命令执行结果", ["ValueError: 如果行为树不存在", "RuntimeError: 如果命令执行失败"]))
    def _send_command(self, tree_id: str, command_type: str, params: Dict[str, Any] = None) -> Any:
        self._check_tree_exists(tree_id)
        thread_data = self.trees[tree_id]
        cond, command, result = thread_data["cond"], thread_data["command"], thread_data["result"]
        record = {"type": command_type, "params": params if params else {}}
        worker = _local.tree is not None
        refusal = _wait_on(cond, tree_id) if worker else None
        if refusal is None:
            try:
                if type(cond) is ThreadCondition:
                    answer = cond._send(command, result, record, thread_data["thread"])
                else:
                    with cond:
                        command[0] = record
                        cond.notify_all()
                        while result[0] is None:
                            cond.wait()
                        answer, result[0] = result[0], None
            finally:
                if worker:
                    _done_waiting()
        if refusal is not None or answer is None:
            message = "行为树 " + tree_id + " 执行命令 " + command_type + " 失败: " + (refusal or _DEAD)
            logger.error(message)
            raise RuntimeError(message)
        result_type, result_tree_id, result_value = answer
        if result_type == "error":
            message = "行为树 " + tree_id + " 执行命令 " + command_type + " 失败: " + str(result_value)
            logger.error(message)
            raise RuntimeError(message) from _take_cause(result)
        return result_value

    @_method(_doc("执行一次行为树tick", ["tree_id: 行为树ID"], "NodeStatus: 执行状态"))
    def tick_once(self, tree_id: str) -> NodeStatus:
        return self._send_command(tree_id, "tick_once")

    @_method(_doc("执行行为树直到失败", ["tree_id: 行为树ID"], "int: 执行次数"), result=int)
    def tick_until_failure(self, tree_id: str) -> int:
        return self._send_command(tree_id, "tick_until_failure")

    @_method(_doc("执行行为树直到成功", ["tree_id: 行为树ID"], "int: 执行次数"), result=int)
    def tick_until_success(self, tree_id: str) -> int:
        return self._send_command(tree_id, "tick_until_success")

    @_method(_doc("执行行为树n次", ["tree_id: 行为树ID", "n: 执行次数"], "List[NodeStatus]: 执行状态列表"), result=list)
    def tick_n_times(self, tree_id: str, n: int) -> List[NodeStatus]:
        return self._send_command(tree_id, "tick_n_times", {"n": n})

    @_method(_doc("获取行为树状态", ["tree_id: 行为树ID"], "Dict[str, Any]: 行为树状态"), result=dict)
    def get_tree_status(self, tree_id: str) -> Dict[str, Any]:
        return self._send_command(tree_id, "get_status")

    @_method(_doc("获取黑板数据", ["tree_id: 行为树ID", "key: 数据键"], "Any: 数据值"))
    def get_blackboard_data(self, tree_id: str, key: str) -> Any:
        return self._send_command(tree_id, "get_blackboard_data", {"key": key})

    @_method(_doc("设置黑板数据", ["tree_id: 行为树ID", "key: 数据键", "value: 数据值"]))
    def set_blackboard_data(self, tree_id: str, key: str, value: Any) -> None:
        self._send_command(tree_id, "set_blackboard_data", {"key": key, "value": value})

    @_method(_doc("获取所有黑板数据", ["tree_id: 行为树ID"], "Dict[str, Any]: 所有黑板数据"), result=dict)
    def get_all_blackboard_data(self, tree_id: str) -> Dict[str, Any]:
        return self._send_command(tree_id, "get_all_blackboard_data")

    @_method(_doc("重置行为树", ["tree_id: 行为树ID"]))
    def reset_tree(self, tree_id: str) -> None:
        self._send_command(tree_id, "reset")

    @_method(_doc("停止行为树线程", ["tree_id: 行为树ID"], raises=["ValueError: 如果行为树不存在"]))
    def stop_tree(self, tree_id: str) -> None:
        self._check_tree_exists(tree_id)
        thread_data = self.trees[tree_id]
        cond, command = thread_data["cond"], thread_data["command"]
        if thread_data["thread"] is None:  # still being created: let the creation finish
            with _registry_lock:
                pass
        thread = thread_data["thread"]
        if thread is threading.current_thread():
            refusal = "行为树 " + tree_id + " 不能在自己的线程中停止"
        else:
            refusal = _wait_on(cond, tree_id)
            refusal = refusal and "停止行为树 " + tree_id + " 失败: " + refusal
        if refusal:
            logger.error(refusal)
            raise RuntimeError(refusal)
        try:
            engine = _running.get(cond)
            if engine is not None and hasattr(engine, "interrupt"):
                engine.interrupt()  # a tick loop that would never end ends now
            if type(cond) is ThreadCondition:
                if not cond._stop(command, 1.0):
                    logger.info("停止行为树 " + tree_id + ": 等待正在执行的命令结束")
                    cond._stop(command)
            else:
                with cond:
                    command[0] = False
                    cond.notify_all()
            if thread is not None:
                thread.join()
        finally:
            _done_waiting()
        del self.trees[tree_id]
        _take_cause(thread_data["result"])
        logger.info("停止行为树: " + tree_id)

    @_method(_doc("停止所有行为树线程"))
    def stop_all_trees(self) -> None:
        for tree_id in list(self.trees):
            self.stop_tree(tree_id)
        logger.info("停止所有行为树")

    @_method(_doc("析构函数，确保所有线程被正确停止"))
    def __del__(self):
        self.stop_all_trees()


def _stop_at_exit():
    """Runs when the program ends, before the interpreter joins its threads: the workers are
    not daemons, so a program that never stopped its trees would otherwise never end. The
    program's own threads come first: they may still be driving trees."""
    me = threading.current_thread()
    while True:
        workers = {record.get("thread") for engine in list(_engines) for record in list(engine.trees.values())}
        own = [t for t in threading.enumerate()
               if t is not me and not t.daemon and t.is_alive() and t not in workers]
        if not own:
            break
        for thread in own:
            thread.join()
    for engine in list(_engines):
        try:
            if getattr(engine, "trees", None):
                engine.stop_all_trees()
        except Exception as error:
            logger.error("退出时停止行为树失败: " + _error_text(error))


def _after_fork_in_child():
    """Only the forking thread exists in a child: every inherited tree has lost its worker.
    Their channels answer at once from now on, and whatever locks other threads held are
    free again."""
    global _waits_lock, _registry_lock
    _waits_lock, _registry_lock = threading.Lock(), threading.RLock()
    _waits.clear()
    _running.clear()
    for engine in list(_engines):
        for record in list(getattr(engine, "trees", {}).values()):
            if type(record.get("cond")) is ThreadCondition:
                record["cond"]._after_fork()


if hasattr(threading, "_register_atexit"):
    # These hooks run last first. Others let threads of their own end (a thread pool's tells
    # its idle workers to go): this one runs after all of them, or its join would wait forever.
    _hooks = getattr(threading, "_threading_atexits", None)
    _count = len(_hooks) if isinstance(_hooks, list) else -1
    threading._register_atexit(_stop_at_exit)
    if _count >= 0 and len(_hooks) == _count + 1:
        _hooks.insert(0, _hooks.pop())
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


# ---- demonstration part: runs only as the main program ----

if __name__ == "__main__":
    import os

    # agno reports every run to its vendor unless told not to; the demonstration talks to
    # the model server alone and must never sit waiting on a connection to anywhere else.
    os.environ.setdefault("AGNO_TELEMETRY", "false")

    import sys

    try:
        from agno.models.ollama import Ollama
        from agno.agent import Agent, RunResponse
    except ImportError as error:
        sys.exit(f"the demonstration needs the demo extra: pip install 'quorvel[demo]' ({error})")
    from typing import Iterator

    def unreachable_server(error):
        """(address, reason) when `error` or one of its causes says the model server could not be
        reached, else None. Connection failures come as httpx's transport errors from the
        ollama client, or as ConnectionError, perhaps wrapped in a command's RuntimeError."""
        try:
            import httpx
            transport = (httpx.TransportError,)
        except ImportError:
            transport = ()
        seen = set()
        while error is not None and id(error) not in seen:
            seen.add(id(error))
            if isinstance(error, (ConnectionError, *transport)):
                try:
                    url = error.request.url
                    address = f"{url.scheme}://{url.netloc.decode()}"
                except (AttributeError, RuntimeError):
                    # The address the ollama client uses when it is given none.
                    address = os.environ.get("OLLAMA_HOST") or "http://127.0.0.1:11434"
                reason = str(error).split("] ", 1)[-1] if str(error).startswith("[Errno") else str(error)
                return address, reason or type(error).__name__
            error = error.__cause__ or error.__context__
        return None

    class CreateAgentOllama(SimpleActionNode):
        # Assigned rather than written as a docstring, because Python 3.13 strips the
        # indentation of docstrings and this text is published as it stands.
        __doc__ = (
            "\n        创建Agent节点\n        \n"
            "        该节点用于根据指定的模型供应商、模型ID和描述创建一个新的Agent实例。\n"
            "        支持Ollama模型供应商，未来可扩展支持其他供应商。\n        \n"
            "        输入端口:\n"
            "            - model_provider: 模型供应商名称 (可选值: ollama, deepseek, openai, anthropic, gemini)\n"
            "            - model_id: 模型ID\n"
            "            - description: Agent的描述信息\n            \n"
            "        输出端口:\n"
            "            - agent: 创建的Agent实例\n        "
        )

        ports = [
            {"name": "model_id", "type": "string", "direction": "input", "description": ""},
            {"name": "description", "type": "string", "direction": "input", "description": ""},
            {"name": "agent", "type": "object", "direction": "output", "description": ""},
        ]

        @staticmethod
        def tick(node: TreeNode):
            model_id = node.getInputString("model_id")
            description = node.getInputString("description")
            model = Ollama(id=model_id)
            agent = Agent(model=model, description=description, markdown=True)
            node.setOutput("agent", agent)
            return NodeStatus.SUCCESS

    class GetStreamResponse(SimpleActionNode):
        ports = [
            {"name": "agent", "type": "object", "direction": "input", "description": ""},
            {"name": "instructions", "type": "object", "direction": "input", "description": ""},
            {"name": "response_stream", "type": "object", "direction": "output", "description": ""},
            {"name": "user_input", "type": "string", "direction": "input", "description": ""},
        ]

        @staticmethod
        def tick(node: TreeNode):
            agent = node.getInputObject("agent")
            # Declared so trees can wire it; how instructions should shape a run is not
            # decided yet, so the run does not see it.
            instructions = node.getInputObject("instructions")
            user_input = node.getInputString("user_input")
            # The run has not contacted the model yet: the stream is read later, by
            # whoever takes it from the blackboard, on whatever thread that is.
            response_stream: Iterator[RunResponse] = agent.run(user_input, stream=True)
            node.setOutput("response_stream", response_stream)
            return NodeStatus.SUCCESS

    tree_text = """
        <root BTCPP_format="4">
            <BehaviorTree ID="MainTree">
                <Sequence name="root_sequence">
                    <CreateAgentOllama model_id="qwen3:30b" agent="{agent}" description="You are an enthusiastic news reporter with a flair for storytelling!"/>
                    <KeepRunningUntilFailure>
                        <Sequence>
                            <GetStreamResponse 
								agent="{agent}" 
								instructions="{instructions}" 
								user_input="{user_input}" 
								response_stream="{response_stream}"/>
                        </Sequence>
                    </KeepRunningUntilFailure>
                </Sequence>
            </BehaviorTree>
        </root>
    """

    engine = ThreadEngine()
    # A model server that cannot be reached is the one failure a user is expected to meet:
    # say so in one line instead of a traceback.
    try:
        # The workers are not daemon threads: whatever step fails, stop them before the
        # error leaves the program, or the process would never end.
        try:
            engine.register_action_class(CreateAgentOllama, "CreateAgentOllama")
            engine.register_action_class(GetStreamResponse, "GetStreamResponse")

            tree_ids = [
                engine.create_tree_from_text(tree_text, "tree0"),
                engine.create_tree_from_text(tree_text, "tree1"),
            ]

            for tree_id, user_input in zip(tree_ids, ["中国上海的新闻", "中国北京的新闻"]):
                engine.set_blackboard_data(tree_id, "user_input", user_input)
                engine.tick_once(tree_id)
                response_stream: Iterator[RunResponse] = engine.get_blackboard_data(tree_id, "response_stream")
                for chunk in response_stream:
                    print(chunk.content, end="", flush=True)
                print(flush=True)
        finally:
            engine.stop_all_trees()
    except Exception as error:
        unreachable = unreachable_server(error)
        if unreachable is None:
            raise
        print("cannot reach the model server at %s: %s" % unreachable, file=sys.stderr, flush=True)
        sys.exit(1)
