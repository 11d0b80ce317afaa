#pragma once

// What a tree reports about itself: per-node counters that are always kept (a post-mortem
// needs them even when nobody was watching), the status changes of each tick for observers,
// and snapshots that other threads can read while the tree ticks.
//
// Costs: a tick with no observer pays a few counter increments per node and two short
// critical sections per tick. Transitions are only collected while an observer is attached.
//
// Which changes are reported: every change of a node's status during a tick or a halt,
// except the return of a finished node (SUCCESS, FAILURE, SKIPPED) to IDLE when its parent
// resets it. That reset happens to every child of a finishing control node, so reporting it
// would double the traffic and make every view flicker back to IDLE; the next transition of
// such a node says `previous == IDLE`, and snapshots show the reset in "status" while
// "last" keeps the result. A halt of a RUNNING node (RUNNING -> IDLE) is always reported.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quorvel/blackboard.hpp"
#include "quorvel/status.hpp"
#include "quorvel/value.hpp"

namespace quorvel {

class TreeNode;

struct Transition {
    uint32_t uid = 0;
    NodeStatus previous = NodeStatus::IDLE;
    NodeStatus status = NodeStatus::IDLE;
};

// Counts since the tree was created, kept by each node (TreeNode::counters()).
struct NodeCounters {
    uint64_t ticks = 0;    // executions, also those that changed nothing
    uint64_t success = 0;  // results
    uint64_t failure = 0;
    int64_t running_ns = 0;  // closed RUNNING stretches, in tick times
    NodeStatus status = NodeStatus::IDLE;  // filled in snapshots and reports only
    NodeStatus last = NodeStatus::IDLE;    // last SUCCESS/FAILURE/SKIPPED
    int64_t running_since = 0;             // tick time the current RUNNING stretch began
};

// Field by field: the compiler turns a whole-struct copy of this size into a string move
// instruction, which costs more than the fields when done once per node and tick.
inline void copyCounters(NodeCounters& to, const NodeCounters& from) {
    to.ticks = from.ticks;
    to.success = from.success;
    to.failure = from.failure;
    to.running_ns = from.running_ns;
    to.status = from.status;
    to.last = from.last;
    to.running_since = from.running_since;
}

inline bool sameCounters(const NodeCounters& a, const NodeCounters& b) {
    return a.ticks == b.ticks && a.success == b.success && a.failure == b.failure && a.running_ns == b.running_ns &&
           a.status == b.status && a.last == b.last && a.running_since == b.running_since;
}

struct TreeSnapshot {
    uint64_t tick = 0;
    int64_t time_ns = 0;  // of that tick
    NodeStatus status = NodeStatus::IDLE;  // the root's
    std::vector<NodeCounters> nodes;       // by uid; running_ns includes an open stretch
};

// One blackboard entry whose value changed during a tick (in the first report an observer
// gets: every entry there is). `board` is the uid of the
// SubTree node owning the blackboard, or -1 for the tree's root blackboard.
struct BlackboardWrite {
    int64_t board = -1;
    std::string key;
    Value value;
};

// Everything an observer gets after a tick (or a halt of the whole tree, which does not
// count as a tick and carries the tick number of the last one).
struct TickReport {
    uint64_t tick = 0;
    int64_t time_ns = 0;
    std::vector<Transition> transitions;  // in the order they happened
    std::vector<BlackboardWrite> writes;  // only for observers that asked for them
    NodeStatus root = NodeStatus::IDLE;
    bool halt = false;  // a halt of the whole tree, not a tick
    // Every node's counters after the tick, by uid, with `status` filled in; `changed` lists
    // the uids whose counters or status changed since the previous report (all of them in the
    // first report a new observer gets), ascending.
    std::vector<NodeCounters> counters;
    std::vector<uint32_t> changed;
};

// Called on the ticking thread after each tick, with the report shared by every observer
// (keeping it is fine: the next tick fills a new one). `writes` is filled when any observer
// asked for it. An observer must not tick, halt or reload the tree it observes. An exception
// thrown by it goes to the monitor's error handler (by default: dropped) and the other
// observers still run.
using TreeObserver = std::function<void(const std::shared_ptr<const TickReport>&)>;

class TreeMonitor {
public:
    // Nodes by uid; the tree's blackboards with the uid of the SubTree owning each.
    TreeMonitor(std::vector<TreeNode*> nodes, std::vector<std::pair<Blackboard*, int64_t>> boards);
    TreeMonitor(const TreeMonitor&) = delete;
    TreeMonitor& operator=(const TreeMonitor&) = delete;

