"""The C++ core of Quorvel."""

from collections.abc import Callable
import enum
import os
from typing import Any


class BehaviorTreeError(RuntimeError):
    """Base of the errors raised by the behavior-tree engine."""

class LoadError(BehaviorTreeError):
    """
    The XML (or a script in it) cannot become a tree; the message names the line and the node.
    """

class PortError(BehaviorTreeError):
    """
    A port could not be read or written: undeclared, unbound, never written, or not convertible.
    """

class TickError(BehaviorTreeError):
    """
    A tick could not complete (a script error at run time, a node misused).
    """

class NodeStatus(enum.Enum):
    """The status of a node or of a whole tree after a tick."""

    IDLE = 0
    """Not ticked yet, or halted."""

    RUNNING = 1
    """Still working: tick it again."""

    SUCCESS = 2
    """Finished successfully."""

    FAILURE = 3
    """Finished unsuccessfully."""

    SKIPPED = 4
    """Chose not to run; neither success nor failure."""

class Waker:
    """
    Wakes a tree that waits for asynchronous work (see TreeNode.waitForWake).
    """

    def wake(self) -> None:
        """Ends the tree's wait between ticks: the loop ticks again. Any thread."""

    def __call__(self) -> None:
        """Same as wake()."""

class TreeNode:
    """
    The node being ticked, as handed to a Python action's tick functor.

    Port access works only during that node's own tick (or halt hook) and on
    the thread that ticks it; anywhere else it raises RuntimeError. Extra
    attributes may be set on the object: it is the same object on every tick
    of the same node.
    """

    def requestWakeAfter(self, seconds: float) -> None:
        """
        For a tick that returns RUNNING: a loop that ticks until the tree finishes may sleep this
        long before the next tick instead of ticking again at once.
        """

    def waitForWake(self) -> None:
        """
        For a tick that returns RUNNING while work goes on elsewhere: a loop that ticks until the
        tree finishes sleeps until a Waker of this node is woken (or a time given to
        requestWakeAfter passes) instead of ticking again at once.
        """

    def waker(self) -> Waker:
        """
        A Waker for this node's tree: its wake() may be called from any thread, at any time, also
        after the tree is gone (it then does nothing).
        """

    @property
    def uid(self) -> int:
        """The node's position in its tree, depth-first."""

    @property
    def status(self) -> NodeStatus:
        """
        The node's status before this tick (RUNNING when the tick continues earlier work).
        """

    def __repr__(self) -> str: ...

    def getInputString(self, name: str) -> str:
        """
        The input port's value as text: the literal of the XML attribute, or the text form of the
        blackboard entry the port is bound to (a str stored from Python comes back as that object).
        """

    def getInputObject(self, name: str) -> Any:
        """
        The input port's value as it is stored: the very object an earlier setOutput or
        set_blackboard_data stored, a literal as str, and None for a port of type "object" whose
        entry was never written.
        """

    def getInput(self, name: str) -> Any:
        """
        The input port's value converted to the port's declared type (int, double, bool, string);
        ports of type object or any give the stored object. A value stored from Python as exactly
        that type comes back as the same object.
        """

    def getInputInt(self, name: str) -> int:
        """The input port's value as an integer."""

    def getInputDouble(self, name: str) -> float:
        """The input port's value as a float."""

    def getInputBool(self, name: str) -> bool:
        """The input port's value as a bool."""

    def setOutput(self, name: str, value: Any) -> None:
        """
        Stores the value in the blackboard entry the output port is bound to. The very object is
        kept: reading the entry back from Python gives the same object.
        """

    @property
    def name(self) -> str:
        """The instance name (the XML `name` attribute, or the type name)."""

    @property
    def type(self) -> str:
        """The registered type id of the node."""

class Transition:
    """One status change of one node during a tick (or a halt)."""

    @property
    def uid(self) -> int:
        """The node's uid (TreeNode.uid, the layout's "uid")."""

    @property
    def name(self) -> str:
        """The node's name."""

    @property
    def previous(self) -> NodeStatus:
        """The status before."""

    @property
    def status(self) -> NodeStatus:
        """The status after."""

    @property
    def time_ns(self) -> int:
        """The tick's time (time.monotonic_ns clock), read once per tick."""

    @property
    def tick(self) -> int:
        """The tick number, as the snapshot right after that tick gives it."""

    def __repr__(self) -> str: ...

