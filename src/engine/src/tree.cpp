#include "quorvel/tree.hpp"

#include <chrono>
#include <exception>
#include <utility>

#include "quorvel/embedder_lock.hpp"

namespace quorvel {

Tree::~Tree() {
    if (!root_) return;
    try {
        haltTree();
    } catch (...) {
        // A halt hook failing while the tree goes away has nobody left to tell.
    }
}

Tree::Tree(Tree&& other) noexcept
    : nodes_(std::move(other.nodes_)),
      subtree_blackboards_(std::move(other.subtree_blackboards_)),
      keep_alive_(std::move(other.keep_alive_)),
      blackboard_(std::move(other.blackboard_)),
      root_(std::exchange(other.root_, nullptr)),
      wake_(std::move(other.wake_)),
      monitoring_(std::move(other.monitoring_)),
      ran_embedder_node_(other.ran_embedder_node_) {}

Tree& Tree::operator=(Tree&& other) noexcept {
    if (this != &other) {
        Tree old(std::move(*this));  // halted and freed when it leaves this scope
        nodes_ = std::move(other.nodes_);
        subtree_blackboards_ = std::move(other.subtree_blackboards_);
        keep_alive_ = std::move(other.keep_alive_);
        blackboard_ = std::move(other.blackboard_);
        root_ = std::exchange(other.root_, nullptr);
        wake_ = std::move(other.wake_);
        monitoring_ = std::move(other.monitoring_);
        ran_embedder_node_ = other.ran_embedder_node_;
    }
    return *this;
}

namespace {

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Brackets one tick (or halt) for the monitor, also when it ends with an exception.
class MonitoredStep {
public:
    MonitoredStep(TreeMonitor& monitor, TreeNode& root, bool counted)
        : monitor_(monitor), root_(root), counted_(counted) {
        monitor_.beginTick(monotonicNs());
    }
    ~MonitoredStep() { monitor_.endTick(root_.status(), counted_); }
    MonitoredStep(const MonitoredStep&) = delete;
    MonitoredStep& operator=(const MonitoredStep&) = delete;

private:
    TreeMonitor& monitor_;
    TreeNode& root_;
    bool counted_;
};

}  // namespace

TreeMonitor& Tree::monitor() {
    std::call_once(monitoring_->once, [this] {
        std::vector<TreeNode*> nodes;
        nodes.reserve(nodes_.size());
        for (const auto& node : nodes_) nodes.push_back(node.get());
        std::vector<std::pair<Blackboard*, int64_t>> boards;
        if (blackboard_) boards.emplace_back(blackboard_.get(), -1);
        for (const auto& board : subtree_blackboards_) boards.emplace_back(board.get(), blackboardOwner(board.get()));
        monitoring_->monitor = std::make_unique<TreeMonitor>(std::move(nodes), std::move(boards));
        for (const auto& node : nodes_) {
            if (node) node->attachMonitor(monitoring_->monitor.get());
        }
    });
    return *monitoring_->monitor;
}

int64_t Tree::blackboardOwner(const Blackboard* board) const {
    if (board == blackboard_.get()) return -1;
    // A SubTree node's own blackboard is its parent's; its child holds the one it owns.
    for (const auto& node : nodes_) {
        if (!node || node->kind() != NodeKind::SubTree) continue;
        for (TreeNode* child : node->children()) {
            if (child->blackboard().get() == board) return node->uid();
        }
    }
    return -1;
}

NodeStatus Tree::tickOnce() {
    if (!root_) throw TickError("the tree is empty");
    TreeMonitor& m = monitor();
    wake_->beginTick();
    noteTickStart(ran_embedder_node_);
    MonitoredStep step(m, *root_, true);
    const NodeStatus status = root_->executeTick();
    ran_embedder_node_ = embedderNodeRan();
    return status;
}

NodeStatus Tree::tickWhileRunning() {
    NodeStatus s = tickOnce();
    while (s == NodeStatus::RUNNING) {
        waitBetweenTicks();
        s = tickOnce();
    }
    return s;
}

void Tree::haltTree() {
    if (!root_) return;
    // The root's halt reaches every running node through its parent. The sweep
    // afterwards catches nodes a parent no longer knew to be running (after a tick
    // failed with an exception) and returns finished nodes to IDLE.
    std::exception_ptr first;
    auto guarded = [&](auto&& fn) {
        try {
            fn();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    };
    MonitoredStep step(monitor(), *root_, false);
    guarded([&] { root_->haltNode(); });
    for (const auto& node : nodes_) {
        if (node && node->status() != NodeStatus::IDLE) guarded([&] { node->haltNode(); });
    }
    for (const auto& node : nodes_) {
        if (node) node->resetState();
    }
    // Everything is IDLE now; a halt hook's error still reaches the caller.
    if (first) std::rethrow_exception(first);
}

void Tree::visit(const std::function<void(TreeNode&, int depth)>& fn) const {
    if (!root_) return;
    struct Walker {
        const std::function<void(TreeNode&, int)>& fn;
        void walk(TreeNode& node, int depth) const {
            fn(node, depth);
            for (TreeNode* child : node.children()) walk(*child, depth + 1);
        }
    };
    Walker{fn}.walk(*root_, 0);
}

}  // namespace quorvel
