#include "py_control_node.hpp"

#include <nanobind/stl/string.h>

#include <thread>

#include "py_support.hpp"
#include "py_value.hpp"
#include "quorvel/delegated_node.hpp"
#include "quorvel/embedder_lock.hpp"
#include "quorvel/errors.hpp"

namespace quorvel::py {

namespace {

// The exception a child's handle last raised into Python code. When it leaves the parent's
// own tick unhandled it is the child's error, and must not be dressed up as the parent's.
// Compared by identity only, never dereferenced.
thread_local PyObject* relayed_error = nullptr;

// The engine may let the GIL go while it ticks a stretch of built-in children; Python code
// is about to run again, so take it back.
struct RegainGil {
    ~RegainGil() {
        if (LazyGil::inside()) LazyGil::ensureHeld();
    }
};

void addNote(nb::python_error& error, const std::string& note) {
    nb::handle value = error.value();
    if (!value || value.ptr() == relayed_error) return;
    PyObject* result = PyObject_CallMethod(value.ptr(), "add_note", "s", note.c_str());
    if (result) Py_DECREF(result);
    else PyErr_Clear();  // an exception object without notes still carries its message
}

// An engine error from a child, raised in Python as the class the caller would see.
[[noreturn]] void relayEngineError(const std::exception_ptr& p) {
    const char* cls = "BehaviorTreeError";
    std::string what;
    try {
        std::rethrow_exception(p);
    } catch (const ScriptSyntaxError& e) {
        cls = "LoadError", what = e.what();
    } catch (const ScriptError& e) {
        cls = "TickError", what = e.what();
    } catch (const LoadError& e) {
        cls = "LoadError", what = e.what();
    } catch (const PortError& e) {
        cls = "PortError", what = e.what();
    } catch (const TickError& e) {
        cls = "TickError", what = e.what();
    } catch (const Error& e) {
        what = e.what();
    }
    // Anything else (out of memory, a forced unwind) went on above.
    nb::object type = nb::module_::import_("quorvel._native").attr(cls);
    PyErr_SetString(type.ptr(), what.c_str());
    nb::python_error error;
    relayed_error = error.value().ptr();
    throw error;
}

// What a child's handle did raised: pass it to the parent's Python code, as the original
// Python exception when there is one.
[[noreturn]] void relayChildError() {
    try {
        throw;
    } catch (nb::python_error& e) {
        relayed_error = e.value().ptr();
        throw;
    } catch (const Error&) {
        CallScope* scope = CallScope::current();
        if (scope && scope->hasError()) {
            try {
                scope->raisePending();
            } catch (nb::python_error& e) {
                relayed_error = e.value().ptr();
                throw;
            }
        }
        relayEngineError(std::current_exception());
    }
}

}  // namespace

// ---- handles ----

// A child of a Python control node, as its Python code sees it.
class ChildHandle {
public:
    ChildHandle(std::shared_ptr<NodeAccess> parent, DelegatedNode* owner, size_t index)
        : parent_(std::move(parent)), owner_(owner), index_(index) {
        TreeNode& child = owner->child(index);
        name_ = child.name();
        type_id_ = child.typeId();
    }

    nb::object tick() {
        DelegatedNode& owner = live("tick");
        NodeStatus s;
        try {
            RegainGil regain;
            s = owner.tickChild(index_);
        } catch (...) {
            relayChildError();
        }
        return nb::borrow(statusObject(s));
    }

    void halt() {
        DelegatedNode& owner = live("halt");
        try {
            RegainGil regain;
            owner.haltChild(index_);
        } catch (...) {
            relayChildError();
        }
    }

    nb::object status() { return nb::borrow(statusObject(live("status").child(index_).status())); }
    const std::string& name() const { return name_; }
    const std::string& typeId() const { return type_id_; }
    size_t index() const { return index_; }