class TickReport:
    """
    What an observer gets after each tick: a sequence of the tick's Transition objects in the
    order they happened, with the tick's number, time and root status, and (for observers that
    asked) the blackboard entries whose value changed.
    """

    def __len__(self) -> int: ...

    def __getitem__(self, index: int) -> Transition: ...

    @property
    def tick(self) -> int:
        """The tick number."""

    @property
    def time_ns(self) -> int:
        """The tick's time."""

    @property
    def halt(self) -> bool:
        """True for a halt of the whole tree (reset), which is no tick."""

    @property
    def status(self) -> NodeStatus:
        """The root's status after the tick."""

    @property
    def writes(self) -> list[tuple[int | None, str, Any]]:
        """
        (blackboard, key, value) of each entry whose value changed in the tick; blackboard is the
        uid of the SubTree owning it, None for the tree's own. Empty unless the observer asked.
        """

    @property
    def counters(self) -> dict[int, dict[str, Any]]:
        """
        The snapshot entries of the nodes whose counters or status changed since the observer's
        previous report (every node in its first one).
        """

    def to_json(self) -> bytes:
        """
        The tick as one line of JSON in UTF-8, ending with a newline, as a recording stores it
        (without blackboard entries).
        """

class Observer:
    """An observer attached by Tree.observe; close() detaches it."""

    def close(self) -> None:
        """
        Detaches the observer; it gets no further ticks. Closing twice is fine.
        """

    @property
    def closed(self) -> bool: ...

    def __enter__(self) -> Observer: ...

    def __exit__(self, *args: object) -> None: ...

class RecordingSink:
    """
    Writes a tree's tick lines to a file descriptor (quorvel.record.Recorder uses it).
    """

    def flush(self) -> None:
        """Writes what is buffered; OSError when a write failed."""

    def close(self) -> None:
        """
        Detaches from the tree and writes what is buffered; the
        descriptor is the caller's to close afterwards.
        """

class Tree:
    """
    A loaded behavior tree: one built by a BehaviorTreeFactory, or the tree of a
    SequentialEngine (SequentialEngine.tree). Used by one thread at a time, except
    layout(), snapshot() and observe(), which any thread may call at any time; ticks run
    without the GIL.
    """

    def tick_once(self) -> NodeStatus:
        """Ticks the root once; returns its NodeStatus."""

    def tick_while_running(self) -> NodeStatus:
        """
        Ticks until the root is no longer RUNNING, sleeping between ticks until something the tree
        waits for can change; returns the final NodeStatus.
        """

    def tick_until_success(self) -> int:
        """Ticks until the root returns SUCCESS; returns the number of ticks."""

    def tick_until_failure(self) -> int:
        """Ticks until the root returns FAILURE; returns the number of ticks."""

    def tick_n_times(self, n: int) -> list[NodeStatus]:
        """
        Ticks n times; returns the list of statuses (empty for n <= 0). More than 10,000,000 ticks
        are refused with TickError before the first; interrupt() ends it between ticks.
        """

    def halt_tree(self) -> None:
        """Halts every running node; all nodes end IDLE."""

    @property
    def status(self) -> NodeStatus:
        """The root's current NodeStatus."""

    def get_tree_status(self) -> dict:
        """
        {"status": root NodeStatus, "nodes": [{"uid", "name", "type", "kind", "status",
        "depth", "parent"}, ...]} in depth-first order.
        """

    def get_blackboard_data(self, key: str | None) -> Any:
        """The root blackboard's entry `key`; None when never written."""

    def set_blackboard_data(self, key: str, value: Any) -> None:
        """Stores `value` under `key` in the root blackboard."""

    def get_all_blackboard_data(self) -> dict[str, Any]:
        """A new dict of every entry of the root blackboard."""

    def interrupt(self) -> None:
        """
        Makes the running and every later tick loop raise RuntimeError between ticks; any thread.
        """

    def layout(self) -> dict[str, Any]:
        """
        The tree's structure, JSON-serialisable: {"schema": "quorvel.layout/1", "root": uid,
        "nodes": [{"uid", "name", "type", "kind", "parent", "children", "ports", "line",
        "tree", "metadata"}, ...]} with nodes in uid order (depth-first). Any thread, never waits.
        """

    def snapshot(self) -> dict[str, Any]:
        """
        {"schema": "quorvel.snapshot/1", "tick": n, "status": root status name, "nodes": {uid:
        {"status", "last", "ticks", "success", "failure", "running_ns"}}}, counted since the tree
        was created. Any thread: while another thread is inside a tick it gives the state published
        at an earlier tick boundary, never a half-done tick, and never waits.
        """

    def observe(self, callback: Callable[[TickReport], object], *, blackboard: bool = False) -> Observer:
        """
        Calls callback(report) after each tick and after each halt of the whole tree, on the ticking
        thread; report is a TickReport, a sequence of that tick's Transition objects in order. A
        finished node returning to IDLE because its parent resets it is not reported (its next
        transition starts from IDLE); a halted RUNNING node is. With blackboard=True the report's
        `writes` lists the entries whose value changed. An exception raised by the callback is
        logged through the quorvel logger and the tick goes on. The callback must not tick, halt
        or reload the tree it observes. The observer lasts until close() (or the end of a with
        block), or until another tree is loaded in its place.
        """

    @property
    def label(self) -> str:
        """
        What quorvel.observe.live_trees() calls the tree (a ThreadEngine sets its tree id).
        """

    @label.setter
    def label(self, arg: str, /) -> None: ...

    @property
    def serial(self) -> int:
        """
        A number that changes with every load: the same for views of the same loaded tree.
        """

