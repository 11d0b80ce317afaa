#include "py_node.hpp"

#include <nanobind/stl/string.h>

#include <chrono>
#include <set>

#include "py_control_node.hpp"
#include "py_support.hpp"
#include "quorvel/errors.hpp"

namespace quorvel::py {

// ---- the handle ----

void TreeNodeHandle::notInCallback(const char* operation) const {
    raiseRuntimeError(std::string("TreeNode '") + access_->name + "': " + operation +
                      "() works only during the node's own tick, on the thread that ticks it");
}

namespace {

// Port names arrive as str objects; their UTF-8 form is cached by Python, so this copies
// nothing.
std::string_view view(const nb::str& name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!text) throw nb::python_error();
    return {text, static_cast<size_t>(size)};
}

// ---- ports: called once or twice by every Python action ----
//
// Plain CPython methods, without an argument-conversion layer in between, and a port name
// (usually the same interned str on every call) is found by its identity in the node's
// small cache before any text is compared.

struct PortRef {
    TreeNode* node;
    int index;  // -1: the node has no such port (the calls by name give the error)
    char type;
    std::string_view name;
};

// The node and the port for a call on `self` with `name`, or nullptr with a Python error.
bool resolvePort(PyObject* self, PyObject* name, const char* operation, PortRef& out) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s(): the port name must be a str, not %.200s", operation, Py_TYPE(name)->tp_name);
        return false;
    }
    TreeNodeHandle& handle = *nb::inst_ptr<TreeNodeHandle>(self);
    out.node = &handle.node(operation);
    NodeAccess& access = handle.access();
    for (const NodeAccess::CachedPort& p : access.ports) {
        if (p.name.ptr() == name) {
            out.index = p.index;
            out.type = p.type;
            return true;
        }
    }
    out.name = view(nb::borrow<nb::str>(name));
    out.index = out.node->portIndex(out.name);
    out.type = out.index >= 0 ? out.node->portTypeCodeAt(out.index) : 'a';
    if (out.index >= 0 && access.ports.size() < 16) access.ports.push_back({PyRef(name), out.index, out.type});
    return true;
}

std::string_view portName(const PortRef& port, PyObject* name) {
    return port.name.empty() ? view(nb::borrow<nb::str>(name)) : port.name;
}

// The one argument of a port method: by position or as `name=`.
PyObject* nameArgument(const char* operation, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 1 && nkw == 0) return args[0];
    if (nargs == 0 && nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "name") == 0)
        return args[0];
    PyErr_Format(PyExc_TypeError, "%s() takes one argument, the port name", operation);
    return nullptr;
}

// The remembered object when the value came from Python as exactly `type`.
PyObject* originOfType(const Value& v, PyTypeObject* type) {
    const PyOpaque* py = pyOrigin(v);
    return py && Py_TYPE(py->object().ptr()) == type ? Py_NewRef(py->object().ptr()) : nullptr;
}

template <class Body>
PyObject* portMethod(const char* operation, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) {
    PyObject* name = nameArgument(operation, args, nargs, kwnames);
    if (!name) return nullptr;
    try {
        PortRef port;
        if (!resolvePort(self, name, operation, port)) return nullptr;
        return body(port, name);
    } catch (...) {
        setErrorFromCurrentException();
        return nullptr;
    }
}

PyObject* readInt(const PortRef& port, PyObject* name) {
    if (port.index >= 0) {
        const Value& v = port.node->inputAt(port.index);
        if (const int64_t* i = v.asInt()) {
            if (PyObject* origin = originOfType(v, &PyLong_Type)) return origin;
            return PyLong_FromLongLong(*i);
        }
    }
    return PyLong_FromLongLong(port.node->getInputInt(portName(port, name)));
}

PyObject* readReal(const PortRef& port, PyObject* name) {
    if (port.index >= 0) {
        const Value& v = port.node->inputAt(port.index);
        if (const double* d = v.asReal()) {
            if (PyObject* origin = originOfType(v, &PyFloat_Type)) return origin;
            return PyFloat_FromDouble(*d);
        }
    }
    return PyFloat_FromDouble(port.node->getInputReal(portName(port, name)));
}

PyObject* readBool(const PortRef& port, PyObject* name) {
    return Py_NewRef(port.node->getInputBool(portName(port, name)) ? Py_True : Py_False);
}