    std::string repr() const {
        return "<child " + std::to_string(index_) + " '" + name_ + "' (" + type_id_ + ") of '" + parent_->name + "'>";
    }

private:
    // The parent, while its own tick or halt runs on this thread: then the child is alive
    // and nobody else touches it.
    DelegatedNode& live(const char* operation) const {
        TreeNode* n = parent_->node.load(std::memory_order_acquire);
        if (n && parent_->thread.load(std::memory_order_acquire) == std::this_thread::get_id()) return *owner_;
        raiseRuntimeError("child '" + name_ + "' of '" + parent_->name + "': " + operation +
                          "() works only during its parent's tick or halt, on the thread that ticks it");
    }

    std::shared_ptr<NodeAccess> parent_;
    DelegatedNode* owner_;
    size_t index_;
    std::string name_;
    std::string type_id_;
};

// The TreeNode a Python control or decorator receives: ports and waking as for actions,
// plus its children.
class ControlNodeHandle : public TreeNodeHandle {
public:
    ControlNodeHandle(std::shared_ptr<NodeAccess> access, bool decorator)
        : TreeNodeHandle(std::move(access)), decorator_(decorator) {}

    nb::object children() const { return nb::borrow(children_.handle()); }
    nb::object child() const {
        if (!decorator_)
            raiseRuntimeError("'" + access().name + "' is a control node; its children are node.children");
        return nb::borrow(PyTuple_GET_ITEM(children_.ptr(), 0));
    }
    void setChildren(nb::handle tuple) { children_ = PyRef(tuple); }

private:
    bool decorator_;
    PyRef children_;  // a tuple of ChildHandle
};

// ---- the behaviour ----

namespace {

PyObject* internedName(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name) throw nb::python_error();
    return name;  // kept for the life of the process
}

class PyBehaviour final : public NodeBehaviour {
public:
    PyBehaviour(DelegatedNode& node, PyActionTypePtr type, bool decorator, nb::object instance)
        : decorator_(decorator),
          instance_(instance),
          access_(std::make_shared<NodeAccess>()) {
        if (WakeSignal* signal = node.wakeSignal()) access_->wake = signal->weak_from_this();
        access_->name = node.name();
        access_->type = std::move(type);  // keeps the class alive as long as the node
        access_->uid = node.uid();
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(instance_.ptr());
        Py_VISIT(handle_.ptr());
        return 0;
    }

    NodeStatus tick(DelegatedNode& node) override {
        if (!mayEnterPython()) parkForever();  // no way to run the node, nor to return to Python
        return withPython([&] { return tickWithGil(node); });
    }

    void halt(DelegatedNode& node) override {
        // At shutdown the class's module may already be torn down; the program is ending anyway.
        if (!mayEnterPython() || interpreterFinalizing()) return;
        withPython([&] {
            static PyObject* const name = internedName("halt");
            PyObject* result = call(node, name);
            if (result) {
                Py_DECREF(result);
                return;
            }
            nb::python_error error;
            addNote(error, "raised in the halt of " + node.describe());
            // A halt cannot fail the tree's unwinding; the engine call that halted reports it.
            if (CallScope* scope = CallScope::current()) {
                scope->store(std::move(error));
            } else {
                error.restore();
                PyErr_WriteUnraisable(instance_.ptr());
            }
        });
    }

private:
    NodeStatus tickWithGil(DelegatedNode& node) {
        static PyObject* const name = internedName("tick");
        access_->wake_requested = false;
        PyObject* result = call(node, name);
        if (!result) fail(node, nb::python_error());
        NodeStatus status;
        bool is_status = statusFromObject(result, status);
        std::string got = is_status ? "" : nb::type_name(nb::handle(result).type()).c_str();
        Py_DECREF(result);
        if (!is_status) failWith(node, PyExc_TypeError, " returned " + got + " from its tick; expected a NodeStatus");
        if (status == NodeStatus::IDLE)
            failWith(node, PyExc_ValueError,
                     " returned NodeStatus.IDLE from its tick; a tick returns RUNNING, SUCCESS, FAILURE or SKIPPED");
        // RUNNING with a child running: the child said when to look again. Without one, as
        // for actions: again at once, unless the node asked for a time or a wake.
        if (status == NodeStatus::RUNNING && !access_->wake_requested && !node.anyChildRunning())
            node.requestImmediateTick();
        return status;
    }

