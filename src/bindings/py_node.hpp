#pragma once

// Python-written actions inside C++ trees: the node that calls a Python tick functor, the
// `TreeNode` handle the functor receives, and registration of such actions in a factory.

#include <nanobind/nanobind.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "py_value.hpp"
#include "quorvel/factory.hpp"
#include "quorvel/tree_node.hpp"

namespace quorvel::py {

namespace nb = nanobind;

// The Python `Waker` object: wakes a tree that waits for a Python action's asynchronous work,
// from any thread. It holds the tree's signal weakly, so one kept after the tree is gone does
// nothing.
class Waker {
public:
    explicit Waker(std::weak_ptr<WakeSignal> signal) : signal_(std::move(signal)) {}
    void wake() {
        if (auto signal = signal_.lock()) signal->notify();
    }

private:
    std::weak_ptr<WakeSignal> signal_;
};

// What one Python action type needs at run time, shared by its nodes. The registering
// object (engine or factory) keeps it too, to show the functors to Python's garbage
// collector and to drop them when that object is collected.
struct PyActionType {
    std::string id;
    PyRef tick;  // callable(node) -> NodeStatus
    PyRef halt;  // optional callable(node), the functor's `__quorvel_halt__`
    PyRef id_object;  // `id` as the str TreeNode.type returns, made on first use
};
using PyActionTypePtr = std::shared_ptr<PyActionType>;

// What a handle knows about its node. The handle may outlive the node (a user keeps it),
// and may be touched from any thread, so it reaches the node only while that node's own
// tick (or halt) runs on the calling thread: then the node is alive and nobody else uses it.
struct NodeAccess {
    std::atomic<TreeNode*> node{nullptr};  // set only while a callback runs
    std::atomic<std::thread::id> thread{};
    std::string name;
    PyActionTypePtr type;  // its id is the node's type id
    uint32_t uid = 0;
    PyRef name_object;  // the str `name` returns, made on first use
    bool wake_requested = false;  // the tick said when to tick it again
    std::weak_ptr<WakeSignal> wake;  // the tree's
    // Port names this node's callbacks used, by the identity of the str object (a literal in
    // the action's code is the same object every time), with the port's index in the node.
    // Used only during the node's callbacks, so only by the thread that ticks it.
    struct CachedPort {
        PyRef name;
        int index;
        char type;  // the declared type's first letter: s(tring), i(nt), d(ouble), b(ool), o(bject), a(ny)
    };
    std::vector<CachedPort> ports;
};

// The Python `TreeNode` object.
class TreeNodeHandle {
public:
    explicit TreeNodeHandle(std::shared_ptr<NodeAccess> access) : access_(std::move(access)) {}
    // The node, if this thread is inside its callback; RuntimeError otherwise.
    TreeNode& node(const char* operation) const {
        TreeNode* n = access_->node.load(std::memory_order_acquire);
        if (n && access_->thread.load(std::memory_order_acquire) == std::this_thread::get_id()) return *n;
        notInCallback(operation);
    }
    const NodeAccess& access() const { return *access_; }
    NodeAccess& access() { return *access_; }

private:
    [[noreturn, gnu::cold]] void notInCallback(const char* operation) const;

    std::shared_ptr<NodeAccess> access_;
};

class PyActionNode final : public TreeNode {
public:
    PyActionNode(NodeConfig config, PyActionTypePtr type);
    ~PyActionNode() override;

    // The TreeNode object handed to the functor, once created (for the garbage collector).
    PyObject* handleObject() const { return handle_.ptr(); }

protected:
    NodeStatus tick() override;
    void halt() override;

private:
    NodeStatus tickWithGil();
    // Runs `fn(handle)` with the handle live; GIL held.
    PyObject* callWithHandle(PyObject* fn);

    std::shared_ptr<NodeAccess> access_;  // also holds the node's PyActionType
    PyRef handle_;  // created at the first callback
};

void bindTreeNode(nb::module_& m);

// Registers a Python action in `factory`. `ports` is a sequence of port descriptions
// ({"name", "type", "direction", "description", optional "default"}) or None. The kind is
// Condition when the functor says so (`__quorvel_kind__ == "condition"`), else Action.
// GIL held; raises TypeError/ValueError for malformed arguments.
// Returns the registered type.
PyActionTypePtr registerPythonAction(BehaviorTreeFactory& factory, nb::handle id, nb::handle tick, nb::handle ports,
                                     const char* forced_kind = nullptr);

// An `async def` tick, or a StatefulActionNode with async onStart/onRunning, becomes a tick
// functor that runs the coroutine on an event loop and stays RUNNING meanwhile; the adapter
// (`adapt_tick` for a functor, `adapt_class` for a node class) is Python, in
// quorvel.nodes.async_action. Anything else comes back unchanged (adapt_class: None). Call it
// before taking an owner's busy flag: it runs Python.
nb::object adaptAsync(const char* adapter, nb::handle what, nb::handle ports = nb::none());
// Registers a node class of any kind, given what adaptAsync("adapt_class", cls) made of it.
PyActionTypePtr registerAdaptedNodeClass(BehaviorTreeFactory& factory, nb::handle cls, nb::handle id, nb::handle adapted);

// Reads `cls.tick` and `cls.ports` of a node class and registers it (id defaults to the
// class name).
PyActionTypePtr registerPythonNodeClass(BehaviorTreeFactory& factory, nb::handle cls, nb::handle id);

// The Python action types a factory-owning object registered, by id (a new registration
// replaces the old one, as in the factory).
class PyActionRegistry {
public:
    void add(PyActionTypePtr type) { types_[type->id] = std::move(type); }
    void remove(const std::string& id) { types_.erase(id); }
    // Garbage-collector support (GIL held).
    int traverse(visitproc visit, void* arg) const;
    void clear();  // drops every functor; nodes of these types then fail their ticks

private:
    std::map<std::string, PyActionTypePtr> types_;
};

}  // namespace quorvel::py
