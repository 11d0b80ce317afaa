// quorvel.core: statuses, the error classes, the TreeNode handle, trees and the factory.

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings.hpp"
#include "py_control_node.hpp"
#include "py_log.hpp"
#include "py_node.hpp"
#include "py_support.hpp"
#include "py_tree.hpp"
#include "py_value.hpp"
#include "quorvel/factory.hpp"

namespace quorvel::py {

namespace {

// The factory as Python sees it. Trees it creates keep it alive: a built tree needs nothing
// of the engine's factory, but the collector sees the Python functors of the factory's
// actions only through the factory, and clearing it (a collected cycle) would leave the
// tree's Python nodes without their functors.
class PyFactory {
public:
    BehaviorTreeFactory factory;
    PyActionRegistry actions;
    BusyFlag busy{"factory"};
};

template <class T>
int traverseSlot(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    T* object = nb::inst_ptr<T>(self);
    return object->actions.traverse(visit, arg);
}

template <class T>
int clearSlot(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    T* object = nb::inst_ptr<T>(self);
    object->actions.clear();
    return 0;
}

PyType_Slot factory_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(traverseSlot<PyFactory>)},
    {Py_tp_clear, reinterpret_cast<void*>(clearSlot<PyFactory>)},
    {0, nullptr},
};

const char* directionText(PortDirection d) {
    switch (d) {
        case PortDirection::Input: return "input";
        case PortDirection::Output: return "output";
        case PortDirection::InOut: return "inout";
    }
    return "input";
}

// For calls that only read the factory: they run with the GIL held, so nobody can start
// changing it meanwhile, but a load already running without the GIL on another thread may.
void checkFactoryReadable(PyFactory& self, const char* what) {
    if (self.busy.busy() && !self.busy.heldByThisThread())
        raiseRuntimeError(std::string(what) + " cannot run while another thread is using the same factory");
}

// Runs a factory operation that may take long (XML parsing) with the GIL released.
template <class Fn>
auto withFactory(PyFactory& self, const char* what, Fn&& fn) {
    BusyFlag::Guard guard(self.busy, what);
    return runEngineCall([&] {
        LazyGil::letGo();
        return fn();
    });
}

PyTree* makeTree(PyFactory& self, const char* what, const std::function<Tree(BehaviorTreeFactory&)>& build) {
    BusyFlag::Guard guard(self.busy, what);
    auto tree = std::make_unique<PyTree>();
    tree->host().load([&] { return build(self.factory); });
    return tree.release();
}

