#pragma once

// One loaded tree as Python drives it: ticking (with the GIL released), tick loops that can
// be interrupted from another thread, blackboard access, and the status report. Shared by
// `SequentialEngine` and the `Tree` objects a `BehaviorTreeFactory` creates.

#include <nanobind/nanobind.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "py_support.hpp"
#include "quorvel/tree.hpp"

namespace quorvel::py {

namespace nb = nanobind;

// "action", "condition", "control", "decorator" or "subtree".
std::string_view kindName(NodeKind kind);

// The `n` of tick_n_times: an int (not a bool); a negative one means no ticks. More than
// limits::kMaxTicksPerCall is refused with TickError before anything runs. GIL held.
long long tickCount(nb::handle n);

class TreeHost {
public:
    // `what` names the owner in messages ("SequentialEngine", "Tree").
    explicit TreeHost(const char* what) : what_(what) {}
    ~TreeHost();
    TreeHost(const TreeHost&) = delete;
    TreeHost& operator=(const TreeHost&) = delete;

    // Everything below: GIL held on entry, unless said otherwise.

    // Builds a tree with the GIL released and puts it in place of the current one; when the
    // build fails the current tree stays.
    void load(const std::function<Tree()>& build);
    bool loaded() const { return tree_ != nullptr; }

    nb::object tickOnce();
    nb::list tickNTimes(long long n);
    // Ticks until the root returns `target`; the number of ticks. Between RUNNING ticks it
    // sleeps until something can change (Tree::waitBetweenTicks); after a tick that finished
    // with the other status it backs off (Tree::waitBeforeRetry) unless a node asked to be
    // ticked again at once.
    long long tickUntil(NodeStatus target);
    // Ticks until the root is no longer RUNNING; that status.
    nb::object tickWhileRunning();
    void halt();

    nb::object status();          // the root's status
    nb::dict treeStatus();        // {"status", "nodes": [...]}
    nb::object get(nb::handle key);
    void set(nb::handle key, nb::handle value);
    nb::dict all();

    // Any thread, GIL not needed: makes the current and every later tick_until_* /
    // tick_while_running / tick_n_times loop raise RuntimeError at its next check between
    // ticks, and wakes a loop sleeping between ticks. Single ticks are not affected.
    void interrupt() noexcept;
    bool interrupted() const noexcept { return interrupted_.load(std::memory_order_acquire); }

    BusyFlag& busy() { return busy_; }

    // Garbage-collector support (GIL held): the TreeNode objects of the tree's Python
    // actions, which may refer back to the tree's owner; clear() destroys the tree.
    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    Tree& requireTree();
    // For blackboard access: fine from inside the tree's own action, refused while another
    // thread runs the tree.
    void checkBlackboardAccess();
    void checkInterrupt() const;  // throws (without the GIL) when interrupted

    const char* what_;
    BusyFlag busy_;
    std::atomic<bool> interrupted_{false};
    std::mutex tree_mutex_;  // guards tree_ against interrupt() while a load swaps it
    std::unique_ptr<Tree> tree_;
};

}  // namespace quorvel::py