def live_trees() -> list[tuple[str, Tree]]:
    """
    (label, Tree) for every loaded tree of the process; see quorvel.observe.live_trees.
    """

class BehaviorTreeFactory:
    """
    Knows node types (the built-in library and registered Python actions) and tree
    definitions, and builds trees.
    """

    def __init__(self) -> None:
        """A factory that knows the built-in node types."""

    def register_simple_action(self, action_id: object, tick_functor: object, ports_list: object | None = None) -> None:
        """
        Registers a Python action: tick_functor(node) returns a NodeStatus; ports_list is a list of
        {"name", "type", "direction", "description"} dicts.
        """

    def register_action_behavior(self, action_id: object, tick_functor: object, ports_list: object | None) -> None:
        """Same as register_simple_action with the ports list required."""

    def register_simple_condition(self, condition_id: object, tick_functor: object, ports_list: object | None = None) -> None:
        """Registers a Python condition; its tick must return SUCCESS or FAILURE."""

    def register_node_type(self, node_class: object, node_id: object | None = None) -> None:
        """
        Registers a node class under node_id or the class name: one derived from SimpleActionNode
        (or StatefulActionNode, ConditionNode) by its static tick and its `ports` list, or a
        ControlNode / DecoratorNode subclass (quorvel.nodes.control_node), of which every node of
        a tree gets an instance of its own.
        """

    def unregister_node_type(self, node_id: str) -> bool:
        """
        Forgets a node type; False when it was not registered. Trees built earlier keep working.
        """

    def registered_types(self) -> list[str]:
        """The ids of every known node type, sorted."""

    def node_ports(self, node_id: str) -> dict:
        """
        {"kind": ..., "ports": [port descriptions], "description": what it does (built-in types)} of a
        registered node type.
        """

    def register_behavior_tree_from_text(self, xml_text: str, name: str | None = None) -> None:
        """
        Adds the document's BehaviorTree definitions (a known ID is replaced). `name` (a file name,
        say) names the document in the errors of this load and of building its trees.
        """

    def register_behavior_tree_from_file(self, path: str | os.PathLike) -> None:
        """
        Adds the BehaviorTree definitions of an XML file (and of its includes).
        """

    def registered_behavior_trees(self) -> list[str]:
        """The IDs of the registered tree definitions, sorted."""

    def clear_registered_behavior_trees(self) -> None:
        """Forgets every registered tree definition."""

    def create_tree(self, tree_id: str) -> Tree:
        """Builds the registered tree definition `tree_id`."""

    def create_tree_from_text(self, xml_text: str, name: str | None = None) -> Tree:
        """
        Registers the document's definitions and builds its main tree. `name` names the document in
        error messages. Attributes starting with `_` that the engine does not know are kept as editor
        metadata and named in a warning logged through loguru.
        """

    def create_tree_from_file(self, path: str | os.PathLike) -> Tree:
        """
        Registers the file's definitions and builds its main tree; includes resolve against its folder.
        """

