#include "py_tree.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <vector>

#include "py_node.hpp"
#include "py_value.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/limits.hpp"

namespace quorvel::py {

std::string_view kindName(NodeKind kind) {
    switch (kind) {
        case NodeKind::Action: return "action";
        case NodeKind::Condition: return "condition";
        case NodeKind::Control: return "control";
        case NodeKind::Decorator: return "decorator";
        case NodeKind::SubTree: return "subtree";
    }
    return "unknown";
}

namespace {

// On the main thread a long tick loop still lets Ctrl-C through: every so often it takes the
// GIL back and runs the pending signal handlers.
class SignalCheck {
public:
    SignalCheck() : enabled_(onMainThread()), next_(Clock::now() + kPeriod) {}
    // `waited`: the loop slept before this tick, so ticks may be far apart.
    void operator()(bool waited = false) {
        if (!enabled_ || (!waited && ++calls_ % 64 != 0)) return;
        auto now = Clock::now();
        if (now < next_) return;
        next_ = now + kPeriod;
        GilAcquire gil;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }

private:
    static constexpr std::chrono::milliseconds kPeriod{50};
    bool enabled_;
    unsigned calls_ = 0;
    Clock::time_point next_;
};

// Destroys a tree that is no longer reachable from its host. Halting it may call Python halt
// hooks (they take the GIL themselves); Wakers are cut off from the tree's WakeSignal first.
void disposeTree(std::unique_ptr<Tree> tree) {
    if (!tree) return;
    for (const auto& node : tree->nodes()) {
        if (auto* action = dynamic_cast<PyActionNode*>(node.get())) action->wakeLink()->detach();
    }
    tree.reset();
}

}  // namespace

TreeHost::~TreeHost() {
    std::unique_ptr<Tree> tree;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        tree = std::move(tree_);
    }
    disposeTree(std::move(tree));
}

int TreeHost::traverse(visitproc visit, void* arg) const {
    // While another thread runs or swaps the tree, leave it alone; a later collection sees it.
    if (!tree_ || (busy_.busy() && !busy_.heldByThisThread())) return 0;
    std::vector<const Blackboard*> boards{tree_->rootBlackboard().get()};
    for (const auto& node : tree_->nodes()) {
        if (auto* action = dynamic_cast<const PyActionNode*>(node.get())) Py_VISIT(action->handleObject());
        const Blackboard* board = node->blackboard().get();
        if (board && std::find(boards.begin(), boards.end(), board) == boards.end()) boards.push_back(board);
    }
    // Python objects stored in the blackboards. Each PyOpaque holds one reference, and one
    // may sit in several entries (a script copying an entry), so each is reported once:
    // reporting a reference twice could make the collector free a live object.
    std::set<const PyOpaque*> seen;
    for (const Blackboard* board : boards) {
        if (!board) continue;
        for (const auto& entry : board->localEntries()) {
            auto* py = dynamic_cast<const PyOpaque*>(entry.second.object().get());
            if (py && seen.insert(py).second) Py_VISIT(py->object().ptr());
        }
    }
    return 0;
}

void TreeHost::clear() {
    std::unique_ptr<Tree> tree;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        tree = std::move(tree_);
    }
    disposeTree(std::move(tree));
}

Tree& TreeHost::requireTree() {
    if (!tree_) raiseRuntimeError(std::string(what_) + ": no tree is loaded (call create_tree_from_text first)");
    return *tree_;
}

void TreeHost::checkBlackboardAccess() {
    if (busy_.busy() && !busy_.heldByThisThread())
        raiseRuntimeError(std::string(what_) + ": the blackboard cannot be used while another thread ticks the tree");
}

void TreeHost::checkInterrupt() const {
    if (interrupted()) raiseRuntimeError(std::string(what_) + ": the tick loop was interrupted");
}

void TreeHost::interrupt() noexcept {
    interrupted_.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (tree_) tree_->wakeSignal().notify();
}

void TreeHost::load(const std::function<Tree()>& build) {
    BusyFlag::Guard guard(busy_, "loading a tree");
    std::unique_ptr<Tree> old;
    runEngineCall([&] {
        auto fresh = std::make_unique<Tree>(build());
        {
            std::lock_guard<std::mutex> lock(tree_mutex_);
            old = std::move(tree_);
            tree_ = std::move(fresh);
        }
        disposeTree(std::move(old));  // outside the lock
    });
}

nb::object TreeHost::tickOnce() {
    BusyFlag::Guard guard(busy_, "tick_once()");
    Tree& tree = requireTree();
    NodeStatus status = runEngineCall([&] { return tree.tickOnce(); });
    return nb::borrow(statusObject(status));
}

