// Leaves: built-in nodes without children.

#include <algorithm>

#include "builtin.hpp"
#include "script_port.hpp"

namespace quorvel::nodes {

namespace {

class ConstantNode final : public TreeNode {
public:
    ConstantNode(NodeConfig config, NodeStatus result) : TreeNode(std::move(config)), result_(result) {}

protected:
    NodeStatus tick() override { return result_; }

private:
    NodeStatus result_;
};

// Runs `code` for its effect on the blackboard.
class ScriptNode final : public TreeNode {
public:
    explicit ScriptNode(NodeConfig config) : TreeNode(std::move(config)), code_(*this, "code") {}
    static PortList providedPorts() { return {InputPort("code", "string", std::nullopt, "the script to run")}; }

protected:
    NodeStatus tick() override {
        code_.run(*this);
        return NodeStatus::SUCCESS;
    }

private:
    ScriptPort code_;
};

class ScriptConditionNode final : public TreeNode {
public:
    explicit ScriptConditionNode(NodeConfig config) : TreeNode(std::move(config)), code_(*this, "code") {}
    static PortList providedPorts() {
        return {InputPort("code", "string", std::nullopt, "the condition: SUCCESS when true")};
    }

protected:
    NodeStatus tick() override { return code_.condition(*this) ? NodeStatus::SUCCESS : NodeStatus::FAILURE; }

private:
    ScriptPort code_;
};

// The entry a key port names: written `name` or `{name}`, both meaning the entry
// `name` of this node's blackboard (remaps apply).
std::string keyOf(const TreeNode& node, std::string_view port) {
    const PortBinding* b = node.portBinding(port);
    if (!b) throw PortError("node " + node.describe() + ": port '" + std::string(port) + "' is required");
    if (b->text.empty()) throw PortError("node " + node.describe() + ": port '" + std::string(port) + "' is empty");
    return b->text;
}

// Copies `value` into the entry `output_key`. A literal is written as text; a value
// bound to an entry is copied as it is, objects included.
class SetBlackboardNode final : public TreeNode {
public:
    explicit SetBlackboardNode(NodeConfig config) : TreeNode(std::move(config)), key_(keyOf(*this, "output_key")) {}
    static PortList providedPorts() {
        return {InputPort("value", "any", std::nullopt, "the value to write"),
                InputPort("output_key", "string", std::nullopt, "the entry to write: name or {name}")};
    }

protected:
    NodeStatus tick() override {
        const Value& v = inputRef("value");
        if (!slot_) slot_ = &blackboard()->slot(key_);
        // The value may be this very slot (value="{x}" output_key="x"): nothing to do.
        if (&v != &slot_->value) slot_->value = v;
        slot_->present = true;
        return NodeStatus::SUCCESS;
    }

private:
    std::string key_;
    Blackboard::Slot* slot_ = nullptr;
};

class UnsetBlackboardNode final : public TreeNode {
public:
    explicit UnsetBlackboardNode(NodeConfig config) : TreeNode(std::move(config)), key_(keyOf(*this, "key")) {}
    static PortList providedPorts() {
        return {InputPort("key", "string", std::nullopt, "the entry to remove: name or {name}")};
    }

protected:
    NodeStatus tick() override {
        blackboard()->erase(key_);
        return NodeStatus::SUCCESS;
    }

private:
    std::string key_;
};

// Waits without blocking: RUNNING with a wake-up request at the deadline.
class SleepNode final : public TreeNode {
public:
    using TreeNode::TreeNode;
    static PortList providedPorts() {
        return {InputPort("msec", "int", std::nullopt, "milliseconds to stay RUNNING")};
    }

protected:
    NodeStatus tick() override {
        const Clock::time_point now = Clock::now();
        if (status() != NodeStatus::RUNNING) deadline_ = now + readMilliseconds(*this, "msec");
        if (now >= deadline_) return NodeStatus::SUCCESS;
        requestWakeAt(deadline_);
        return NodeStatus::RUNNING;
    }

private:
    Clock::time_point deadline_{};
};

}  // namespace

Clock::duration readMilliseconds(const TreeNode& node, std::string_view port) {
    // About 30 years: far beyond any real wait, far below the clock's range.
    constexpr int64_t kMax = int64_t{1} << 40;
    int64_t ms = std::clamp<int64_t>(node.getInputInt(port), 0, kMax);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(ms));
}

void addLeaves(NodeTypeList& types) {
    add<ConstantNode>(types, manifest("AlwaysSuccess", NodeKind::Action, "Returns SUCCESS."), NodeStatus::SUCCESS);
    add<ConstantNode>(types, manifest("AlwaysFailure", NodeKind::Action, "Returns FAILURE."), NodeStatus::FAILURE);
    add<ScriptNode>(types, manifest("Script", NodeKind::Action,
        "Runs the script in `code` and returns SUCCESS; a script error fails the tick with the "
        "script's message.", ScriptNode::providedPorts()));
    add<ScriptConditionNode>(types, manifest("ScriptCondition", NodeKind::Condition,
        "SUCCESS when the expression in `code` is true, else FAILURE.", ScriptConditionNode::providedPorts()));
    add<SetBlackboardNode>(types, manifest("SetBlackboard", NodeKind::Action,
        "Writes the text `value` into the entry named by output_key (written as name or {name}); "
        "SUCCESS.", SetBlackboardNode::providedPorts()));
    add<UnsetBlackboardNode>(types, manifest("UnsetBlackboard", NodeKind::Action,
        "Removes the entry `key` (a missing entry is no error); SUCCESS.", UnsetBlackboardNode::providedPorts()));
    add<SleepNode>(types, manifest("Sleep", NodeKind::Action,
        "RUNNING until msec milliseconds have passed since its first tick, then SUCCESS. It never"
        " blocks the thread: the tree sleeps meanwhile.", SleepNode::providedPorts()));
}

}  // namespace quorvel::nodes