PyObject* readText(const PortRef& port, PyObject* name) {
    const Value& v = port.index >= 0 ? port.node->inputAt(port.index) : port.node->inputRef(portName(port, name));
    nb::object text = textFromValue(v);
    if (text.is_none())
        throw PortError("port '" + std::string(portName(port, name)) + "' of " + port.node->describe() +
                        " has no value (its entry was never written)");
    return text.release().ptr();
}

PyObject* readObject(const PortRef& port, PyObject* name) {
    const Value& v = port.index >= 0 ? port.node->inputAt(port.index) : port.node->inputRef(portName(port, name));
    return fromValue(v).release().ptr();
}

PyObject* getInputFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return portMethod("getInput", self, args, nargs, kwnames, [](const PortRef& port, PyObject* name) {
        switch (port.type) {
            case 'i': return readInt(port, name);
            case 'd': return readReal(port, name);
            case 'b': return readBool(port, name);
            case 's': return readText(port, name);
            default: return readObject(port, name);
        }
    });
}

PyObject* getInputObjectFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return portMethod("getInputObject", self, args, nargs, kwnames, readObject);
}
PyObject* getInputStringFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return portMethod("getInputString", self, args, nargs, kwnames, readText);
}
PyObject* getInputIntFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return portMethod("getInputInt", self, args, nargs, kwnames, readInt);
}
PyObject* getInputDoubleFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return portMethod("getInputDouble", self, args, nargs, kwnames, readReal);
}
PyObject* getInputBoolFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return portMethod("getInputBool", self, args, nargs, kwnames, readBool);
}

PyObject* setOutputFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw == 2 && nargs >= 0) {
        name = nargs > 0 ? args[0] : nullptr;
        value = nargs > 1 ? args[1] : nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!name && PyUnicode_CompareWithASCIIString(key, "name") == 0) name = args[nargs + k];
            else if (!value && PyUnicode_CompareWithASCIIString(key, "value") == 0) value = args[nargs + k];
        }
    }
    if (!name || !value) {
        PyErr_SetString(PyExc_TypeError, "setOutput() takes two arguments, the port name and the value");
        return nullptr;
    }
    try {
        PortRef port;
        if (!resolvePort(self, name, "setOutput", port)) return nullptr;
        if (port.index >= 0) port.node->assignOutputAt(port.index, [value](Value& target) { assignValue(target, value); });
        else port.node->setOutput(portName(port, name), toValue(value));
        Py_RETURN_NONE;
    } catch (...) {
        setErrorFromCurrentException();
        return nullptr;
    }
}

// `name` and `type` are read by actions on every tick (to log, to key a dict): one str object
// per node, made once.
PyObject* cachedText(PyRef& cache, const std::string& text) {
    if (!cache) {
        PyObject* made = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (!made) return nullptr;
        cache = PyRef(nb::handle(made));
        Py_DECREF(made);
    }
    return Py_NewRef(cache.ptr());
}

PyObject* getName(PyObject* self, void*) {
    NodeAccess& access = nb::inst_ptr<TreeNodeHandle>(self)->access();
    return cachedText(access.name_object, access.name);
}

PyObject* getType(PyObject* self, void*) {
    NodeAccess& access = nb::inst_ptr<TreeNodeHandle>(self)->access();
    return cachedText(access.type->id_object, access.type->id);
}

PyGetSetDef g_text_properties[] = {
    {"name", getName, nullptr, "The instance name (the XML `name` attribute, or the type name).", nullptr},
    {"type", getType, nullptr, "The registered type id of the node.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_port_methods[] = {
    {"getInputString", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getInputStringFast)),
     METH_FASTCALL | METH_KEYWORDS,
     "getInputString($self, /, name)\n--\n\n"
     "The input port's value as text: the literal of the XML attribute, or the text form of the\n"
     "blackboard entry the port is bound to (a str stored from Python comes back as that object)."},
    {"getInputObject", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getInputObjectFast)),
     METH_FASTCALL | METH_KEYWORDS,
     "getInputObject($self, /, name)\n--\n\n"
     "The input port's value as it is stored: the very object an earlier setOutput or\n"
     "set_blackboard_data stored, a literal as str, and None for a port of type \"object\" whose\n"
     "entry was never written."},
    {"getInput", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getInputFast)),
     METH_FASTCALL | METH_KEYWORDS,
     "getInput($self, /, name)\n--\n\n"
     "The input port's value converted to the port's declared type (int, double, bool, string);\n"
     "ports of type object or any give the stored object. A value stored from Python as exactly\n"
     "that type comes back as the same object."},
    {"getInputInt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getInputIntFast)),
     METH_FASTCALL | METH_KEYWORDS, "getInputInt($self, /, name)\n--\n\nThe input port's value as an integer."},
    {"getInputDouble", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getInputDoubleFast)),
     METH_FASTCALL | METH_KEYWORDS, "getInputDouble($self, /, name)\n--\n\nThe input port's value as a float."},
    {"getInputBool", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getInputBoolFast)),
     METH_FASTCALL | METH_KEYWORDS, "getInputBool($self, /, name)\n--\n\nThe input port's value as a bool."},
    {"setOutput", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setOutputFast)),
     METH_FASTCALL | METH_KEYWORDS,
     "setOutput($self, /, name, value)\n--\n\n"
     "Stores the value in the blackboard entry the output port is bound to. The very object is\n"
     "kept: reading the entry back from Python gives the same object."},
    {nullptr, nullptr, 0, nullptr},
};

