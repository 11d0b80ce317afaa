#include "quorvel/observe.hpp"

#include <algorithm>
#include <utility>

#include "quorvel/tree_node.hpp"

namespace quorvel {

TreeMonitor::TreeMonitor(std::vector<TreeNode*> nodes, std::vector<std::pair<Blackboard*, int64_t>> boards)
    : nodes_(std::move(nodes)), boards_(std::move(boards)) {
    seen_.resize(boards_.size());
}

void TreeMonitor::beginTick(int64_t time_ns) {
    ticking_.store(true, std::memory_order_seq_cst);
    if (readers_.load(std::memory_order_seq_cst) > 0) {
        // Wait for a reader copying the counters of the last tick.
        std::lock_guard<std::mutex> lock(publish_mutex_);
    }
    tick_time_ = time_ns;
    const bool observing = observer_count_.load(std::memory_order_acquire) > 0;
    if (observing != observing_) {
        // Nodes test a flag of their own on every status change; it changes only here.
        for (TreeNode* node : nodes_) node->setObserved(observing);
    }
    observing_ = observing;
    if (!observing_) {
        tracking_writes_ = false;
        return;
    }
    // Reused unless an observer kept the last one.
    if (!report_ || report_.use_count() > 1) {
        size_t capacity = report_ ? report_->transitions.size() : 0;
        report_ = std::make_shared<TickReport>();
        report_->transitions.reserve(capacity);
    } else {
        report_->transitions.clear();
        report_->writes.clear();
        report_->changed.clear();
    }
    if (previous_.size() != nodes_.size()) {
        previous_.resize(nodes_.size());
        full_report_.store(true, std::memory_order_relaxed);
    }
}

TreeSnapshot TreeMonitor::buildSnapshot() const {
    TreeSnapshot s;
    s.tick = ticks_;
    s.time_ns = tick_time_;
    s.status = root_status_;
    s.nodes.resize(nodes_.size());
    for (size_t i = 0; i < nodes_.size(); ++i) {
        NodeCounters& c = s.nodes[i];
        copyCounters(c, nodes_[i]->counters());
        c.status = nodes_[i]->status();
        // A stretch still open counts up to the last tick.
        if (c.status == NodeStatus::RUNNING) c.running_ns += tick_time_ - c.running_since;
    }
    return s;
}

TreeSnapshot TreeMonitor::snapshot() {
    readers_.fetch_add(1, std::memory_order_seq_cst);
    struct Leave {
        std::atomic<int>& readers;
        ~Leave() { readers.fetch_sub(1, std::memory_order_seq_cst); }
    } leave{readers_};
    std::lock_guard<std::mutex> lock(publish_mutex_);
    if (!ticking_.load(std::memory_order_seq_cst)) return buildSnapshot();
    wanted_.store(true, std::memory_order_relaxed);
    if (published_.nodes.size() != nodes_.size()) {
        // Nothing published yet: the state before the first tick, which is what a copy made
        // when the tree was built would say (made here, as most trees are never read).
        TreeSnapshot initial;
        initial.nodes.resize(nodes_.size());
        return initial;
    }
    return published_;
}

void TreeMonitor::publishIfWanted() {
    if (!wanted_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(publish_mutex_);
    wanted_.store(false, std::memory_order_relaxed);
    published_ = buildSnapshot();
}

void TreeMonitor::collectWrites() {
    for (size_t b = 0; b < boards_.size(); ++b) {
        auto& seen = seen_[b];
        for (auto& [key, value] : boards_[b].first->localEntries()) {
            auto it = seen.find(key);
            if (it != seen.end() && it->second == value) continue;
            report_->writes.push_back({boards_[b].second, key, value});
            seen.insert_or_assign(std::move(key), std::move(value));
        }
    }
}

void TreeMonitor::endTick(NodeStatus root, bool counted) {
    if (counted) ++ticks_;
    root_status_ = root;
    publishIfWanted();  // while `ticking_` still keeps readers on the published copy
    ticking_.store(false, std::memory_order_seq_cst);
    if (!observing_) return;
    std::shared_ptr<const std::vector<Entry>> observers;
    {
        std::lock_guard<std::mutex> lock(observers_mutex_);
        observers = observers_;
    }
    if (observers->empty()) return;

    const bool full = full_report_.exchange(false, std::memory_order_acq_rel);
    bool writes = false;
    for (const Entry& e : *observers) writes = writes || e.want_writes;
    if (writes) {
        // A new observer learns every entry once; after that only the changed ones.
        if (!tracking_writes_ || full)
            for (auto& seen : seen_) seen.clear();
        collectWrites();
    }
    tracking_writes_ = writes;
    TickReport& report = *report_;
    const size_t n = nodes_.size();
    report.counters.resize(n);
    // One pass: every node's counters into the report, and the changed ones remembered.
    for (uint32_t i = 0; i < n; ++i) {
        NodeCounters& c = report.counters[i];
        copyCounters(c, nodes_[i]->counters());
        c.status = nodes_[i]->status();
        if (full || !sameCounters(c, previous_[i])) {
            report.changed.push_back(i);
            copyCounters(previous_[i], c);
        }
    }
    report.tick = ticks_;
    report.time_ns = tick_time_;
    report.root = root;
    report.halt = !counted;
    std::shared_ptr<const TickReport> shared = report_;
    for (const Entry& e : *observers) {
        try {
            (*e.fn)(shared);
        } catch (...) {
            if (on_error_) {
                try {
                    on_error_(std::current_exception());
                } catch (...) {
                }
            }
        }
    }
}

TreeMonitor::ObserverId TreeMonitor::addObserver(TreeObserver observer, bool want_writes) {
    std::lock_guard<std::mutex> lock(observers_mutex_);
    auto next = std::make_shared<std::vector<Entry>>(*observers_);
    ObserverId id = next_id_++;
    next->push_back({id, std::make_shared<TreeObserver>(std::move(observer)), want_writes});
    observers_ = std::move(next);
    full_report_.store(true, std::memory_order_release);
    observer_count_.fetch_add(1, std::memory_order_release);
    return id;
}

bool TreeMonitor::removeObserver(ObserverId id) {
    std::shared_ptr<const std::vector<Entry>> old;  // released outside the lock
    std::lock_guard<std::mutex> lock(observers_mutex_);
    auto next = std::make_shared<std::vector<Entry>>();
    for (const Entry& e : *observers_) {
        if (e.id != id) next->push_back(e);
    }
    if (next->size() == observers_->size()) return false;
    old = std::exchange(observers_, std::move(next));
    observer_count_.fetch_sub(1, std::memory_order_release);
    return true;
}

}  // namespace quorvel