    // Calls instance.<method>(handle) with the handle live.
    PyObject* call(DelegatedNode& node, PyObject* method) {
        if (!handle_) {
            try {
                makeHandle(node);
            } catch (nb::python_error& e) {
                e.restore();
                return nullptr;
            }
        }
        TreeNode* previous_node = access_->node.load(std::memory_order_relaxed);
        std::thread::id previous_thread = access_->thread.load(std::memory_order_relaxed);
        access_->thread.store(std::this_thread::get_id(), std::memory_order_release);
        access_->node.store(&node, std::memory_order_release);
        relayed_error = nullptr;
        PyObject* result = PyObject_CallMethodOneArg(instance_.ptr(), method, handle_.ptr());
        access_->node.store(previous_node, std::memory_order_release);
        access_->thread.store(previous_thread, std::memory_order_release);
        return result;
    }

    void makeHandle(DelegatedNode& node) {
        nb::object handle = nb::cast(ControlNodeHandle(access_, decorator_), nb::rv_policy::move);
        nb::tuple children = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(node.childCount())));
        for (size_t i = 0; i < node.childCount(); ++i) {
            nb::object child = nb::cast(ChildHandle(access_, &node, i), nb::rv_policy::move);
            PyTuple_SET_ITEM(children.ptr(), static_cast<Py_ssize_t>(i), child.release().ptr());
        }
        nb::inst_ptr<ControlNodeHandle>(handle)->setChildren(children);
        handle_ = PyRef(handle);
    }

    // The node's own error keeps its type and message and gains a note naming the node; a
    // child's error passes through as the child left it.
    [[noreturn]] void fail(DelegatedNode& node, nb::python_error&& error) {
        addNote(error, "raised in the tick of " + node.describe());
        std::string message = "Python node " + node.describe() + " raised " + describePythonError(error);
        if (CallScope* scope = CallScope::current()) {
            scope->store(std::move(error));
            throw TickError(message);
        }
        throw std::move(error);
    }

    [[noreturn]] void failWith(DelegatedNode& node, PyObject* type, const std::string& what) {
        const char* kind = node.kind() == NodeKind::Decorator ? "decorator '" : "control node '";
        PyErr_SetString(type, (kind + node.typeId() + "'" + what).c_str());
        fail(node, nb::python_error());
    }

    bool decorator_;
    PyRef instance_;
    std::shared_ptr<NodeAccess> access_;  // also holds the node's PyActionType
    PyRef handle_;  // made at the first call, once the children are in place
};

// Builds the node's instance: no arguments, on the loading thread, with the GIL.
std::unique_ptr<NodeBehaviour> makeBehaviour(DelegatedNode& node, const PyActionTypePtr& type, bool decorator) {
    return withPython([&]() -> std::unique_ptr<NodeBehaviour> {
        if (!type->tick)
            throw LoadError(node.describe() + ": its Python class was released (the factory or engine is being destroyed)");
        PyObject* instance = PyObject_CallNoArgs(type->tick.ptr());
        if (!instance) {
            nb::python_error error;
            addNote(error, "raised while building " + node.describe());
            std::string message = node.describe() + ": building its Python instance raised " + describePythonError(error);
            if (CallScope* scope = CallScope::current()) {
                scope->store(std::move(error));
                throw LoadError(message);
            }
            throw std::move(error);
        }
        auto behaviour = std::make_unique<PyBehaviour>(node, type, decorator, nb::steal(instance));
        // The rest of the load is engine work: other threads may have the GIL meanwhile.
        LazyGil::letGo();
        return behaviour;
    });
}