class ChildNode:
    """
    A child of a Python control or decorator node, as its tick and halt see it.

    tick(), halt() and status work only during the parent's own tick or halt, on the
    thread that ticks it.
    """

    def tick(self) -> NodeStatus:
        """
        Ticks the child now, within the parent's tick; returns its status. An exception the child
        raises comes out of this call as it was raised.
        """

    def halt(self) -> None:
        """
        Halts the child if it is RUNNING (its halt hooks run) and leaves it IDLE; a finished child
        is returned to IDLE.
        """

    @property
    def status(self) -> NodeStatus:
        """The child's current status."""

    @property
    def name(self) -> str:
        """The child's instance name."""

    @property
    def type(self) -> str:
        """The child's node type id."""

    @property
    def index(self) -> int:
        """The child's position among its parent's children."""

    def __repr__(self) -> str: ...

class ControlTreeNode(TreeNode):
    """
    The TreeNode handed to the tick and halt of a Python control or decorator node: ports,
    requestWakeAfter, waitForWake and waker as for actions, and the node's children.
    """

    @property
    def children(self) -> tuple[ChildNode, ...]:
        """The children, in document order."""

    @property
    def child(self) -> ChildNode:
        """The one child of a decorator (RuntimeError on a control node)."""

class SequentialEngine:
    """
    Runs one behavior tree on the thread that calls it.

    Register the Python actions first, then load the tree with create_tree_from_text;
    every later call acts on that tree. The engine work runs without the GIL, so trees of
    built-in nodes tick in parallel on several threads; one engine is used by one thread at
    a time (a second caller gets RuntimeError).
    """

    def __init__(self) -> None:
        """A new engine, independent of every other instance."""

    def register_action_behavior(self, action_id: object, tick_functor: object, ports_list: object | None) -> None:
        """
        Registers a Python action type for trees loaded afterwards.

        tick_functor(node) receives the TreeNode and returns a NodeStatus. ports_list is a list
        of dicts with "name", "type" (string, object, int, double, bool or any),
        "direction" (input, output or inout), "description" and optionally "default".
        Registering an id again replaces the earlier type.
        """

    def register_node_type(self, node_class: type, node_id: str | None = None) -> None:
        """
        Registers a node class for trees loaded afterwards, under node_id or the class name: a
        ControlNode or DecoratorNode subclass (quorvel.nodes.control_node), or an action class
        (SimpleActionNode, StatefulActionNode, ConditionNode).
        """

    def create_tree_from_text(self, xml_text: str, name: str | None = None) -> None:
        """
        Loads the tree from XML text (version 4) and makes it the engine's tree. Raises LoadError
        (a RuntimeError) naming the line and the node when the text is rejected, or is larger than
        64 MiB; the previous tree, if any, then stays. The text is a str, so an encoding named by
        its XML declaration is ignored; a str that is no valid Unicode (a lone surrogate) raises
        ValueError. `name` (a file name, say) names the document in error messages. Attributes
        starting with `_` that the engine does not know are kept as editor metadata and named in a
        warning logged through loguru.
        """

    def create_tree_from_file(self, path: str | os.PathLike[str]) -> None:
        """
        As create_tree_from_text, reading the XML from a file; includes resolve against its folder.
        """

    def tick_once(self) -> NodeStatus:
        """Ticks the root once; returns its NodeStatus."""

    def tick_until_failure(self) -> int:
        """
        Ticks until the root returns FAILURE; returns the number of ticks. Between RUNNING ticks it
        sleeps until something the tree waits for can change; after a SUCCESS it waits a little,
        longer each time up to 10 ms, unless a node asked to be ticked again at once. Raises
        RuntimeError once interrupt() was called.
        """

    def tick_until_success(self) -> int:
        """
        Ticks until the root returns SUCCESS; returns the number of ticks. Between RUNNING ticks it
        sleeps until something the tree waits for can change; after a FAILURE it waits a little,
        longer each time up to 10 ms, unless a node asked to be ticked again at once. Raises
        RuntimeError once interrupt() was called.
        """

    def tick_n_times(self, n: int) -> list[NodeStatus]:
        """
        Ticks n times; returns the list of the statuses (empty for n <= 0). More than 10,000,000
        ticks are refused with TickError before the first. Raises RuntimeError once interrupt() was
        called.
        """

    def get_tree_status(self) -> dict:
        """
        The tree's state: {"status": root NodeStatus, "nodes": [{"uid", "name", "type", "kind",
        "status", "depth", "parent"}, ...]}, nodes depth-first, parents before children
        ("parent" is the parent's uid, None for the root).
        """

    def get_blackboard_data(self, key: str | None) -> Any:
        """
        The value of the tree's blackboard entry `key` (the very object stored from Python);
        None for a key that was never written.
        """

    def set_blackboard_data(self, key: str, value: Any) -> None:
        """
        Stores `value` under `key` in the tree's blackboard. bool, int, float and str are also seen
        by built-in nodes and scripts as Booleans, numbers and texts.
        """

    def get_all_blackboard_data(self) -> dict[str, Any]:
        """A new dict of every entry of the tree's blackboard."""

    def reset_tree(self) -> None:
        """
        Halts every running node and returns the whole tree to IDLE; the blackboard keeps its entries.
        """

    @property
    def tree(self) -> Tree | None:
        """
        The engine's loaded Tree (None before loading): layout(), snapshot() and observe() from any
        thread, and the same calls as the engine. It follows later loads.
        """

    def wait_between_ticks(self) -> None:
        """
        For a tick loop written in Python, between two tick_once calls on the same thread: sleeps as
        tick_while_running does between RUNNING ticks (until a requested time passes or a Waker is
        woken; not at all when a node asked to be ticked again at once). wake() ends it early.
        """

    def wait_before_retry(self, seconds: float) -> bool:
        """
        For a tick loop written in Python, after a tick that finished with the status it does not
        wait for: sleeps up to `seconds` (less when a node asked for an earlier tick), as the
        tick_until_* loops back off. False, without sleeping, when a node asked to be ticked again
        at once. wake() ends it early.
        """

    def wake(self) -> None:
        """
        Ends a wait_between_ticks or wait_before_retry in progress (or the next one, if none is);
        any thread, any time. Unlike interrupt() it leaves nothing behind.
        """

    def interrupt(self) -> None:
        """
        Stops tick loops: a running tick_until_success/tick_until_failure/tick_n_times raises
        RuntimeError at its next check between ticks (a loop sleeping between ticks wakes up), and so
        does every later one. tick_once is not affected. Safe to call from any thread at any time.
        """

class ThreadCondition:
    """
    A tree's condition: threading.Condition's interface (re-entrant lock, wait, notify)
    on a native lock that waits with the GIL released, plus the thread engine's command
    channel. notify() wakes every waiter; waiters re-test what they wait for.
    """

    def __init__(self) -> None: ...

    def acquire(self, blocking: bool = True, timeout: float = -1.0) -> bool: ...

    def release(self) -> None: ...

    def __enter__(self) -> bool: ...

    def __exit__(self, *args) -> None: ...

    def wait(self, timeout: float | None = None) -> bool: ...

    def wait_for(self, predicate: Callable, timeout: float | None = None) -> object: ...

    def notify(self, n: int = 1) -> None: ...

    def notify_all(self) -> None: ...

MAX_DOCUMENT_BYTES: int = 67108864
