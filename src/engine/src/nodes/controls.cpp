// Control nodes: the nodes with one or more children that decide which child runs.
//
// Shared rules: a control node that finishes (SUCCESS or FAILURE) or is halted
// returns its children to IDLE and forgets its position; one whose children were all
// SKIPPED returns SKIPPED.

#include <array>

#include "builtin.hpp"

namespace quorvel::nodes {

namespace {

// Ticks children in order from where it stopped until one returns `stop_on`: FAILURE
// for Sequence, SUCCESS for Fallback. SequenceWithMemory keeps the position of a failed
// child, so that the next run resumes there; a halt still sends it back to the first child.
class OrderedNode : public ControlNode {
public:
    OrderedNode(NodeConfig config, NodeStatus stop_on, bool memory = false)
        : ControlNode(std::move(config)), stop_on_(stop_on), memory_(memory) {}

protected:
    NodeStatus tick() override {
        if (status() != NodeStatus::RUNNING && current_ == 0) any_ran_ = false;
        const size_t n = children_.size();
        while (current_ < n) {
            const NodeStatus s = children_[current_]->executeTick();
            if (s == NodeStatus::RUNNING) return NodeStatus::RUNNING;
            if (s == stop_on_) {
                haltChildren();
                if (!memory_) current_ = 0;
                return s;
            }
            if (s != NodeStatus::SKIPPED) any_ran_ = true;
            ++current_;
        }
        haltChildren();
        current_ = 0;
        if (!any_ran_) return NodeStatus::SKIPPED;
        return stop_on_ == NodeStatus::FAILURE ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
    }
    void halt() override {
        current_ = 0;
        ControlNode::halt();
    }

public:
    void resetState() override { current_ = 0; }

private:
    NodeStatus stop_on_;
    bool memory_;
    size_t current_ = 0;
    bool any_ran_ = false;
};

// Every tick starts again at the first child, so earlier children act as conditions
// guarding the one that runs. `stop_on` is the status that ends the node early:
// FAILURE for ReactiveSequence, SUCCESS for ReactiveFallback.
class ReactiveNode : public ControlNode {
public:
    ReactiveNode(NodeConfig config, NodeStatus stop_on) : ControlNode(std::move(config)), stop_on_(stop_on) {}

protected:
    NodeStatus tick() override {
        bool any_ran = false;
        const size_t n = children_.size();
        for (size_t i = 0; i < n; ++i) {
            NodeStatus s = children_[i]->executeTick();
            if (s == NodeStatus::RUNNING) {
                haltChildren(i + 1);
                return NodeStatus::RUNNING;
            }
            if (s == stop_on_) {
                haltChildren();
                return s;
            }
            if (s != NodeStatus::SKIPPED) any_ran = true;
        }
        haltChildren();
        if (!any_ran) return NodeStatus::SKIPPED;
        return stop_on_ == NodeStatus::FAILURE ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
    }

private:
    NodeStatus stop_on_;
};

// A threshold port: -1 means "all children", other negative values count back from
// there (-2: all but one). Anything outside 1..n is a mistake in the tree.
size_t threshold(const TreeNode& node, std::string_view port, size_t n) {
    int64_t v = readCount(node, port);
    int64_t resolved = v < 0 ? static_cast<int64_t>(n) + 1 + v : v;
    if (resolved < 1 || resolved > static_cast<int64_t>(n)) {
        throw TickError("node " + node.describe() + ": " + std::string(port) + "=" + std::to_string(v) +
                        " does not fit its " + std::to_string(n) + " children");
    }
    return static_cast<size_t>(resolved);
}

// Children whose result is known are not ticked again until the node finishes. A child
// that returned SKIPPED has not finished: it chose not to run this time, and is asked
// again at the next tick for as long as the node runs (its precondition may have become
// true meanwhile).
class ParallelBase : public ControlNode {
public:
    using ControlNode::ControlNode;

protected:
    // Ticks every unfinished child once. `decide(skipped, settled)` gives the node's status:
    // it is asked after each child that finished (settled false), and once more when the
    // tick leaves no child RUNNING (settled true), where it must not answer RUNNING.
    // `skipped` counts the children that returned SKIPPED so far in this tick.
    template <class Decide>
    NodeStatus tickUnfinished(Decide decide) {
        const size_t n = children_.size();
        if (done_.size() != n) done_.assign(n, NodeStatus::IDLE);
        size_t skipped = 0;
        bool running = false;
        for (size_t i = 0; i < n; ++i) {
            if (done_[i] != NodeStatus::IDLE) continue;
            NodeStatus s = children_[i]->executeTick();
            if (s == NodeStatus::RUNNING) {
                running = true;
                continue;
            }
            if (s == NodeStatus::SKIPPED) {
                ++skipped;
                continue;
            }
            done_[i] = s;
            if (s == NodeStatus::SUCCESS) ++successes_;
            else ++failures_;
            NodeStatus verdict = decide(skipped, false);
            if (verdict != NodeStatus::RUNNING) return finish(verdict);
        }
        if (running) return NodeStatus::RUNNING;
        if (skipped == n) return finish(NodeStatus::SKIPPED);
        return finish(decide(skipped, true));
    }
    NodeStatus finish(NodeStatus s) {
        reset();
        haltChildren();
        return s;
    }
    void reset() {
        std::fill(done_.begin(), done_.end(), NodeStatus::IDLE);
        successes_ = failures_ = 0;
    }
    void halt() override {
        reset();
        ControlNode::halt();
    }

