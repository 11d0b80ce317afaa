#pragma once

// Shared by the engine's tests: a factory with a scripted test action that records
// what happens to it, and helpers to write small documents.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "quorvel/factory.hpp"

namespace quorvel::testing {

// Returns the statuses listed in its `results` port ("RUNNING,SUCCESS"), one per
// tick, repeating the last; logs "name:tick" and "name:halt" events.
class ScriptedAction : public TreeNode {
public:
    ScriptedAction(NodeConfig config, std::shared_ptr<std::vector<std::string>> log)
        : TreeNode(std::move(config)), log_(std::move(log)) {
        std::stringstream in(getInputText("results"));
        std::string item;
        while (std::getline(in, item, ',')) results_.push_back(*parseStatus(item));
    }
    static PortList providedPorts() { return {InputPort("results", "string", "SUCCESS")}; }

protected:
    NodeStatus tick() override {
        log_->push_back(name() + ":tick");
        NodeStatus s = results_[std::min(next_, results_.size() - 1)];
        ++next_;
        return s;
    }
    void halt() override { log_->push_back(name() + ":halt"); }

private:
    std::shared_ptr<std::vector<std::string>> log_;
    std::vector<NodeStatus> results_;
    size_t next_ = 0;
};

inline std::string doc(const std::string& body) {
    return "<root BTCPP_format=\"4\"><BehaviorTree ID=\"Main\">" + body + "</BehaviorTree></root>";
}

class TreeTest : public ::testing::Test {
protected:
    TreeTest() {
        auto log = log_;
        factory.registerBuilder({"Act", NodeKind::Action, ScriptedAction::providedPorts(), {}, -1, -1},
                                [log](NodeConfig c) { return std::make_unique<ScriptedAction>(std::move(c), log); });
    }

    Tree load(const std::string& body) { return factory.createTreeFromText(doc(body)); }

    // The log since the last call, joined with blanks.
    std::string events() {
        std::string out;
        for (const auto& e : *log_) out += (out.empty() ? "" : " ") + e;
        log_->clear();
        return out;
    }

    std::vector<NodeStatus> tickN(Tree& tree, int n) {
        std::vector<NodeStatus> out;
        for (int i = 0; i < n; ++i) out.push_back(tree.tickOnce());
        return out;
    }

    BehaviorTreeFactory factory;
    std::shared_ptr<std::vector<std::string>> log_ = std::make_shared<std::vector<std::string>>();
};

// Runs `fn` and returns the LoadError's message ("" when nothing was thrown).
template <class Fn>
std::string loadError(Fn fn) {
    try {
        fn();
    } catch (const LoadError& e) {
        return e.what();
    }
    return "";
}

// Ticks the tree once and returns the TickError's message ("" when nothing was thrown).
inline std::string tickError(Tree& tree) {
    try {
        tree.tickOnce();
    } catch (const TickError& e) {
        return e.what();
    }
    return "";
}

}  // namespace quorvel::testing
