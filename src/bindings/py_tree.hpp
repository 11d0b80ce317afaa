#pragma once

// One loaded tree as Python drives it: ticking (with the GIL released), tick loops that can
// be interrupted from another thread, blackboard access, and the status report. Shared by
// `SequentialEngine` and the `Tree` objects a `BehaviorTreeFactory` creates.

#include <nanobind/nanobind.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>
#include <string>

#include "py_support.hpp"
#include "quorvel/tree.hpp"

namespace quorvel::py {

namespace nb = nanobind;

// "action", "condition", "control", "decorator" or "subtree".
std::string_view kindName(NodeKind kind);

// The `n` of tick_n_times: an int (not a bool); a negative one means no ticks. More than
// limits::kMaxTicksPerCall is refused with TickError before anything runs. GIL held.
long long tickCount(nb::handle n);

struct LayoutData;  // py_tree.cpp

class TreeHost {
public:
    // Ports of the SubTree nodes as loaded, by uid: they show start values kept in blackboards,
    // which ticks may overwrite before the layout is made.
    using SubTreePorts = std::map<uint32_t, std::vector<std::pair<std::string, std::string>>>;

    // `what` names the owner in messages ("SequentialEngine", "Tree").
    explicit TreeHost(const char* what) : what_(what) {}
    // Hosts whose owner is known are listed by live_trees(); `find` gives the owner's Python
    // object (nb::find of its C++ pointer), or None while it is being destroyed.
    template <class Owner>
    TreeHost(const char* what, Owner* owner) : what_(what) {
        listOwner(owner, [](void* p) -> nb::object { return nb::find(static_cast<Owner*>(p)); });
    }
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

    // For tick loops written in Python (quorvel.runtime), on the tree's thread between two
    // tick_once calls: the waits tick_while_running and tick_until_* make, so such a loop
    // sleeps instead of spinning. wake() (any thread, GIL not needed) ends either wait, which
    // is how a loop is cancelled without the stickiness of interrupt().
    void waitBetweenTicks() {
        BusyFlag::Guard guard(busy_, "wait_between_ticks()");
        Tree& tree = requireTree();
        runEngineCall([&] { tree.waitBetweenTicks(); });
    }
    bool waitBeforeRetry(double seconds) {
        BusyFlag::Guard guard(busy_, "wait_before_retry()");
        Tree& tree = requireTree();
        auto pause = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(seconds > 0 ? std::min(seconds, 3600.0) : 0.0));
        return runEngineCall([&] { return tree.waitBeforeRetry(pause); });
    }
    void wake() noexcept {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        if (tree_) tree_->wakeSignal().notify();
    }

    BusyFlag& busy() { return busy_; }

    // ---- observation: any thread, GIL held; never waits for a tick in progress ----
    nb::object layout();    // None while no tree is loaded
    nb::object snapshot();  // likewise
    // Adds `callback` as an observer of the loaded tree; the id to remove it with.
    uint64_t observe(nb::handle callback, bool blackboard);
    // A native observer of the loaded tree; the layout of the loaded tree (nullptr if none).
    uint64_t observeWith(TreeObserver observer, bool blackboard);
    std::shared_ptr<const LayoutData> layoutData();
    // False when the observer is gone already (closed, or its tree was replaced).
    bool unobserve(uint64_t serial, uint64_t id);
    // Changes with every load: observers and monitor pages tell trees apart by it.
    uint64_t serial() const noexcept { return serial_.load(std::memory_order_acquire); }
    std::string label;  // what live_trees() calls the tree (a ThreadEngine's tree id); GIL held

    // Every listed host whose owner is alive and has a tree loaded: (host, owner). GIL held.
    static std::vector<std::pair<TreeHost*, nb::object>> liveHosts();

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
    void listOwner(void* owner, nb::object (*find)(void*));
    void unlist() noexcept;
    // A freshly built tree, before anyone else sees it: builds its monitor, and returns what its
    // layout needs of the state a tick may change.
    SubTreePorts published(Tree& tree);
    // The layout of tree_, computed on first use (tree_mutex_ held): most trees are never drawn,
    // and a layout costs as much memory as the tree's nodes.
    std::shared_ptr<const LayoutData> layoutLocked();

    const char* what_;
    BusyFlag busy_;
    std::atomic<bool> interrupted_{false};
    std::mutex tree_mutex_;  // guards tree_ against interrupt() while a load swaps it
    std::unique_ptr<Tree> tree_;
    std::atomic<uint64_t> serial_{0};
    std::shared_ptr<const LayoutData> layout_;  // of tree_, under tree_mutex_; made on first use
    SubTreePorts subtree_ports_;  // of tree_, under tree_mutex_
    void* owner_ = nullptr;
    nb::object (*find_owner_)(void*) = nullptr;
};

// The Python `Tree`: one made by a BehaviorTreeFactory owns its host; the view that
// `SequentialEngine.tree` and live_trees() give refers to the engine's host and keeps the
// engine alive.
class PyTree {
public:
    PyTree() : own_(std::make_unique<TreeHost>("Tree", this)), host_(own_.get()) {}
    PyTree(TreeHost& host, nb::object owner) : host_(&host), owner_(std::move(owner)) {}
    TreeHost& host() { return *host_; }
    const TreeHost& host() const { return *host_; }
    bool isView() const { return !own_; }
    nb::handle owner() const { return owner_; }
    void dropOwner() { owner_.reset(); }

private:
    std::unique_ptr<TreeHost> own_;
    TreeHost* host_;
    nb::object owner_;
};

// A Tree object for the host, or None while nothing is loaded (`owner` keeps it alive).
nb::object treeView(TreeHost& host, nb::handle owner);

// quorvel.core.Tree, Transition, TickReport, Observer, and live_trees.
void bindTree(nb::module_& m);

}  // namespace quorvel::py
