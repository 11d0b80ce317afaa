// Decorators: nodes with exactly one child that change how it runs or what it
// returns. A decorator passes SKIPPED through and returns its child to IDLE whenever
// it finishes.

#include "builtin.hpp"
#include "script_port.hpp"

namespace quorvel::nodes {

namespace {

NodeStatus finish(TreeNode* child, NodeStatus s) {
    child->haltNode();
    return s;
}

// SUCCESS and FAILURE swap.
class InverterNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override {
        switch (NodeStatus s = child_->executeTick()) {
            case NodeStatus::SUCCESS: return finish(child_, NodeStatus::FAILURE);
            case NodeStatus::FAILURE: return finish(child_, NodeStatus::SUCCESS);
            case NodeStatus::RUNNING: return s;
            default: return finish(child_, s);
        }
    }
};

// A finished child gives `result`.
class ForceNode final : public DecoratorNode {
public:
    ForceNode(NodeConfig config, NodeStatus result) : DecoratorNode(std::move(config)), result_(result) {}

protected:
    NodeStatus tick() override {
        NodeStatus s = child_->executeTick();
        if (s == NodeStatus::RUNNING) return s;
        return finish(child_, isCompleted(s) ? result_ : s);
    }

private:
    NodeStatus result_;
};

// A count port where -1 means "no limit"; other negative values are mistakes.
int64_t readLimit(const TreeNode& node, std::string_view port) {
    int64_t v = readCount(node, port);
    if (v < -1) {
        throw TickError("node " + node.describe() + ": " + std::string(port) + "=" + std::to_string(v) +
                        " (use -1 for no limit)");
    }
    return v;
}

// Repeat (counting successes) and RetryUntilSuccessful (counting failures): a
// finished run of the child of the counted kind is reset and run again in the same
// tick until the limit is reached. Without a limit the node gives the thread back
// after every run (RUNNING, asking for an immediate re-tick): a child that always
// finishes at once would otherwise keep a single tick going forever. A huge limit
// is treated alike every kMaxRunsPerTick runs, so that one tick stays short enough
// for the tree to be stopped or halted between ticks.
class LoopNode final : public DecoratorNode {
    static constexpr int64_t kMaxRunsPerTick = 100000;

public:
    LoopNode(NodeConfig config, NodeStatus counted, const char* port)
        : DecoratorNode(std::move(config)), counted_(counted), port_(port) {}
    static PortList repeatPorts() {
        return {InputPort("num_cycles", "int", std::nullopt, "successful runs needed; -1: repeat forever")};
    }
    static PortList retryPorts() {
        return {InputPort("num_attempts", "int", std::nullopt, "runs allowed; -1: retry forever")};
    }

protected:
    NodeStatus tick() override {
        const int64_t limit = readLimit(*this, port_);
        if (status() != NodeStatus::RUNNING) count_ = 0;
        int64_t runs = 0;
        while (limit < 0 || count_ < limit) {
            if (runs++ == kMaxRunsPerTick) {
                requestImmediateTick();
                return NodeStatus::RUNNING;
            }
            NodeStatus s = child_->executeTick();
            if (s == NodeStatus::RUNNING) return s;
            if (s != counted_) {
                count_ = 0;
                return finish(child_, s);
            }
            ++count_;
            child_->haltNode();
            if (limit < 0) {
                requestImmediateTick();
                return NodeStatus::RUNNING;
            }
        }
        count_ = 0;
        // Ran out: Repeat has its successes, Retry has used up its attempts.
        return counted_;
    }
    void halt() override {
        count_ = 0;
        DecoratorNode::halt();
    }

private:
    NodeStatus counted_;
    const char* port_;
    int64_t count_ = 0;
};

// Turns every success of the child into another run.
class KeepRunningUntilFailureNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override {
        NodeStatus s = child_->executeTick();
        if (s == NodeStatus::SUCCESS) {
            child_->haltNode();
            requestImmediateTick();
            return NodeStatus::RUNNING;
        }
        if (s == NodeStatus::RUNNING) return s;
        return finish(child_, s);
    }
};

// Remembers the first finished run for the life of the tree (a reset of the whole
// tree forgets it). A SKIPPED child has not run, so it does not count as the once.
class RunOnceNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;
    static PortList providedPorts() {
        return {InputPort("then_skip", "bool", "true", "after the first run: SKIPPED, or else repeat its result")};
    }
    void resetState() override { done_ = false; }

protected:
    NodeStatus tick() override {
        if (done_) return getInputBool("then_skip") ? NodeStatus::SKIPPED : result_;
        NodeStatus s = child_->executeTick();
        if (s == NodeStatus::RUNNING) return s;
        if (isCompleted(s)) {
            done_ = true;
            result_ = s;
        }
        return finish(child_, s);
    }

private:
    bool done_ = false;
    NodeStatus result_ = NodeStatus::IDLE;
};

// The wait is measured from the node's first tick; once it is over the child runs
// until it finishes, and the next run waits again.
class DelayNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;
    static PortList providedPorts() {
        return {InputPort("delay_msec", "int", std::nullopt, "milliseconds to wait before ticking the child")};
    }