void bindFactory(nb::module_& m) {
    nb::class_<PyFactory>(m, "BehaviorTreeFactory", nb::type_slots(factory_slots),
                          "Knows node types (the built-in library and registered Python actions) and tree\n"
                          "definitions, and builds trees.")
        .def(nb::init<>(), "A factory that knows the built-in node types.")
        .def(
            "register_simple_action",
            [](PyFactory& self, nb::handle id, nb::handle tick, nb::handle ports) {
                nb::object adapted = adaptAsync("adapt_tick", tick, ports);
                BusyFlag::Guard guard(self.busy, "register_simple_action()");
                self.actions.add(registerPythonAction(self.factory, id, adapted, ports));
            },
            nb::arg("action_id"), nb::arg("tick_functor"), nb::arg("ports_list").none() = nb::none(),
            "Registers a Python action: tick_functor(node) returns a NodeStatus; ports_list is a list of\n"
            "{\"name\", \"type\", \"direction\", \"description\"} dicts.")
        .def(
            "register_action_behavior",
            [](PyFactory& self, nb::handle id, nb::handle tick, nb::handle ports) {
                nb::object adapted = adaptAsync("adapt_tick", tick, ports);
                BusyFlag::Guard guard(self.busy, "register_action_behavior()");
                self.actions.add(registerPythonAction(self.factory, id, adapted, ports));
            },
            nb::arg("action_id"), nb::arg("tick_functor"), nb::arg("ports_list").none(),
            "Same as register_simple_action with the ports list required.")
        .def(
            "register_simple_condition",
            [](PyFactory& self, nb::handle id, nb::handle tick, nb::handle ports) {
                nb::object adapted = adaptAsync("adapt_tick", tick, ports);
                BusyFlag::Guard guard(self.busy, "register_simple_condition()");
                self.actions.add(registerPythonAction(self.factory, id, adapted, ports, "condition"));
            },
            nb::arg("condition_id"), nb::arg("tick_functor"), nb::arg("ports_list").none() = nb::none(),
            "Registers a Python condition; its tick must return SUCCESS or FAILURE.")
        .def(
            "register_node_type",
            [](PyFactory& self, nb::handle cls, nb::handle id) {
                nb::object adapted = adaptAsync("adapt_class", cls);
                BusyFlag::Guard guard(self.busy, "register_node_type()");
                self.actions.add(registerAdaptedNodeClass(self.factory, cls, id, adapted));
            },
            nb::arg("node_class"), nb::arg("node_id").none() = nb::none(),
            "Registers a node class under node_id or the class name: one derived from SimpleActionNode\n"
            "(or StatefulActionNode, ConditionNode) by its static tick and its `ports` list, or a\n"
            "ControlNode / DecoratorNode subclass (quorvel.nodes.control_node), of which every node of\n"
            "a tree gets an instance of its own.")
        .def(
            "unregister_node_type",
            [](PyFactory& self, const std::string& id) {
                BusyFlag::Guard guard(self.busy, "unregister_node_type()");
                self.actions.remove(id);
                return self.factory.unregisterBuilder(id);
            },
            nb::arg("node_id"),
            "Forgets a node type; False when it was not registered. Trees built earlier keep working.")
        .def(
            "registered_types",
            [](PyFactory& self) {
                checkFactoryReadable(self, "registered_types()");
                return self.factory.registeredTypes();
            },
            "The ids of every known node type, sorted.")
        .def(
            "node_ports",
            [](PyFactory& self, const std::string& id) {
                checkFactoryReadable(self, "node_ports()");
                const NodeManifest* manifest = self.factory.manifest(id);
                if (!manifest) throw nb::key_error(("unknown node type '" + id + "'").c_str());
                nb::list ports;
                for (const PortInfo& p : manifest->ports) {
                    nb::dict d;
                    d["name"] = p.name;
                    d["type"] = p.type;
                    d["direction"] = directionText(p.direction);
                    d["description"] = p.description;
                    if (p.default_value) d["default"] = *p.default_value;
                    ports.append(d);
                }
                nb::dict result;
                result["kind"] = nb::str(kindName(manifest->kind).data(), kindName(manifest->kind).size());
                result["ports"] = ports;
                if (!manifest->description.empty()) result["description"] = manifest->description;
                return result;
            },
            nb::arg("node_id"),
            "{\"kind\": ..., \"ports\": [port descriptions], \"description\": what it does (built-in types)} of a\n"
            "registered node type.")
        .def(
            "register_behavior_tree_from_text",
            [](PyFactory& self, const nb::str& xml_text, const std::optional<std::string>& name) {
                std::string_view xml = xmlText(xml_text);
                withFactory(self, "register_behavior_tree_from_text()",
                            [&] { self.factory.registerBehaviorTreeFromText(xml, name.value_or("")); });
            },
            nb::arg("xml_text"), nb::arg("name").none() = nb::none(),
            "Adds the document's BehaviorTree definitions (a known ID is replaced). `name` (a file name,\n"
            "say) names the document in the errors of this load and of building its trees.")
        .def(
            "register_behavior_tree_from_file",
            [](PyFactory& self, const std::filesystem::path& path) {
                withFactory(self, "register_behavior_tree_from_file()", [&] { self.factory.registerBehaviorTreeFromFile(path); });
            },
            nb::arg("path"), "Adds the BehaviorTree definitions of an XML file (and of its includes).")
        .def(
            "registered_behavior_trees",
            [](PyFactory& self) {
                checkFactoryReadable(self, "registered_behavior_trees()");
                return self.factory.registeredBehaviorTrees();
            },
            "The IDs of the registered tree definitions, sorted.")
        .def(
            "clear_registered_behavior_trees",
            [](PyFactory& self) {
                BusyFlag::Guard guard(self.busy, "clear_registered_behavior_trees()");
                self.factory.clearRegisteredBehaviorTrees();
            },
            "Forgets every registered tree definition.")
        .def(
            "create_tree",
            [](PyFactory& self, const std::string& tree_id) {
                auto* tree = makeTree(self, "create_tree()", [&](BehaviorTreeFactory& f) { return f.createTree(tree_id); });
                logLoadWarnings(self.factory);
                return tree;
            },
            nb::arg("tree_id"), nb::keep_alive<0, 1>(), "Builds the registered tree definition `tree_id`.")
        .def(
            "create_tree_from_text",
            [](PyFactory& self, const nb::str& xml_text, const std::optional<std::string>& name) {
                std::string_view xml = xmlText(xml_text);
                auto* tree = makeTree(self, "create_tree_from_text()", [&](BehaviorTreeFactory& f) {
                    return f.createTreeFromText(xml, nullptr, name.value_or(""));
                });
                logLoadWarnings(self.factory);
                return tree;
            },
            nb::arg("xml_text"), nb::arg("name").none() = nb::none(), nb::keep_alive<0, 1>(),
            "Registers the document's definitions and builds its main tree. `name` names the document in\n"
            "error messages. Attributes starting with `_` that the engine does not know are kept as editor\n"
            "metadata and named in a warning logged through loguru.")
        .def(
            "create_tree_from_file",
            [](PyFactory& self, const std::filesystem::path& path) {
                auto* tree = makeTree(self, "create_tree_from_file()", [&](BehaviorTreeFactory& f) { return f.createTreeFromFile(path); });
                logLoadWarnings(self.factory);
                return tree;
            },
            nb::arg("path"), nb::keep_alive<0, 1>(),
            "Registers the file's definitions and builds its main tree; includes resolve against its folder.");
}

}  // namespace

void bindCore(nb::module_& m) {
    bindErrors(m);
    bindNodeStatus(m);
    bindTreeNode(m);
    bindTree(m);
    bindFactory(m);
}

}  // namespace quorvel::py
