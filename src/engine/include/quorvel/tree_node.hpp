#pragma once

#include <array>
#include <exception>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quorvel/blackboard.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/observe.hpp"
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

// What a node is built from. The loader fills it; a node keeps what it needs of it in a
// more compact form (trees of tens of thousands of nodes are common).
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
    std::vector<std::pair<std::string, std::string>> metadata;  // editor attributes ('_'-prefixed ones the engine does not use), in document order
    int line = 0;                        // of the element, for messages
    // The BehaviorTree it is written in, when the loader says; shared by the nodes of one.
    std::shared_ptr<const std::string> tree_id;
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
    // and leaves it IDLE. Also returns a finished node to IDLE, which parents do to every
    // child at the end of a run: that part is inline.
    void haltNode() {
        if (status_ == NodeStatus::RUNNING) return haltRunning();
        if (status_ == NodeStatus::IDLE) return;
        const NodeStatus previous = status_;
        status_ = NodeStatus::IDLE;
        if (observed_) noteChange(previous, NodeStatus::IDLE);
    }

    NodeStatus status() const { return status_; }
    const std::string& name() const { return name_; }
    const std::string& typeId() const { return type_id_; }
    NodeKind kind() const { return kind_; }
    uint32_t uid() const { return uid_; }
    const Blackboard::Ptr& blackboard() const { return blackboard_; }
    int line() const { return line_; }
    // The BehaviorTree the node is written in; empty when the loader did not say.
    const std::string& treeId() const;
    const std::vector<std::pair<std::string, std::string>>& metadata() const;
    WakeSignal* wakeSignal() const { return wake_; }

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
    // How the port is bound (its key or its literal), or nullptr for a missing port.
    const PortBinding* portBinding(std::string_view port) const;
    // Every port of this instance, as bound when loaded.
    size_t portCount() const { return ports_.size(); }
    const std::string& portNameAt(size_t index) const { return ports_[index].name; }
    const PortBinding& portBindingAt(size_t index) const { return ports_[index].binding; }

    // The port's value without copying it: the converted literal, or the entry
    // itself (valid until the entry is next written). Same errors as getInput().
    const Value& inputRef(std::string_view port) const;
    // Whether the instance can read the port at all (given, or defaulted).
    bool hasPort(std::string_view port) const { return findPort(port) != nullptr; }

    // Ports by position, for embedders that look a name up once and keep its index: the
    // index of the port among this instance's ports (-1 when it has none of that name, and
    // then the calls by name give the error), the declared type, and reading and writing
    // as inputRef and setOutput do.
    int portIndex(std::string_view port) const;
    // The declared type's first letter: s(tring), i(nt), d(ouble), b(ool), o(bject), a(ny or
    // another type).
    char portTypeCodeAt(int index) const { return ports_[static_cast<size_t>(index)].type; }
    const Value& inputAt(int index) const { return read(ports_[static_cast<size_t>(index)]); }
    // Writing as setOutput does, in place: `assign(Value&)` gets the entry's current value to
    // overwrite (an embedder may reuse what it holds).
    template <class Assign>
    void assignOutputAt(int index, Assign&& assign) {
        Blackboard::Slot& slot = outputSlot(ports_[static_cast<size_t>(index)]);
        assign(slot.value);
        slot.present = true;
    }

    // ---- waiting ----
    void requestWakeAt(Clock::time_point deadline) const;
    void requestImmediateTick() const;
    // RUNNING until asynchronous work calls the tree's WakeSignal::notify().
    void requestWaitForNotify() const;

    // "'name' (Type, line N)" for error messages.
    std::string describe() const;

    // Forgets what a node remembers across runs (RunOnce's "done", the position a
    // SequenceWithMemory keeps after a failure). Tree::haltTree calls it on every
    // node after halting, so that a reset tree behaves like a new one.
    virtual void resetState() {}

    // The tree's observers and clock; Tree attaches it before the first tick or halt.
    void attachMonitor(TreeMonitor* monitor) { monitor_ = monitor; }
    // Set by the monitor, between ticks, while observers want this node's transitions: a
    // status change then costs one flag test when nobody watches.
    void setObserved(bool observed) { observed_ = observed; }
    // Kept by the node itself, next to its status, so that counting costs a tick next to
    // nothing; read by the tree's monitor between ticks.
    const NodeCounters& counters() const { return counters_; }