protected:
    NodeStatus tick() override {
        if (status() != NodeStatus::RUNNING) {
            deadline_ = Clock::now() + readMilliseconds(*this, "delay_msec");
            waiting_ = true;
        }
        if (waiting_) {
            if (Clock::now() < deadline_) {
                requestWakeAt(deadline_);
                return NodeStatus::RUNNING;
            }
            waiting_ = false;
        }
        NodeStatus s = child_->executeTick();
        if (s == NodeStatus::RUNNING) return s;
        waiting_ = true;
        return finish(child_, s);
    }
    void halt() override {
        waiting_ = true;
        DecoratorNode::halt();
    }

private:
    Clock::time_point deadline_{};
    bool waiting_ = true;
};

// The child always gets its first tick; a later tick that finds the time used up
// halts it instead of ticking it.
class TimeoutNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;
    static PortList providedPorts() {
        return {InputPort("msec", "int", std::nullopt, "milliseconds the child may stay RUNNING")};
    }

protected:
    NodeStatus tick() override {
        const Clock::time_point now = Clock::now();
        if (status() != NodeStatus::RUNNING) {
            deadline_ = now + readMilliseconds(*this, "msec");
        } else if (now >= deadline_) {
            return finish(child_, NodeStatus::FAILURE);
        }
        NodeStatus s = child_->executeTick();
        if (s == NodeStatus::RUNNING) {
            requestWakeAt(deadline_);
            return s;
        }
        return finish(child_, s);
    }

private:
    Clock::time_point deadline_{};
};

// `if` is checked only when the child is not already running, so a started child
// runs to its end.
class PreconditionNode final : public DecoratorNode {
public:
    explicit PreconditionNode(NodeConfig config) : DecoratorNode(std::move(config)), condition_(*this, "if") {
        // A literal `else` that names no status would only fail later, at the
        // first false condition.
        const PortBinding* b = portBinding("else");
        if (b && !b->is_entry) elseStatus();
    }
    static PortList providedPorts() {
        return {InputPort("if", "string", std::nullopt, "script: the child runs when it is true"),
                InputPort("else", "string", "FAILURE", "status returned when the condition is false")};
    }

protected:
    NodeStatus tick() override {
        if (child_->status() != NodeStatus::RUNNING && !condition_.condition(*this)) return elseStatus();
        NodeStatus s = child_->executeTick();
        if (s == NodeStatus::RUNNING) return s;
        return finish(child_, s);
    }

private:
    NodeStatus elseStatus() const {
        std::string text = getInputText("else");
        auto s = parseStatus(text);
        if (!s || *s == NodeStatus::IDLE) {
            throw TickError("node " + describe() + ": else=\"" + text +
                            "\" is not one of SUCCESS, FAILURE, SKIPPED, RUNNING");
        }
        return *s;
    }
    ScriptPort condition_;
};

}  // namespace

NodeStatus SubTreeNode::tick() {
    NodeStatus s = child_->executeTick();
    if (s == NodeStatus::RUNNING) return s;
    return finish(child_, s);
}

void addDecorators(NodeTypeList& types) {
    constexpr NodeKind kDecorator = NodeKind::Decorator;
    add<InverterNode>(types, manifest("Inverter", kDecorator,
        "Swaps its child's SUCCESS and FAILURE; RUNNING and SKIPPED pass through."));
    add<ForceNode>(types, manifest("ForceSuccess", kDecorator,
        "SUCCESS whenever its child finishes; RUNNING passes through."), NodeStatus::SUCCESS);
    add<ForceNode>(types, manifest("ForceFailure", kDecorator,
        "FAILURE whenever its child finishes; RUNNING passes through."), NodeStatus::FAILURE);
    add<LoopNode>(types, manifest("Repeat", kDecorator,
        "Ticks its child again after each SUCCESS, within the same tick, until num_cycles "
        "successes (-1: forever, handing the thread back between rounds); then SUCCESS. A FAILURE"
        " returns FAILURE; RUNNING returns RUNNING and keeps the count.", LoopNode::repeatPorts()), NodeStatus::SUCCESS, "num_cycles");
    add<LoopNode>(types, manifest("RetryUntilSuccessful", kDecorator,
        "Ticks its child again after each FAILURE, within the same tick, up to num_attempts "
        "attempts (-1: forever, handing the thread back between rounds); then FAILURE. SUCCESS "
        "returns SUCCESS; RUNNING returns RUNNING.", LoopNode::retryPorts()), NodeStatus::FAILURE,
                  "num_attempts");
    add<KeepRunningUntilFailureNode>(types, manifest("KeepRunningUntilFailure", kDecorator,
        "Resets its child after each SUCCESS and returns RUNNING; returns FAILURE when the child "
        "fails."));
    add<RunOnceNode>(types, manifest("RunOnce", kDecorator,
        "Runs its child until it finishes once; afterwards returns SKIPPED, or with "
        "then_skip=\"false\" the status the child finished with.", RunOnceNode::providedPorts()));
    add<DelayNode>(types, manifest("Delay", kDecorator,
        "RUNNING until delay_msec milliseconds have passed since its first tick, then ticks its "
        "child. It never blocks the thread: the tree sleeps meanwhile.", DelayNode::providedPorts()));
    add<TimeoutNode>(types, manifest("Timeout", kDecorator,
        "Ticks its child; if the child is still RUNNING msec milliseconds after it started, halts"
        " it and returns FAILURE.", TimeoutNode::providedPorts()));
    add<PreconditionNode>(types, manifest("Precondition", kDecorator,
        "While its child is not running, checks the script `if`: false returns the status named "
        "by `else` (FAILURE by default); true ticks the child.", PreconditionNode::providedPorts()));
}

}  // namespace quorvel::nodes
