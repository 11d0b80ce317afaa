#include "py_sequential_engine.hpp"

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>

#include "bindings.hpp"
#include "py_control_node.hpp"
#include "py_log.hpp"
#include "py_node.hpp"

namespace quorvel::py {

void SequentialEngine::registerActionBehavior(nb::handle action_id, nb::handle tick_functor, nb::handle ports_list) {
    nb::object tick = adaptAsync("adapt_tick", tick_functor, ports_list);
    BusyFlag::Guard guard(host_.busy(), "register_action_behavior()");
    actions_.add(registerPythonAction(factory_, action_id, tick, ports_list));
}

void SequentialEngine::registerNodeType(nb::handle node_class, nb::handle node_id) {
    nb::object tick = adaptAsync("adapt_class", node_class);
    BusyFlag::Guard guard(host_.busy(), "register_node_type()");
    actions_.add(registerAdaptedNodeClass(factory_, node_class, node_id, tick));
}

int SequentialEngine::traverse(visitproc visit, void* arg) const {
    if (int r = actions_.traverse(visit, arg)) return r;
    return host_.traverse(visit, arg);
}

void SequentialEngine::clear() {
    host_.clear();
    actions_.clear();
}

namespace {

int engineTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<SequentialEngine>(self)->traverse(visit, arg);
}

int engineClear(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<SequentialEngine>(self)->clear();
    return 0;
}

PyType_Slot engine_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(engineTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engineClear)},
    {0, nullptr},
};

}  // namespace

void SequentialEngine::createTreeFromText(nb::handle xml_text, nb::handle name) {
    std::string document;
    if (!name.is_none()) {
        if (!PyUnicode_Check(name.ptr()))
            throw nb::type_error((std::string("name must be a str or None, not ") + nb::type_name(name.type()).c_str()).c_str());
        document = nb::cast<std::string>(name);
    }
    if (!PyUnicode_Check(xml_text.ptr()))
        throw nb::type_error((std::string("xml_text must be a str, not ") + nb::type_name(xml_text.type()).c_str()).c_str());
    std::string_view xml = xmlText(xml_text);
    host_.load([&] { return factory_.createTreeFromText(xml, nullptr, document); });
    logLoadWarnings(factory_);
}

void SequentialEngine::createTreeFromFile(nb::handle path) {
    std::filesystem::path file = nb::cast<std::filesystem::path>(path);
    host_.load([&] { return factory_.createTreeFromFile(file); });
    logLoadWarnings(factory_);
}

nb::list SequentialEngine::tickNTimes(nb::handle n) { return host_.tickNTimes(tickCount(n)); }

