// Counters, transitions and snapshots of the engine's trees, without Python.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/observe.hpp"
#include "tree_fixture.hpp"

namespace quorvel::testing {
namespace {

class ObserveTest : public TreeTest {
protected:
    // "name:PREVIOUS>STATUS" per transition, one string per report.
    std::vector<std::string> reports;
    TreeMonitor::ObserverId watch(Tree& tree, bool writes = false) {
        return tree.monitor().addObserver(
            [this, &tree](const std::shared_ptr<const TickReport>& r) {
                std::string line = r->halt ? "halt" : "tick " + std::to_string(r->tick);
                for (const Transition& t : r->transitions)
                    line += " " + tree.nodes()[t.uid]->name() + ":" + std::string(toString(t.previous)) + ">" +
                            std::string(toString(t.status));
                for (const BlackboardWrite& w : r->writes) line += " " + w.key + "=" + w.value.describe();
                reports.push_back(line);
            },
            writes);
    }
};

TEST_F(ObserveTest, ReportsTransitionsInOrderAndLeavesOutResetsOfFinishedNodes) {
    Tree tree = load(R"(<Sequence name="s"><Act name="a"/><Act name="b" results="RUNNING,SUCCESS"/></Sequence>)");
    watch(tree);
    tree.tickOnce();
    tree.tickOnce();
    tree.tickOnce();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], "tick 1 a:IDLE>SUCCESS b:IDLE>RUNNING s:IDLE>RUNNING");
    EXPECT_EQ(reports[1], "tick 2 b:RUNNING>SUCCESS s:RUNNING>SUCCESS");
    // a and b were reset by the sequence without a report; they start from IDLE again.
    EXPECT_EQ(reports[2], "tick 3 a:IDLE>SUCCESS b:IDLE>SUCCESS");
}

TEST_F(ObserveTest, HaltsOfRunningNodesAreReportedAndCountNoTick) {
    Tree tree = load(R"(<Sequence name="s"><Act name="b" results="RUNNING"/></Sequence>)");
    watch(tree);
    tree.tickOnce();
    tree.haltTree();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1], "halt b:RUNNING>IDLE s:RUNNING>IDLE");
    EXPECT_EQ(tree.snapshot().tick, 1u);
}

TEST_F(ObserveTest, CountersSurviveResetsAndCountEveryExecution) {
    Tree tree = load(R"(<ReactiveSequence><Act name="c"/><Act name="r" results="RUNNING,RUNNING,FAILURE"/></ReactiveSequence>)");
    for (int i = 0; i < 3; ++i) tree.tickOnce();
    tree.haltTree();
    TreeSnapshot s = tree.snapshot();
    EXPECT_EQ(s.tick, 3u);
    const NodeCounters& c = s.nodes[1];
    const NodeCounters& r = s.nodes[2];
    EXPECT_EQ(c.ticks, 3u);  // SUCCESS three times: two of them changed nothing
    EXPECT_EQ(c.success, 3u);
    EXPECT_EQ(r.ticks, 3u);
    EXPECT_EQ(r.failure, 1u);
    EXPECT_EQ(r.status, NodeStatus::IDLE);
    EXPECT_EQ(r.last, NodeStatus::FAILURE);
    EXPECT_GE(r.running_ns, 0);
}

TEST_F(ObserveTest, ATickThatThrowsStillEndsItsReport) {
    Tree tree = load(R"(<Sequence name="s"><Act name="b" results="RUNNING"/><Script code="x := undefined_entry + 1"/></Sequence>)");
    watch(tree);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    tree.haltTree();
    Tree broken = load(R"(<Sequence name="s"><Act name="a"/><Script code="x := nothing + 1"/></Sequence>)");
    reports.clear();
    watch(broken);
    EXPECT_THROW(broken.tickOnce(), std::exception);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(broken.snapshot().tick, 1u);
}

TEST_F(ObserveTest, BlackboardChangesGoOnlyToReportsThatAskAndOnlyOnce) {
    Tree tree = load(R"(<Sequence><Script code="n := 1"/><Script code="m := m_start"/></Sequence>)");
    tree.rootBlackboard()->set("m_start", Value(int64_t{7}));
    watch(tree, true);
    tree.tickOnce();
    tree.tickOnce();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].find("n="), std::string::npos);
    EXPECT_NE(reports[0].find("m_start="), std::string::npos);  // the first report lists every entry
    EXPECT_EQ(reports[1].find("="), std::string::npos);         // nothing changed in the second tick
}

TEST_F(ObserveTest, AnObserverThatThrowsDoesNotStopTheOthers) {
    Tree tree = load(R"(<Act name="a"/>)");
    std::atomic<int> errors{0};
    tree.monitor().setErrorHandler([&](std::exception_ptr) { ++errors; });
    tree.monitor().addObserver([](const std::shared_ptr<const TickReport>&) { throw std::runtime_error("no"); }, false);
    watch(tree);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(errors.load(), 1);
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(ObserveTest, SnapshotsFromAnotherThreadAreWholeTicks) {
    std::string body = "<Sequence>";
    for (int i = 0; i < 40; ++i) body += "<AlwaysSuccess/>";
    Tree tree = load(body + "</Sequence>");
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop.load()) tree.tickOnce();
    });
    uint64_t highest = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 2000 || (highest < 10 && std::chrono::steady_clock::now() < deadline); ++i) {
        TreeSnapshot s = tree.snapshot();
        for (const NodeCounters& c : s.nodes) ASSERT_EQ(c.ticks, s.tick);
        highest = std::max(highest, s.tick);
    }
    stop = true;
    ticker.join();
    EXPECT_GT(highest, 0u);
}

TEST_F(ObserveTest, ObserversAddedAndRemovedWhileTheTreeTicks) {
    Tree tree = load(R"(<Sequence><AlwaysSuccess/><AlwaysFailure/></Sequence>)");
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop.load()) tree.tickOnce();
    });
    std::atomic<int> calls{0};
    for (int i = 0; i < 200; ++i) {
        auto id = tree.monitor().addObserver([&](const std::shared_ptr<const TickReport>&) { ++calls; }, i % 2 == 0);
        std::this_thread::yield();
        EXPECT_TRUE(tree.monitor().removeObserver(id));
        EXPECT_FALSE(tree.monitor().removeObserver(id));
    }
    stop = true;
    ticker.join();
}

}  // namespace
}  // namespace quorvel::testing
