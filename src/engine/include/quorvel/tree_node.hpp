#pragma once

#include <array>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quorvel/blackboard.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/ports.hpp"
#include "quorvel/status.hpp"
#include "quorvel/value.hpp"
#include "quorvel/wake_signal.hpp"

namespace quorvel {

enum class NodeKind { Action, Condition, Control, Decorator, SubTree };

std::string_view toString(NodeKind kind);

class Script;  // compiled script (script.hpp)

// The `_`-attributes a node element may carry, compiled when the tree loads.
enum class ConditionSlot {
    FailureIf, SuccessIf, SkipIf, While,  // checked before/while the node runs
    OnSuccess, OnFailure, Post, OnHalted, // run after it
    Count
};

struct NodeConfig {
    std::string type_id;
    std::string name;
    NodeKind kind = NodeKind::Action;
    Blackboard::Ptr blackboard;
    // Every port this instance can read or write: from the element's attributes, or
    // from the declared default. A declared port without either is absent here.
    std::unordered_map<std::string, PortBinding> ports;
    const PortList* manifest_ports = nullptr;  // the type's declaration
    std::array<std::shared_ptr<const Script>, static_cast<size_t>(ConditionSlot::Count)> conditions{};
    std::array<std::string, static_cast<size_t>(ConditionSlot::Count)> condition_sources{};
    int line = 0;                        // of the element, for messages
    WakeSignal* wake = nullptr;          // the owning tree's
    uint32_t uid = 0;                    // position in the tree's node list
};

// Base of every node. Subclasses implement tick() (and halt() when they hold state
// beyond their status); parents call executeTick() and haltNode().
class TreeNode {
public:
    explicit TreeNode(NodeConfig config);
    virtual ~TreeNode();
    TreeNode(const TreeNode&) = delete;
    TreeNode& operator=(const TreeNode&) = delete;

    // Runs the pre-conditions, tick(), and the post-conditions; sets and returns the status.
    NodeStatus executeTick();
    // Halts the node if it is RUNNING (recursively through halt()), runs `_onHalted`,
    // and leaves it IDLE. Also returns a finished node to IDLE.
    void haltNode();

    NodeStatus status() const { return status_; }
    const std::string& name() const { return config_.name; }
    const std::string& typeId() const { return config_.type_id; }
    NodeKind kind() const { return config_.kind; }
    uint32_t uid() const { return config_.uid; }
    int line() const { return config_.line; }
    const NodeConfig& config() const { return config_; }
    const Blackboard::Ptr& blackboard() const { return config_.blackboard; }

    // Children, for visitors; leaves have none.
    virtual std::vector<TreeNode*> children() const { return {}; }

    // ---- ports ----
    // The port's value: the literal (as text), or the bound entry's value. Throws
    // PortError naming node and port when the port is neither given nor defaulted, or
    // its entry was never written (ports of type "object" read as empty instead).
    Value getInput(std::string_view port) const;
    std::string getInputText(std::string_view port) const;
    int64_t getInputInt(std::string_view port) const;
    double getInputReal(std::string_view port) const;
    bool getInputBool(std::string_view port) const;
    // Writes the entry the port is bound to; PortError when the port is not bound to
    // an entry (or is not an output port).
    void setOutput(std::string_view port, Value value);
    // The key the port is bound to, or nullptr for a literal / missing port.
    const PortBinding* portBinding(std::string_view port) const;

    // ---- waiting ----
    void requestWakeAt(Clock::time_point deadline) const;
    void requestImmediateTick() const;

    // "Name (Type, line N)" for error messages.
    std::string describe() const;

protected:
    virtual NodeStatus tick() = 0;
    // Called by haltNode() while the node is RUNNING: stop children, forget progress.
    virtual void halt() {}

    void setStatus(NodeStatus s) { status_ = s; }

private:
    NodeConfig config_;
    NodeStatus status_ = NodeStatus::IDLE;
};

// A node with children. Children are owned by the tree, not by the parent.
class ControlNode : public TreeNode {
public:
    using TreeNode::TreeNode;
    void addChild(TreeNode* child) { children_.push_back(child); }
    std::vector<TreeNode*> children() const override { return children_; }
    size_t childrenCount() const { return children_.size(); }
    TreeNode* child(size_t i) const { return children_[i]; }

protected:
    void haltChild(size_t i) { children_[i]->haltNode(); }
    void haltChildren(size_t from = 0) {
        for (size_t i = from; i < children_.size(); ++i) children_[i]->haltNode();
    }
    void halt() override { haltChildren(); }

    std::vector<TreeNode*> children_;
};

class DecoratorNode : public TreeNode {
public:
    using TreeNode::TreeNode;
    void setChild(TreeNode* child) { child_ = child; }
    std::vector<TreeNode*> children() const override {
        return child_ ? std::vector<TreeNode*>{child_} : std::vector<TreeNode*>{};
    }
    TreeNode* child() const { return child_; }

protected:
    void halt() override {
        if (child_) child_->haltNode();
    }
    TreeNode* child_ = nullptr;
};

// A leaf whose tick is a callable (C++ or, through the bindings, Python).
class SimpleActionNode : public TreeNode {
public:
    using TickFunctor = std::function<NodeStatus(TreeNode&)>;
    SimpleActionNode(NodeConfig config, TickFunctor functor)
        : TreeNode(std::move(config)), functor_(std::move(functor)) {}

protected:
    NodeStatus tick() override;

private:
    TickFunctor functor_;
};

}  // namespace quorvel