long long tickCount(nb::handle n) {
    if (!PyLong_Check(n.ptr()) || PyBool_Check(n.ptr()))
        throw nb::type_error((std::string("n must be an int, not ") + nb::type_name(n.type()).c_str()).c_str());
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow < 0) return 0;
    if (overflow > 0 || count > limits::kMaxTicksPerCall) {
        nb::str text = nb::str(n);
        throw TickError(std::string("tick_n_times: n=") + text.c_str() + " is more than the limit of " +
                        std::to_string(limits::kMaxTicksPerCall) + " ticks per call");
    }
    return count;
}

nb::list TreeHost::tickNTimes(long long n) {
    BusyFlag::Guard guard(busy_, "tick_n_times()");
    Tree& tree = requireTree();
    std::vector<NodeStatus> statuses;
    if (n > 0) {
        statuses.reserve(static_cast<size_t>(std::min<long long>(n, 1 << 20)));
        runEngineCall([&] {
            SignalCheck signals;
            for (long long i = 0; i < n; ++i) {
                // The same check as the tick loops: a stop must not wait for millions of ticks.
                checkInterrupt();
                statuses.push_back(tree.tickOnce());
                signals();
            }
        });
    }
    nb::list result;
    for (NodeStatus s : statuses) result.append(statusObject(s));
    return result;
}

long long TreeHost::tickUntil(NodeStatus target) {
    BusyFlag::Guard guard(busy_, target == NodeStatus::SUCCESS ? "tick_until_success()" : "tick_until_failure()");
    Tree& tree = requireTree();
    return runEngineCall([&] {
        SignalCheck signals;
        RetryBackoff backoff;
        long long count = 0;
        for (;;) {
            checkInterrupt();
            NodeStatus status = tree.tickOnce();
            ++count;
            if (status == target) return count;
            checkInterrupt();
            if (status == NodeStatus::RUNNING) {
                backoff.reset();
                tree.waitBetweenTicks();
            } else if (tree.waitBeforeRetry(backoff.pause())) {
                // The other status, and nothing asked to be ticked again at once: the tree
                // starts over, but pauses longer each time it ends the same way.
                backoff.grow();
            } else {
                backoff.reset();
            }
            signals(true);
        }
    });
}

nb::object TreeHost::tickWhileRunning() {
    BusyFlag::Guard guard(busy_, "tick_while_running()");
    Tree& tree = requireTree();
    NodeStatus status = runEngineCall([&] {
        SignalCheck signals;
        for (;;) {
            checkInterrupt();
            NodeStatus s = tree.tickOnce();
            if (s != NodeStatus::RUNNING) return s;
            checkInterrupt();
            tree.waitBetweenTicks();
            signals(true);
        }
    });
    return nb::borrow(statusObject(status));
}

void TreeHost::halt() {
    BusyFlag::Guard guard(busy_, "reset_tree()");
    Tree& tree = requireTree();
    runEngineCall([&] { tree.haltTree(); });
}

nb::object TreeHost::status() {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    return nb::borrow(statusObject(tree.root() ? tree.root()->status() : NodeStatus::IDLE));
}

nb::dict TreeHost::treeStatus() {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    nb::list nodes;
    std::vector<uint32_t> parents;  // uid of the last node seen at each depth
    tree.visit([&](TreeNode& node, int depth) {
        nb::dict entry;
        entry["uid"] = node.uid();
        entry["name"] = node.name();
        entry["type"] = node.typeId();
        entry["kind"] = nb::str(kindName(node.kind()).data(), kindName(node.kind()).size());
        entry["status"] = statusObject(node.status());
        entry["depth"] = depth;
        entry["parent"] = depth > 0 && static_cast<size_t>(depth) <= parents.size() ? nb::object(nb::int_(parents[depth - 1]))
                                                                                      : nb::none();
        parents.resize(static_cast<size_t>(depth) + 1);
        parents[depth] = node.uid();
        nodes.append(entry);
    });
    nb::dict result;
    result["status"] = statusObject(tree.root() ? tree.root()->status() : NodeStatus::IDLE);
    result["nodes"] = nodes;
    return result;
}

nb::object TreeHost::get(nb::handle key) {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    if (key.is_none()) return nb::none();
    if (!PyUnicode_Check(key.ptr()))
        throw nb::type_error((std::string("blackboard keys are str, not ") + nb::type_name(key.type()).c_str()).c_str());
    const Value* value = tree.rootBlackboard()->find(utf8Of(key, "the blackboard key"));
    return value ? fromValue(*value) : nb::none();
}

void TreeHost::set(nb::handle key, nb::handle value) {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    if (!PyUnicode_Check(key.ptr()))
        throw nb::type_error((std::string("blackboard keys are str, not ") + nb::type_name(key.type()).c_str()).c_str());
    tree.rootBlackboard()->set(utf8Of(key, "the blackboard key"), toValue(value));
}

nb::dict TreeHost::all() {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    nb::dict result;
    for (const auto& [key, value] : tree.rootBlackboard()->localEntries()) result[key.c_str()] = fromValue(value);
    return result;
}

}  // namespace quorvel::py
