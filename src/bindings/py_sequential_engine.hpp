#pragma once

// `SequentialEngine`: one behavior tree, ticked on the thread that calls it. Other binding
// code (the thread engine) may reach an instance natively, after checking that the Python
// object is exactly of this type: nb::inst_ptr<quorvel::py::SequentialEngine>(obj).
//
// Every method except interrupt() expects the GIL held on entry; engine work runs with it
// released, and Python actions take it back for their own tick only.

#include <nanobind/nanobind.h>

#include "py_node.hpp"
#include "py_tree.hpp"
#include "quorvel/factory.hpp"

namespace quorvel::py {

namespace nb = nanobind;

class SequentialEngine {
public:
    SequentialEngine() = default;

    void registerActionBehavior(nb::handle action_id, nb::handle tick_functor, nb::handle ports_list);
    // Any node class, as BehaviorTreeFactory.register_node_type.
    void registerNodeType(nb::handle node_class, nb::handle node_id);
    void createTreeFromText(nb::handle xml_text, nb::handle name = nb::none());
    void createTreeFromFile(nb::handle path);

    nb::object tickOnce() { return host_.tickOnce(); }
    nb::object tickUntilFailure() { return nb::int_(host_.tickUntil(NodeStatus::FAILURE)); }
    nb::object tickUntilSuccess() { return nb::int_(host_.tickUntil(NodeStatus::SUCCESS)); }
    nb::list tickNTimes(nb::handle n);
    nb::dict getTreeStatus() { return host_.treeStatus(); }
    nb::object getBlackboardData(nb::handle key) { return host_.get(key); }
    void setBlackboardData(nb::handle key, nb::handle value) { host_.set(key, value); }
    nb::dict getAllBlackboardData() { return host_.all(); }
    void resetTree() { host_.halt(); }

    TreeHost& host() { return host_; }

    // Any thread, GIL not needed; sticky. See TreeHost::interrupt.
    void interrupt() noexcept { host_.interrupt(); }
    // See TreeHost::waitBetweenTicks.
    void waitBetweenTicks() { host_.waitBetweenTicks(); }
    bool waitBeforeRetry(double seconds) { return host_.waitBeforeRetry(seconds); }
    void wake() noexcept { host_.wake(); }

    // Garbage-collector support (GIL held).
    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    // Declared before the tree, so that the tree goes first: halting it on the way out may
    // still call the halt hooks of the registered actions. (The tree itself depends on
    // nothing of the factory; it owns its port declarations.)
    BehaviorTreeFactory factory_;
    PyActionRegistry actions_;
    TreeHost host_{"SequentialEngine", this};  // listed for quorvel.observe.live_trees()
};

}  // namespace quorvel::py
