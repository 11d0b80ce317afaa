#include "quorvel/tree.hpp"

#include <exception>
#include <utility>

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
      wake_(std::move(other.wake_)) {}

Tree& Tree::operator=(Tree&& other) noexcept {
    if (this != &other) {
        Tree old(std::move(*this));  // halted and freed when it leaves this scope
        nodes_ = std::move(other.nodes_);
        subtree_blackboards_ = std::move(other.subtree_blackboards_);
        keep_alive_ = std::move(other.keep_alive_);
        blackboard_ = std::move(other.blackboard_);
        root_ = std::exchange(other.root_, nullptr);
        wake_ = std::move(other.wake_);
    }
    return *this;
}

NodeStatus Tree::tickOnce() {
    if (!root_) throw TickError("the tree is empty");
    wake_->beginTick();
    return root_->executeTick();
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