void waitForWake(TreeNodeHandle& self) {
    self.node("waitForWake").requestWaitForNotify();
    self.access().wake_requested = true;
}

void requestWakeAfter(TreeNodeHandle& self, double seconds) {
    TreeNode& node = self.node("requestWakeAfter");
    if (!(seconds >= 0)) seconds = 0;  // also catches NaN
    seconds = std::min(seconds, 1e7);  // keeps the time point representable
    node.requestWakeAt(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    self.access().wake_requested = true;
}

}  // namespace

void bindTreeNode(nb::module_& m) {
    nb::class_<Waker>(m, "Waker", "Wakes a tree that waits for asynchronous work (see TreeNode.waitForWake).")
        .def("wake", &Waker::wake, nb::call_guard<nb::gil_scoped_release>(),
             "Ends the tree's wait between ticks: the loop ticks again. Any thread.")
        .def("__call__", &Waker::wake, nb::call_guard<nb::gil_scoped_release>(), "Same as wake().");

    auto handle_class = nb::class_<TreeNodeHandle>(m, "TreeNode", nb::dynamic_attr(),
                               "The node being ticked, as handed to a Python action's tick functor.\n\n"
                               "Port access works only during that node's own tick (or halt hook) and on\n"
                               "the thread that ticks it; anywhere else it raises RuntimeError. Extra\n"
                               "attributes may be set on the object: it is the same object on every tick\n"
                               "of the same node.")
        .def("requestWakeAfter", &requestWakeAfter, nb::arg("seconds"),
             "For a tick that returns RUNNING: a loop that ticks until the tree finishes may sleep this\n"
             "long before the next tick instead of ticking again at once.")
        .def("waitForWake", &waitForWake,
             "For a tick that returns RUNNING while work goes on elsewhere: a loop that ticks until the\n"
             "tree finishes sleeps until a Waker of this node is woken (or a time given to\n"
             "requestWakeAfter passes) instead of ticking again at once.")
        .def(
            "waker", [](const TreeNodeHandle& self) { return Waker(self.access().wake); },
            "A Waker for this node's tree: its wake() may be called from any thread, at any time, also\n"
            "after the tree is gone (it then does nothing).")
        .def_prop_ro("uid", [](const TreeNodeHandle& self) { return self.access().uid; },
                     "The node's position in its tree, depth-first.")
        .def_prop_ro(
            "status", [](const TreeNodeHandle& self) { return nb::borrow(statusObject(self.node("status").status())); },
            nb::sig("def status(self) -> NodeStatus"), "The node's status before this tick (RUNNING when the tick continues earlier work).")
        .def("__repr__", [](const TreeNodeHandle& self) {
            return "<TreeNode '" + self.access().name + "' (" + self.access().type->id + ")>";
        });
    auto* type = reinterpret_cast<PyTypeObject*>(handle_class.ptr());
    for (PyMethodDef* def = g_port_methods; def->ml_name; ++def) {
        nb::object method = nb::steal(PyDescr_NewMethod(type, def));
        if (!method || PyObject_SetAttrString(handle_class.ptr(), def->ml_name, method.ptr()) < 0)
            throw nb::python_error();
    }
    for (PyGetSetDef* def = g_text_properties; def->name; ++def) {
        nb::object property = nb::steal(PyDescr_NewGetSet(type, def));
        if (!property || PyObject_SetAttrString(handle_class.ptr(), def->name, property.ptr()) < 0)
            throw nb::python_error();
    }
}