bool isSubclass(nb::handle cls, const char* base) {
    nb::object base_cls = nb::module_::import_("quorvel.nodes.control_node").attr(base);
    int r = PyObject_IsSubclass(cls.ptr(), base_cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

}  // namespace

namespace {

PyBehaviour* pythonBehaviour(const TreeNode& node) {
    auto* delegated = dynamic_cast<const DelegatedNode*>(&node);
    return delegated ? dynamic_cast<PyBehaviour*>(delegated->behaviour()) : nullptr;
}

}  // namespace

int traverseControlNode(const TreeNode& node, visitproc visit, void* arg) {
    PyBehaviour* behaviour = pythonBehaviour(node);
    return behaviour ? behaviour->traverse(visit, arg) : 0;
}

PyActionTypePtr registerNodeClass(BehaviorTreeFactory& factory, nb::handle cls, nb::handle id) {
    if (!PyType_Check(cls.ptr())) return registerPythonNodeClass(factory, cls, id);  // its error
    const bool decorator = isSubclass(cls, "DecoratorNode");
    if (!decorator && !isSubclass(cls, "ControlNode")) return registerPythonNodeClass(factory, cls, id);

    nb::object type_id = id.is_none() ? nb::object(cls.attr("__name__")) : nb::borrow(id);
    // The port list is read exactly as an action's: registered once in a factory of its
    // own, whose manifest then holds the parsed ports.
    BehaviorTreeFactory scratch;
    PyActionTypePtr parsed = registerPythonAction(scratch, type_id, cls, nb::getattr(cls, "ports", nb::none()));
    NodeManifest manifest = *scratch.manifest(parsed->id);
    manifest.kind = decorator ? NodeKind::Decorator : NodeKind::Control;

    auto type = std::make_shared<PyActionType>();
    type->id = parsed->id;
    type->tick = PyRef(cls);
    factory.registerBuilder(std::move(manifest), delegatedNodeBuilder([type, decorator](DelegatedNode& node) {
                                return makeBehaviour(node, type, decorator);
                            }));
    return type;
}

void bindControlNodes(nb::module_& m) {
    nb::class_<ChildHandle>(m, "ChildNode",
                            "A child of a Python control or decorator node, as its tick and halt see it.\n\n"
                            "tick(), halt() and status work only during the parent's own tick or halt, on the\n"
                            "thread that ticks it.")
        .def("tick", &ChildHandle::tick, nb::sig("def tick(self) -> NodeStatus"),
             "Ticks the child now, within the parent's tick; returns its status. An exception the child\n"
             "raises comes out of this call as it was raised.")
        .def("halt", &ChildHandle::halt,
             "Halts the child if it is RUNNING (its halt hooks run) and leaves it IDLE; a finished child\n"
             "is returned to IDLE.")
        .def_prop_ro("status", &ChildHandle::status, nb::sig("def status(self) -> NodeStatus"),
                     "The child's current status.")
        .def_prop_ro("name", &ChildHandle::name, "The child's instance name.")
        .def_prop_ro("type", &ChildHandle::typeId, "The child's node type id.")
        .def_prop_ro("index", &ChildHandle::index, "The child's position among its parent's children.")
        .def("__repr__", &ChildHandle::repr);

    nb::class_<ControlNodeHandle, TreeNodeHandle>(
        m, "ControlTreeNode",
        "The TreeNode handed to the tick and halt of a Python control or decorator node: ports,\n"
        "requestWakeAfter, waitForWake and waker as for actions, and the node's children.")
        .def_prop_ro("children", &ControlNodeHandle::children, nb::sig("def children(self) -> tuple[ChildNode, ...]"),
                     "The children, in document order.")
        .def_prop_ro("child", &ControlNodeHandle::child, nb::sig("def child(self) -> ChildNode"),
                     "The one child of a decorator (RuntimeError on a control node).");
}

}  // namespace quorvel::py