    std::vector<NodeStatus> done_;
    size_t successes_ = 0, failures_ = 0;
};

// Thresholds count finished children only; -1 ("all") means all children that did not
// skip this tick, so with the default thresholds the node succeeds when every child that
// ran succeeded.
class ParallelNode final : public ParallelBase {
public:
    using ParallelBase::ParallelBase;
    static PortList providedPorts() {
        return {InputPort("success_count", "int", "-1", "successes needed; -1: all children"),
                InputPort("failure_count", "int", "1", "failures that end the node; -1: all children")};
    }

protected:
    NodeStatus tick() override {
        const size_t n = children_.size();
        const bool all_succeed = readCount(*this, "success_count") == -1;
        const bool all_fail = readCount(*this, "failure_count") == -1;
        const size_t need_success = threshold(*this, "success_count", n);
        const size_t need_failure = threshold(*this, "failure_count", n);
        return tickUnfinished([&](size_t skipped, bool settled) {
            const size_t active = n - skipped;
            const size_t success_target = all_succeed ? active : need_success;
            const size_t failure_target = all_fail ? active : need_failure;
            if (successes_ >= success_target) return NodeStatus::SUCCESS;
            // A skipped child may still run and succeed later, except under "all".
            const size_t could_succeed = (all_succeed ? active : n) - failures_;
            if (failures_ >= failure_target || could_succeed < success_target) return NodeStatus::FAILURE;
            return settled ? NodeStatus::FAILURE : NodeStatus::RUNNING;
        });
    }
};

class ParallelAllNode final : public ParallelBase {
public:
    using ParallelBase::ParallelBase;
    static PortList providedPorts() {
        return {InputPort("max_failures", "int", "1", "failures that make the result FAILURE; -1: all children")};
    }

protected:
    NodeStatus tick() override {
        const size_t n = children_.size();
        const bool all_fail = readCount(*this, "max_failures") == -1;
        const size_t max_failures = threshold(*this, "max_failures", n);
        return tickUnfinished([&](size_t skipped, bool settled) {
            if (!settled) return NodeStatus::RUNNING;
            return failures_ >= (all_fail ? n - skipped : max_failures) ? NodeStatus::FAILURE : NodeStatus::SUCCESS;
        });
    }
};

// Child 1 is the condition; once a branch is picked it runs to its end without the
// condition being looked at again. A SKIPPED condition skips the whole node.
class IfThenElseNode final : public ControlNode {
public:
    using ControlNode::ControlNode;

protected:
    NodeStatus tick() override {
        if (branch_ == 0) {
            switch (children_[0]->executeTick()) {
                case NodeStatus::RUNNING: return NodeStatus::RUNNING;
                case NodeStatus::SUCCESS: branch_ = 1; break;
                case NodeStatus::FAILURE:
                    if (children_.size() < 3) return done(NodeStatus::FAILURE);
                    branch_ = 2;
                    break;
                default: return done(NodeStatus::SKIPPED);
            }
        }
        NodeStatus s = children_[branch_]->executeTick();
        return s == NodeStatus::RUNNING ? s : done(s);
    }
    void halt() override {
        branch_ = 0;
        ControlNode::halt();
    }

private:
    NodeStatus done(NodeStatus s) {
        branch_ = 0;
        haltChildren();
        return s;
    }
    size_t branch_ = 0;
};

// The condition is ticked on every tick; switching branches halts the other one.
// A condition still RUNNING keeps the node RUNNING without touching the branches.
class WhileDoElseNode final : public ControlNode {
public:
    using ControlNode::ControlNode;

protected:
    NodeStatus tick() override {
        size_t branch;
        switch (children_[0]->executeTick()) {
            case NodeStatus::RUNNING: return NodeStatus::RUNNING;
            case NodeStatus::SUCCESS:
                if (children_.size() == 3) haltChild(2);
                branch = 1;
                break;
            case NodeStatus::FAILURE:
                haltChild(1);
                if (children_.size() < 3) return done(NodeStatus::FAILURE);
                branch = 2;
                break;
            default: return done(NodeStatus::SKIPPED);
        }
        NodeStatus s = children_[branch]->executeTick();
        return s == NodeStatus::RUNNING ? s : done(s);
    }

private:
    NodeStatus done(NodeStatus s) {
        haltChildren();
        return s;
    }
};

// Whether a Switch case matches the variable: as numbers when both read as numbers
// ("3" matches 3.0), otherwise as texts. An object never matches.
bool caseMatches(const Value& variable, const Value& label) {
    auto number = [](const Value& v) -> std::optional<double> {
        if (v.isNumber()) return v.toReal();
        if (const std::string* t = v.asText()) return parseReal(*t);
        return std::nullopt;
    };
    auto a = number(variable);
    auto b = number(label);
    if (a && b) return *a == *b;
    if (a || b) return false;
    const std::string* ta = variable.asText();
    const std::string* tb = label.asText();
    if (ta && tb) return *ta == *tb;
    auto xa = variable.toText();
    auto xb = label.toText();
    return xa && xb && *xa == *xb;
}

// N cases and a default child (the last). A case port the element leaves out never
// matches.
template <size_t N>
class SwitchNode final : public ControlNode {
public:
    using ControlNode::ControlNode;
    static PortList providedPorts() {
        PortList ports{InputPort("variable", "any", std::nullopt, "the value to match")};
        for (size_t i = 1; i <= N; ++i) {
            ports.push_back(InputPort("case_" + std::to_string(i), "any", std::nullopt, "value of case " + std::to_string(i)));
        }
        return ports;
    }

protected:
    NodeStatus tick() override {
        static const std::array<std::string, N> case_names = [] {
            std::array<std::string, N> names;
            for (size_t i = 0; i < N; ++i) names[i] = "case_" + std::to_string(i + 1);
            return names;
        }();
        const Value& variable = inputRef("variable");
        size_t pick = N;
        for (size_t i = 0; i < N; ++i) {
            if (hasPort(case_names[i]) && caseMatches(variable, inputRef(case_names[i]))) {
                pick = i;
                break;
            }
        }
        if (running_ != kNone && running_ != pick) haltChild(running_);
        NodeStatus s = children_[pick]->executeTick();
        if (s == NodeStatus::RUNNING) {
            running_ = pick;
            return s;
        }
        running_ = kNone;
        haltChildren();
        return s;
    }
    void halt() override {
        running_ = kNone;
        ControlNode::halt();
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    size_t running_ = kNone;
};

// Switch2 .. Switch6: N cases and a default.
template <size_t... N>
void addSwitches(NodeTypeList& types, std::index_sequence<N...>) {
    (add<SwitchNode<N>>(types, manifest("Switch" + std::to_string(N), NodeKind::Control,
        "Ticks the child whose case_N port equals `variable` (as text, or as numbers when both "
        "read as numbers); the last child is the default. A running child that is no longer "
        "chosen is halted.", SwitchNode<N>::providedPorts(), static_cast<int>(N) + 1, static_cast<int>(N) + 1)),
     ...);
}

}  // namespace

int64_t readCount(const TreeNode& node, std::string_view port) { return node.getInputInt(port); }

void addControls(NodeTypeList& types) {
    constexpr NodeKind kControl = NodeKind::Control;
    add<OrderedNode>(types, manifest("Sequence", kControl,
        "Ticks its children in order, resuming where it stopped. A child's SUCCESS or SKIPPED "
        "moves on to the next; RUNNING returns RUNNING; FAILURE halts the rest and returns "
        "FAILURE. When every child is done: SUCCESS, or SKIPPED if all were skipped."), NodeStatus::FAILURE);
    add<OrderedNode>(types, manifest("SequenceWithMemory", kControl,
        "Like Sequence, but a FAILURE keeps its place: the next tick starts again at the child "
        "that failed, not at the first."), NodeStatus::FAILURE, true);
    add<ReactiveNode>(types, manifest("ReactiveSequence", kControl,
        "Starts at the first child on every tick, so earlier conditions are checked again. A "
        "RUNNING child halts the children after it and returns RUNNING; FAILURE halts all and "
        "returns FAILURE; SUCCESS when all succeed."), NodeStatus::FAILURE);
    add<OrderedNode>(types, manifest("Fallback", kControl,
        "Ticks its children in order, resuming where it stopped, until one does not fail. FAILURE"
        " or SKIPPED moves on; RUNNING returns RUNNING; SUCCESS returns SUCCESS. FAILURE when "
        "every child failed."), NodeStatus::SUCCESS);
    add<ReactiveNode>(types, manifest("ReactiveFallback", kControl,
        "Starts at the first child on every tick. A RUNNING child halts the children after it and"
        " returns RUNNING; SUCCESS halts all and returns SUCCESS; FAILURE when every child "
        "failed."), NodeStatus::SUCCESS);
    add<ParallelNode>(types, manifest("Parallel", kControl,
        "Ticks every unfinished child on each tick. SUCCESS once the successes reach "
        "success_count (-1: every child not skipped), FAILURE once the failures reach "
        "failure_count or success can no longer be reached; the rest are halted. A skipped child "
        "is asked again while others run. With no child running: SKIPPED if all skipped.", ParallelNode::providedPorts()));
    add<ParallelAllNode>(types, manifest("ParallelAll", kControl,
        "Ticks every unfinished child until all that are not skipped have finished; then FAILURE "
        "if at least max_failures failed, else SUCCESS.", ParallelAllNode::providedPorts()));
    add<IfThenElseNode>(types, manifest("IfThenElse", kControl,
        "Two or three children. The first is the condition: SUCCESS runs the second, FAILURE the "
        "third (or returns FAILURE without one). A branch once picked goes on without the "
        "condition being checked again.", {}, 2, 3));
    add<WhileDoElseNode>(types, manifest("WhileDoElse", kControl,
        "Two or three children. The condition (the first) is ticked on every tick: SUCCESS halts "
        "the third and ticks the second, FAILURE halts the second and ticks the third (or returns"
        " FAILURE without one).", {}, 2, 3));
    addSwitches(types, std::index_sequence<2, 3, 4, 5, 6>{});
}

}  // namespace quorvel::nodes