protected:
    virtual NodeStatus tick() = 0;
    // Called by haltNode() while the node is RUNNING: stop children, forget progress.
    virtual void halt() {}

    void setStatus(NodeStatus s) { changeStatus(s); }

private:
    // A port of this instance, resolved when the node is built.
    struct Port {
        std::string name;
        PortBinding binding;                       // the key, or the literal's text
        std::unique_ptr<const Value> literal;      // literal ports, converted to the port's type
        mutable Blackboard::Slot* slot = nullptr;  // entry ports, looked up on first use
        PortDirection direction = PortDirection::Input;
        char type = 'a';                           // as portTypeCodeAt
    };
    // What few nodes have: kept out of line, so that the others do not pay for it.
    struct Extras {
        std::array<std::shared_ptr<const Script>, static_cast<size_t>(ConditionSlot::Count)> conditions{};
        std::vector<std::pair<std::string, std::string>> metadata;
    };
    const Port* findPort(std::string_view name) const;
    const Port& requirePort(std::string_view name) const;
    const Value& read(const Port& port) const;
    void write(const Port& port, Value value);
    Blackboard::Slot& outputSlot(const Port& port);
    [[noreturn]] void conversionError(const Port& port, const Value& v, const char* what) const;
    const std::shared_ptr<const Script>& condition(ConditionSlot slot) const {
        return extras_->conditions[static_cast<size_t>(slot)];
    }
    bool runCondition(ConditionSlot slot);
    void runScript(ConditionSlot slot);
    // Runs for every node on every tick: kept small enough to inline, the rare work out of line.
    NodeStatus finishTick(NodeStatus s) {
        changeStatus(s);
        counters_.success += s == NodeStatus::SUCCESS;
        counters_.failure += s == NodeStatus::FAILURE;
        if (s != NodeStatus::RUNNING) counters_.last = s;
        if (has_post_) runPostScripts(s);
        return s;
    }
    void runPostScripts(NodeStatus s);
    void haltRunning();
    // Every status change goes through here, so the tree's monitor sees all of them.
    void changeStatus(NodeStatus s) {
        NodeStatus previous = status_;
        if (previous == s) return;
        status_ = s;
        if (previous == NodeStatus::RUNNING || s == NodeStatus::RUNNING || observed_) noteChange(previous, s);
    }
    // Running time, and the transition for observers.
    void noteChange(NodeStatus previous, NodeStatus now);

    // What every tick touches comes first, beside the vtable pointer, so that a tick of a
    // plain node reads one cache line of it; trees of hundreds of nodes do not fit in the
    // closest caches, and a tick is mostly waiting for memory.
    NodeStatus status_ = NodeStatus::IDLE;
    bool has_pre_ = false;
    bool has_post_ = false;
    bool has_halted_script_ = false;
    bool observed_ = false;
    uint32_t uid_ = 0;
    TreeMonitor* monitor_ = nullptr;
    NodeCounters counters_;
    std::vector<Port> ports_;
    Blackboard::Ptr blackboard_;
    WakeSignal* wake_ = nullptr;
    std::unique_ptr<Extras> extras_;  // null: no conditions, no metadata
    const PortList* manifest_ports_ = nullptr;
    NodeKind kind_ = NodeKind::Action;
    int line_ = 0;
    std::string type_id_;
    std::string name_;
    std::shared_ptr<const std::string> tree_id_;
};

// A node with children. Children are owned by the tree, not by the parent.
class ControlNode : public TreeNode {
public:
    using TreeNode::TreeNode;
    void addChild(TreeNode* child) { children_.push_back(child); }
    std::vector<TreeNode*> children() const override { return children_; }

protected:
    void haltChild(size_t i) { children_[i]->haltNode(); }
    // Every child is halted even when a halt hook throws; the first error is rethrown
    // afterwards, so one failing hook cannot leave its siblings running.
    void haltChildren(size_t from = 0) {
        std::exception_ptr first;
        for (size_t i = from; i < children_.size(); ++i) {
            try {
                children_[i]->haltNode();
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
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
