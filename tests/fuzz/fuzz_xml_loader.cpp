// Loads the input as a tree document and ticks what loads. Refusing it with the engine's
// own error is fine; anything else (a crash, a sanitizer report, a foreign exception, a
// hang) is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "quorvel/errors.hpp"
#include "quorvel/factory.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static quorvel::BehaviorTreeFactory* factory = [] {
        auto* f = new quorvel::BehaviorTreeFactory();
        using quorvel::InputPort;
        using quorvel::OutputPort;
        // A user action that reads and writes its ports, so that port checks,
        // conversions and blackboard bindings are reachable too.
        f->registerSimpleAction(
            "Act",
            [](quorvel::TreeNode& node) {
                node.setOutput("out", node.getInputInt("count"));
                return node.getInputText("in").empty() ? quorvel::NodeStatus::FAILURE : quorvel::NodeStatus::RUNNING;
            },
            {InputPort("in"), InputPort("count", "int"), OutputPort("out")});
        f->registerSimpleCondition(
            "Check", [](quorvel::TreeNode&) { return quorvel::NodeStatus::FAILURE; }, {InputPort("value")});
        return f;
    }();
    const std::string xml(reinterpret_cast<const char*>(data), size);
    factory->clearRegisteredBehaviorTrees();
    quorvel::Tree tree;
    try {
        tree = factory->createTreeFromText(xml);
    } catch (const quorvel::Error&) {
        return 0;
    }
    // A tree that loads must also tick, fail a tick cleanly, and halt. Waiting nodes
    // (Sleep, Delay, Timeout) never block a tick, so a few ticks stay fast.
    for (int round = 0; round < 3; ++round) {
        try {
            if (quorvel::isCompleted(tree.tickOnce())) break;
        } catch (const quorvel::Error&) {
        }
    }
    try {
        tree.haltTree();
    } catch (const quorvel::Error&) {
    }
    return 0;  // the tree's destructor halts it once more
}