// ---- the node ----

PyActionNode::PyActionNode(NodeConfig config, PyActionTypePtr type)
    : TreeNode(std::move(config)),
      access_(std::make_shared<NodeAccess>()) {
    if (WakeSignal* signal = wakeSignal()) access_->wake = signal->weak_from_this();
    access_->name = name();
    access_->type = std::move(type);
    access_->uid = uid();
}

// The node may be destroyed anywhere; handle_ takes the GIL for its own release.
PyActionNode::~PyActionNode() = default;

PyObject* PyActionNode::callWithHandle(PyObject* fn) {
    if (!handle_) handle_ = PyRef(nb::cast(TreeNodeHandle(access_)));
    // Saved and restored rather than cleared: a halt hook can run while this node's tick is on
    // the stack (the tick resetting its own tree is refused, but be robust).
    TreeNode* previous_node = access_->node.load(std::memory_order_relaxed);
    std::thread::id previous_thread = access_->thread.load(std::memory_order_relaxed);
    access_->thread.store(std::this_thread::get_id(), std::memory_order_release);
    access_->node.store(this, std::memory_order_release);
    // A plain function straight through its vectorcall slot: the generic call looks up the
    // thread state first, a TLS lookup call in a shared libpython. Python functions always
    // return a result or set an error, so the generic call's check adds nothing for them.
    PyObject* args[2] = {nullptr, handle_.ptr()};
    vectorcallfunc call = PyFunction_Check(fn) ? PyVectorcall_Function(fn) : nullptr;
    PyObject* result = call ? call(fn, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                            : PyObject_CallOneArg(fn, handle_.ptr());
    access_->node.store(previous_node, std::memory_order_release);
    access_->thread.store(previous_thread, std::memory_order_release);
    return result;
}

namespace {

// Hands a Python exception raised by an action to the engine call that ticked it and leaves
// the engine through a C++ error that names the node.
[[noreturn]] void failTick(const TreeNode& node, const std::string& action, nb::python_error&& error) {
    std::string message = "Python action '" + action + "' (" + node.describe() + ") raised " + describePythonError(error);
    if (CallScope* scope = CallScope::current()) {
        scope->store(std::move(error));
        throw TickError(message);
    }
    throw std::move(error);
}

[[noreturn]] void failTickWith(const TreeNode& node, const std::string& action, PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    failTick(node, action, nb::python_error());
}

}  // namespace

NodeStatus PyActionNode::tick() {
    // Holding the GIL already (the usual case: the Python node before this one took it) rules
    // out an interpreter that is shutting down under us.
    if (!LazyGil::holding() && !mayEnterPython()) parkForever();  // no way to run the action, nor to return to Python
    return withPython([&] { return tickWithGil(); });
}

NodeStatus PyActionNode::tickWithGil() {
    access_->wake_requested = false;
    const PyActionType& type = *access_->type;
    if (!type.tick)
        failTickWith(*this, type.id, PyExc_RuntimeError,
                     "action '" + type.id + "' can no longer run: its engine is being destroyed");
    PyObject* result = nullptr;
    try {
        result = callWithHandle(type.tick.ptr());
    } catch (nb::python_error& e) {  // creating the handle failed
        failTick(*this, type.id, std::move(e));
    }
    if (!result) failTick(*this, type.id, nb::python_error());

    NodeStatus status;
    bool is_status = statusFromObject(result, status);
    if (!is_status) {
        std::string got = nb::type_name(nb::handle(result).type()).c_str();
        Py_DECREF(result);
        failTickWith(*this, type.id, PyExc_TypeError,
                     "action '" + type.id + "' returned " + got + " from its tick; expected a NodeStatus");
    }
    Py_DECREF(result);
    if (status == NodeStatus::IDLE)
        failTickWith(*this, type.id, PyExc_ValueError,
                     "action '" + type.id + "' returned NodeStatus.IDLE from its tick; a tick returns RUNNING, "
                     "SUCCESS, FAILURE or SKIPPED");
    if (kind() == NodeKind::Condition && !isCompleted(status))
        failTickWith(*this, type.id, PyExc_ValueError,
                     "condition '" + type.id + "' returned NodeStatus." + std::string(toString(status)) +
                         "; a condition returns SUCCESS or FAILURE");
    if (status == NodeStatus::RUNNING && !access_->wake_requested) requestImmediateTick();
    return status;
}

void PyActionNode::halt() {
    // At shutdown the hook's module may already be torn down; the program is ending anyway.
    const PyActionType& type = *access_->type;
    if (!type.halt || !mayEnterPython() || interpreterFinalizing()) return;
    withPython([&] {
        if (!type.halt) return;
        PyObject* result = nullptr;
        try {
            result = callWithHandle(type.halt.ptr());
        } catch (nb::python_error&) {  // creating the handle failed
            PyErr_Clear();
            return;
        }
        if (result) {
            Py_DECREF(result);
            return;
        }
        // A halt cannot fail the tree's unwinding; the engine call that halted reports it.
        nb::python_error error;
        if (CallScope* scope = CallScope::current()) {
            scope->store(std::move(error));
        } else {
            error.restore();
            PyErr_WriteUnraisable(handle_.ptr());
        }
    });
}

// ---- registration ----

namespace {

std::string requireText(nb::handle value, const std::string& what) {
    if (!PyUnicode_Check(value.ptr()))
        throw nb::type_error((what + " must be a str, not " + nb::type_name(value.type()).c_str()).c_str());
    return std::string(utf8Of(value, what.c_str()));
}

std::string portTypeTag(const std::string& type, const std::string& port, const std::string& action) {
    static const std::pair<const char*, const char*> known[] = {
        {"string", "string"}, {"str", "string"},  {"object", "object"}, {"int", "int"},
        {"integer", "int"},   {"double", "double"}, {"float", "double"}, {"bool", "bool"},
        {"boolean", "bool"},  {"any", "any"},
    };
    for (auto& [name, tag] : known)
        if (type == name) return tag;
    throw nb::value_error(("port '" + port + "' of action '" + action + "': unknown type '" + type +
                           "' (use string, object, int, double, bool or any)")
                              .c_str());
}

PortDirection portDirection(const std::string& direction, const std::string& port, const std::string& action) {
    if (direction == "input" || direction == "in") return PortDirection::Input;
    if (direction == "output" || direction == "out") return PortDirection::Output;
    if (direction == "inout" || direction == "bidirectional") return PortDirection::InOut;
    throw nb::value_error(("port '" + port + "' of action '" + action + "': unknown direction '" + direction +
                           "' (use input, output or inout)")
                              .c_str());
}

// A default value as the loader expects it: a literal text or "{key}".
std::string defaultText(nb::handle value) {
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? "true" : "false";
    return nb::cast<std::string>(nb::str(value));
}

PortList parsePorts(nb::handle ports, const std::string& action) {
    PortList result;
    if (ports.is_none()) return result;
    if (PyUnicode_Check(ports.ptr()) || PyDict_Check(ports.ptr()) || !PySequence_Check(ports.ptr()))
        throw nb::type_error(("ports of action '" + action + "' must be a list of port descriptions, not " +
                              nb::type_name(ports.type()).c_str())
                                 .c_str());
    std::set<std::string> seen;
    for (nb::handle item : ports) {
        if (!PyMapping_Check(item.ptr()) || PySequence_Check(item.ptr()))
            throw nb::type_error(("a port description of action '" + action + "' must be a dict, not " +
                                  nb::type_name(item.type()).c_str())
                                     .c_str());
        nb::object get = item.attr("get");
        nb::object name_obj = get("name");
        if (name_obj.is_none())
            throw nb::value_error(("a port description of action '" + action + "' has no \"name\"").c_str());
        PortInfo port;
        port.name = requireText(name_obj, "the name of a port of action '" + action + "'");
        if (port.name.empty() || port.name == "ID" || port.name == "name" || port.name[0] == '_')
            throw nb::value_error(("action '" + action + "': '" + port.name +
                                   "' cannot be a port name (empty, or reserved by the XML format)")
                                      .c_str());
        if (!seen.insert(port.name).second)
            throw nb::value_error(("action '" + action + "' declares port '" + port.name + "' twice").c_str());
        nb::object type = get("type");
        port.type = type.is_none() ? "any" : portTypeTag(requireText(type, "the type of port '" + port.name + "'"), port.name, action);
        nb::object direction = get("direction");
        port.direction = direction.is_none()
                             ? PortDirection::Input
                             : portDirection(requireText(direction, "the direction of port '" + port.name + "'"), port.name, action);
        nb::object description = get("description");
        if (!description.is_none()) port.description = requireText(description, "the description of port '" + port.name + "'");
        nb::object def = get("default");
        if (!def.is_none()) port.default_value = defaultText(def);
        result.push_back(std::move(port));
    }
    return result;
}

}  // namespace

PyActionTypePtr registerPythonAction(BehaviorTreeFactory& factory, nb::handle id, nb::handle tick, nb::handle ports,
                                     const char* forced_kind) {
    std::string action = requireText(id, "the action id");
    if (action.empty()) throw nb::value_error("the action id must not be empty");
    if (!PyCallable_Check(tick.ptr()))
        throw nb::type_error(("the tick functor of action '" + action + "' must be callable, not " +
                              nb::type_name(tick.type()).c_str())
                                 .c_str());
    PortList port_list = parsePorts(ports, action);

    NodeKind kind = NodeKind::Action;
    std::string kind_text = forced_kind ? forced_kind : "";
    if (kind_text.empty()) {
        nb::object declared = nb::getattr(tick, "__quorvel_kind__", nb::none());
        if (!declared.is_none()) kind_text = requireText(declared, "__quorvel_kind__");
    }
    if (kind_text == "condition") kind = NodeKind::Condition;
    else if (!kind_text.empty() && kind_text != "action")
        throw nb::value_error(("action '" + action + "': unknown node kind '" + kind_text + "'").c_str());

    auto type = std::make_shared<PyActionType>();
    type->id = action;
    type->tick = PyRef(tick);
    nb::object halt = nb::getattr(tick, "__quorvel_halt__", nb::none());
    if (!halt.is_none()) {
        if (!PyCallable_Check(halt.ptr()))
            throw nb::type_error(("the halt hook of action '" + action + "' must be callable").c_str());
        type->halt = PyRef(halt);
    }
    factory.registerBuilder({action, kind, std::move(port_list), {}, -1, -1}, [type](NodeConfig config) {
        return std::make_unique<PyActionNode>(std::move(config), type);
    });
    return type;
}

int PyActionRegistry::traverse(visitproc visit, void* arg) const {
    for (const auto& entry : types_) {
        Py_VISIT(entry.second->tick.ptr());
        Py_VISIT(entry.second->halt.ptr());
    }
    return 0;
}

void PyActionRegistry::clear() {
    for (auto& entry : types_) {
        entry.second->tick.reset();
        entry.second->halt.reset();
    }
    types_.clear();
}

PyActionTypePtr registerPythonNodeClass(BehaviorTreeFactory& factory, nb::handle cls, nb::handle id) {
    if (!PyType_Check(cls.ptr()))
        throw nb::type_error((std::string("a node class is expected, not ") + nb::type_name(cls.type()).c_str()).c_str());
    nb::object base = nb::module_::import_("quorvel.nodes.action_node").attr("SimpleActionNode");
    int derived = PyObject_IsSubclass(cls.ptr(), base.ptr());
    if (derived < 0) throw nb::python_error();
    std::string class_name = nb::cast<std::string>(cls.attr("__name__"));
    if (!derived) throw nb::type_error(("node class " + class_name + " must derive from SimpleActionNode").c_str());
    nb::object action_id = id.is_none() ? nb::object(cls.attr("__name__")) : nb::borrow(id);
    if (!nb::hasattr(cls, "tick"))
        throw nb::type_error(("node class " + class_name + " has no tick").c_str());
    nb::object ports = nb::getattr(cls, "ports", nb::none());
    return registerPythonAction(factory, action_id, cls.attr("tick"), ports);
}

nb::object adaptAsync(const char* adapter, nb::handle what, nb::handle ports) {
    nb::object adapt = nb::module_::import_("quorvel.nodes.async_action").attr(adapter);
    return ports.is_none() ? adapt(what) : adapt(what, ports);
}

PyActionTypePtr registerAdaptedNodeClass(BehaviorTreeFactory& factory, nb::handle cls, nb::handle id, nb::handle adapted) {
    if (adapted.is_none()) return registerNodeClass(factory, cls, id);
    nb::object type_id = id.is_none() ? nb::object(cls.attr("__name__")) : nb::borrow(id);
    return registerPythonAction(factory, type_id, adapted, nb::getattr(cls, "ports", nb::none()));
}

}  // namespace quorvel::py