void bindSequentialEngine(nb::module_& m) {
    nb::class_<SequentialEngine>(
        m, "SequentialEngine", nb::type_slots(engine_slots),
        "Runs one behavior tree on the thread that calls it.\n\n"
        "Register the Python actions first, then load the tree with create_tree_from_text;\n"
        "every later call acts on that tree. The engine work runs without the GIL, so trees of\n"
        "built-in nodes tick in parallel on several threads; one engine is used by one thread at\n"
        "a time (a second caller gets RuntimeError).")
        .def(nb::init<>(), "A new engine, independent of every other instance.")
        .def("register_action_behavior", &SequentialEngine::registerActionBehavior, nb::arg("action_id"),
             nb::arg("tick_functor"), nb::arg("ports_list").none(),
             "Registers a Python action type for trees loaded afterwards.\n\n"
             "tick_functor(node) receives the TreeNode and returns a NodeStatus. ports_list is a list\n"
             "of dicts with \"name\", \"type\" (string, object, int, double, bool or any),\n"
             "\"direction\" (input, output or inout), \"description\" and optionally \"default\".\n"
             "Registering an id again replaces the earlier type.")
        .def("register_node_type", &SequentialEngine::registerNodeType, nb::arg("node_class"),
             nb::arg("node_id").none() = nb::none(),
             nb::sig("def register_node_type(self, node_class: type, node_id: str | None = None) -> None"),
             "Registers a node class for trees loaded afterwards, under node_id or the class name: a\n"
             "ControlNode or DecoratorNode subclass (quorvel.nodes.control_node), or an action class\n"
             "(SimpleActionNode, StatefulActionNode, ConditionNode).")
        .def("create_tree_from_text", &SequentialEngine::createTreeFromText, nb::arg("xml_text"),
             nb::arg("name").none() = nb::none(),
             nb::sig("def create_tree_from_text(self, xml_text: str, name: str | None = None) -> None"),
             "Loads the tree from XML text (version 4) and makes it the engine's tree. Raises LoadError\n"
             "(a RuntimeError) naming the line and the node when the text is rejected, or is larger than\n"
             "64 MiB; the previous tree, if any, then stays. The text is a str, so an encoding named by\n"
             "its XML declaration is ignored; a str that is no valid Unicode (a lone surrogate) raises\n"
             "ValueError. `name` (a file name, say) names the document in error messages. Attributes\n"
             "starting with `_` that the engine does not know are kept as editor metadata and named in a\n"
             "warning logged through loguru.")
        .def("create_tree_from_file", &SequentialEngine::createTreeFromFile, nb::arg("path"),
             nb::sig("def create_tree_from_file(self, path: str | os.PathLike[str]) -> None"),
             "As create_tree_from_text, reading the XML from a file; includes resolve against its folder.")
        .def("tick_once", &SequentialEngine::tickOnce, nb::sig("def tick_once(self) -> NodeStatus"), "Ticks the root once; returns its NodeStatus.")
        .def("tick_until_failure", &SequentialEngine::tickUntilFailure, nb::sig("def tick_until_failure(self) -> int"),
             "Ticks until the root returns FAILURE; returns the number of ticks. Between RUNNING ticks it\n"
             "sleeps until something the tree waits for can change; after a SUCCESS it waits a little,\n"
             "longer each time up to 10 ms, unless a node asked to be ticked again at once. Raises\n"
             "RuntimeError once interrupt() was called.")
        .def("tick_until_success", &SequentialEngine::tickUntilSuccess, nb::sig("def tick_until_success(self) -> int"),
             "Ticks until the root returns SUCCESS; returns the number of ticks. Between RUNNING ticks it\n"
             "sleeps until something the tree waits for can change; after a FAILURE it waits a little,\n"
             "longer each time up to 10 ms, unless a node asked to be ticked again at once. Raises\n"
             "RuntimeError once interrupt() was called.")
        .def("tick_n_times", &SequentialEngine::tickNTimes, nb::arg("n"),
             nb::sig("def tick_n_times(self, n: int) -> list[NodeStatus]"),
             "Ticks n times; returns the list of the statuses (empty for n <= 0). More than 10,000,000\n"
             "ticks are refused with TickError before the first. Raises RuntimeError once interrupt() was\n"
             "called.")
        .def("get_tree_status", &SequentialEngine::getTreeStatus,
             "The tree's state: {\"status\": root NodeStatus, \"nodes\": [{\"uid\", \"name\", \"type\", \"kind\",\n"
             "\"status\", \"depth\", \"parent\"}, ...]}, nodes depth-first, parents before children\n"
             "(\"parent\" is the parent's uid, None for the root).")
        .def("get_blackboard_data", &SequentialEngine::getBlackboardData, nb::arg("key").none(),
             nb::sig("def get_blackboard_data(self, key: str | None) -> typing.Any"),
             "The value of the tree's blackboard entry `key` (the very object stored from Python);\n"
             "None for a key that was never written.")
        .def("set_blackboard_data", &SequentialEngine::setBlackboardData, nb::arg("key").none(), nb::arg("value").none(),
             nb::sig("def set_blackboard_data(self, key: str, value: typing.Any) -> None"),
             "Stores `value` under `key` in the tree's blackboard. bool, int, float and str are also seen\n"
             "by built-in nodes and scripts as Booleans, numbers and texts.")
        .def("get_all_blackboard_data", &SequentialEngine::getAllBlackboardData,
             nb::sig("def get_all_blackboard_data(self) -> dict[str, typing.Any]"),
             "A new dict of every entry of the tree's blackboard.")
        .def("reset_tree", &SequentialEngine::resetTree,
             "Halts every running node and returns the whole tree to IDLE; the blackboard keeps its entries.")
        .def_prop_ro(
            "tree", [](nb::handle self) { return treeView(nb::inst_ptr<SequentialEngine>(self)->host(), self); },
            nb::sig("def tree(self) -> Tree | None"),
            "The engine's loaded Tree (None before loading): layout(), snapshot() and observe() from any\n"
            "thread, and the same calls as the engine. It follows later loads.")
        .def("wait_between_ticks", &SequentialEngine::waitBetweenTicks,
             "For a tick loop written in Python, between two tick_once calls on the same thread: sleeps as\n"
             "tick_while_running does between RUNNING ticks (until a requested time passes or a Waker is\n"
             "woken; not at all when a node asked to be ticked again at once). wake() ends it early.")
        .def("wait_before_retry", &SequentialEngine::waitBeforeRetry, nb::arg("seconds"),
             nb::sig("def wait_before_retry(self, seconds: float) -> bool"),
             "For a tick loop written in Python, after a tick that finished with the status it does not\n"
             "wait for: sleeps up to `seconds` (less when a node asked for an earlier tick), as the\n"
             "tick_until_* loops back off. False, without sleeping, when a node asked to be ticked again\n"
             "at once. wake() ends it early.")
        .def("wake", &SequentialEngine::wake,
             "Ends a wait_between_ticks or wait_before_retry in progress (or the next one, if none is);\n"
             "any thread, any time. Unlike interrupt() it leaves nothing behind.")
        .def("interrupt", &SequentialEngine::interrupt,
             "Stops tick loops: a running tick_until_success/tick_until_failure/tick_n_times raises\n"
             "RuntimeError at its next check between ticks (a loop sleeping between ticks wakes up), and so\n"
             "does every later one. tick_once is not affected. Safe to call from any thread at any time.");
}

}  // namespace quorvel::py