    // ---- the ticking thread ----
    void beginTick(int64_t time_ns);
    // Counts the tick (a halt does not), publishes when asked to, and calls the observers.
    void endTick(NodeStatus root, bool counted);

    // Called by TreeNode: the clock of this tick, and a transition of a node the monitor marks
    // observed (TreeNode::setObserved, at the start of a tick).
    int64_t tickTime() const { return tick_time_; }
    void reportTransition(uint32_t uid, NodeStatus previous, NodeStatus now) {
        if (!(now == NodeStatus::IDLE && previous != NodeStatus::RUNNING))
            report_->transitions.push_back({uid, previous, now});
    }

    // ---- any thread ----
    // Never waits for a tick: between ticks it reads the nodes' counters; during one, the
    // copy published at the end of an earlier tick (and asks the ticking thread for a fresh
    // one at the end of this tick).
    TreeSnapshot snapshot();

    using ObserverId = uint64_t;
    ObserverId addObserver(TreeObserver observer, bool want_writes);
    bool removeObserver(ObserverId id);
    // Where observer errors go (installed once, before observers are added).
    void setErrorHandler(std::function<void(std::exception_ptr)> handler) { on_error_ = std::move(handler); }

private:
    TreeSnapshot buildSnapshot() const;  // no tick running, publish_mutex_ held
    void collectWrites();
    void publishIfWanted();

    std::vector<TreeNode*> nodes_;
    std::vector<NodeCounters> previous_;  // counters at the last report, for `changed`
    int64_t tick_time_ = 0;
    uint64_t ticks_ = 0;
    NodeStatus root_status_ = NodeStatus::IDLE;

    // Readers and the ticking thread meet Dekker-style, so that a tick nobody reads costs
    // two atomic stores and two loads: the ticker raises `ticking_` and then looks for
    // readers, a reader registers and then looks at `ticking_` (both sequentially
    // consistent, so at least one of them sees the other). A reader that finds no tick reads
    // the live counters under `publish_mutex_`; a ticker that finds a reader takes that
    // mutex before it starts, so it waits for such a read (a copy) and never the other way.
    std::atomic<bool> ticking_{false};
    std::atomic<int> readers_{0};
    std::atomic<bool> wanted_{false};
    std::mutex publish_mutex_;
    TreeSnapshot published_;  // under publish_mutex_

    // Observers: replaced as a whole (copy on write), so a tick calls them without a lock
    // and an observer may close itself.
    struct Entry {
        ObserverId id;
        std::shared_ptr<TreeObserver> fn;
        bool want_writes;
    };
    std::mutex observers_mutex_;
    std::shared_ptr<const std::vector<Entry>> observers_ = std::make_shared<std::vector<Entry>>();
    std::atomic<int> observer_count_{0};
    ObserverId next_id_ = 1;
    std::function<void(std::exception_ptr)> on_error_;

    // Per tick, on the ticking thread.
    bool observing_ = false;
    bool tracking_writes_ = false;
    std::shared_ptr<TickReport> report_;
    // The values seen at the end of the last tick, per blackboard, for the writes.
    std::vector<std::pair<Blackboard*, int64_t>> boards_;
    std::vector<std::unordered_map<std::string, Value>> seen_;
    std::atomic<bool> full_report_{true};  // a new observer gets every node's counters once
};

}  // namespace quorvel
