#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "quorvel/blackboard.hpp"
#include "quorvel/observe.hpp"
#include "quorvel/tree_node.hpp"
#include "quorvel/wake_signal.hpp"

namespace quorvel {

// A loaded tree: owns its nodes and blackboards. Lives on one thread.
class Tree {
public:
    Tree() = default;
    Tree(Tree&&) noexcept;
    Tree& operator=(Tree&&) noexcept;  // halts the tree it replaces
    ~Tree();  // halts a running tree

    bool empty() const { return root_ == nullptr; }
    TreeNode* root() const { return root_; }
    const Blackboard::Ptr& rootBlackboard() const { return blackboard_; }

    NodeStatus tickOnce();
    // Ticks until the root returns one of SUCCESS/FAILURE (or SKIPPED) and returns that
    // status; between RUNNING ticks it sleeps until something can change.
    NodeStatus tickWhileRunning();
    // Sleeps until a requested deadline or notify(); see WakeSignal.
    void waitBetweenTicks() { wake_->waitBetweenTicks(); }
    // After a tick that finished with a status the caller does not wait for; see
    // WakeSignal::waitBeforeRetry.
    bool waitBeforeRetry(Clock::duration pause) { return wake_->waitBeforeRetry(pause); }
    // Halts every running node; all nodes end IDLE. Blackboards keep their entries.
    void haltTree();

    // Every node in depth-first order (parents before children), subtree nodes included.
    const std::vector<std::unique_ptr<TreeNode>>& nodes() const { return nodes_; }
    void visit(const std::function<void(TreeNode&, int depth)>& fn) const;

    // Thread-safe: wakes a tree sleeping between ticks (asynchronous work finished).
    WakeSignal& wakeSignal() { return *wake_; }

    // Counters, snapshots and observers (observe.hpp). Safe to call from any thread once the
    // tree is loaded; snapshots never wait for a tick in progress.
    TreeMonitor& monitor();
    TreeSnapshot snapshot() { return monitor().snapshot(); }
    // The SubTree node owning `board`, or -1 for the root blackboard.
    int64_t blackboardOwner(const Blackboard* board) const;

private:
    friend class TreeBuilder;  // the XML loader fills these
    std::vector<std::unique_ptr<TreeNode>> nodes_;
    std::vector<Blackboard::Ptr> subtree_blackboards_;
    // What nodes point into without owning: port declarations, for instance.
    std::vector<std::shared_ptr<const void>> keep_alive_;
    Blackboard::Ptr blackboard_;
    TreeNode* root_ = nullptr;
    std::shared_ptr<WakeSignal> wake_ = std::make_shared<WakeSignal>();
    // Built on first use (by the ticking thread or a reader, whichever comes first), once
    // the loader has filled the nodes.
    struct Monitoring {
        std::once_flag once;
        std::unique_ptr<TreeMonitor> monitor;
    };
    std::unique_ptr<Monitoring> monitoring_ = std::make_unique<Monitoring>();
    // Whether the last tick ran a node of the embedder's own (see embedder_lock.hpp).
    bool ran_embedder_node_ = false;
};

}  // namespace quorvel
