// The built-in control nodes, decorators and leaves, tick by tick.
//
// Each case is a tree and the expected trace: for every tick, the root's status and
// the test actions' events in brackets.

#include "quorvel/delegated_node.hpp"
#include "tree_fixture.hpp"

namespace quorvel::testing {
namespace {

struct TraceCase {
    const char* label;
    const char* body;
    const char* trace;
};

std::ostream& operator<<(std::ostream& os, const TraceCase& c) { return os << c.label; }

class NodeTrace : public TreeTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(NodeTrace, TicksAsExpected) {
    const TraceCase& c = GetParam();
    Tree tree = load(c.body);
    std::string expected = c.trace;
    size_t ticks = 0;
    for (char ch : expected) ticks += ch == '[';
    std::string actual;
    for (size_t i = 0; i < ticks; ++i) {
        NodeStatus s = tree.tickOnce();
        actual += (i ? " " : "") + std::string(toString(s)) + "[" + events() + "]";
    }
    EXPECT_EQ(actual, expected);
}

const TraceCase kControlCases[] = {
    {"SequenceResumesAtRunningChild",
     R"(<Sequence><Act name="a"/><Act name="b" results="RUNNING,SUCCESS"/><Act name="c"/></Sequence>)",
     "RUNNING[a:tick b:tick] SUCCESS[b:tick c:tick] SUCCESS[a:tick b:tick c:tick]"},
    {"SequenceFailureRestartsFromFirst",
     R"(<Sequence><Act name="a"/><Act name="b" results="FAILURE,SUCCESS"/><Act name="c"/></Sequence>)",
     "FAILURE[a:tick b:tick] SUCCESS[a:tick b:tick c:tick]"},
    {"SequenceSkipsSkippedChildren",
     R"(<Sequence><Act name="a" results="SKIPPED"/><Act name="b"/></Sequence>)", "SUCCESS[a:tick b:tick]"},
    {"SequenceAllSkipped", R"(<Sequence><Act name="a" results="SKIPPED"/><Act name="b" results="SKIPPED"/></Sequence>)",
     "SKIPPED[a:tick b:tick]"},
    {"SequenceWithMemoryResumesAtFailedChild",
     R"(<SequenceWithMemory><Act name="a"/><Act name="b" results="FAILURE,SUCCESS"/><Act name="c"/></SequenceWithMemory>)",
     "FAILURE[a:tick b:tick] SUCCESS[b:tick c:tick] SUCCESS[a:tick b:tick c:tick]"},
    {"ReactiveSequenceRechecksEarlierChildren",
     R"(<ReactiveSequence><Act name="a" results="SUCCESS,SUCCESS,FAILURE"/><Act name="b" results="RUNNING"/></ReactiveSequence>)",
     "RUNNING[a:tick b:tick] RUNNING[a:tick b:tick] FAILURE[a:tick b:halt]"},
    {"ReactiveSequenceHaltsLaterChildrenWhenEarlierRuns",
     R"(<ReactiveSequence><Act name="a" results="SUCCESS,RUNNING"/><Act name="b" results="RUNNING"/></ReactiveSequence>)",
     "RUNNING[a:tick b:tick] RUNNING[a:tick b:halt]"},
    {"ReactiveSequenceAllSkipped", R"(<ReactiveSequence><Act name="a" results="SKIPPED"/></ReactiveSequence>)",
     "SKIPPED[a:tick]"},
    {"FallbackTriesUntilSuccess",
     R"(<Fallback><Act name="a" results="FAILURE"/><Act name="b" results="RUNNING,SUCCESS"/><Act name="c"/></Fallback>)",
     "RUNNING[a:tick b:tick] SUCCESS[b:tick] SUCCESS[a:tick b:tick]"},
    {"FallbackAllFail", R"(<Fallback><Act name="a" results="FAILURE"/><Act name="b" results="SKIPPED"/></Fallback>)",
     "FAILURE[a:tick b:tick]"},
    {"FallbackAllSkipped", R"(<Fallback><Act name="a" results="SKIPPED"/></Fallback>)", "SKIPPED[a:tick]"},
    {"ReactiveFallbackHaltsRunningChildOnEarlierSuccess",
     R"(<ReactiveFallback><Act name="a" results="FAILURE,SUCCESS"/><Act name="b" results="RUNNING"/></ReactiveFallback>)",
     "RUNNING[a:tick b:tick] SUCCESS[a:tick b:halt]"},
    {"ReactiveFallbackAllFail", R"(<ReactiveFallback><Act name="a" results="FAILURE"/><Act name="b" results="FAILURE"/></ReactiveFallback>)",
     "FAILURE[a:tick b:tick]"},
    {"ParallelAllMustSucceedByDefault",
     R"(<Parallel><Act name="a"/><Act name="b" results="RUNNING,SUCCESS"/></Parallel>)",
     "RUNNING[a:tick b:tick] SUCCESS[b:tick]"},
    {"ParallelOneFailureFailsAndHaltsTheRest",
     R"(<Parallel><Act name="a" results="RUNNING"/><Act name="b" results="FAILURE"/></Parallel>)",
     "FAILURE[a:tick b:tick a:halt]"},
    {"ParallelSuccessThreshold",
     R"(<Parallel success_count="1" failure_count="2"><Act name="a" results="FAILURE"/><Act name="b" results="RUNNING"/><Act name="c"/></Parallel>)",
     "SUCCESS[a:tick b:tick c:tick b:halt]"},
    {"ParallelFailsWhenSuccessUnreachable",
     R"(<Parallel success_count="2" failure_count="3"><Act name="a" results="FAILURE"/><Act name="b" results="FAILURE"/><Act name="c" results="RUNNING"/></Parallel>)",
     "FAILURE[a:tick b:tick]"},
    {"ParallelSkippedChildrenDoNotCount",
     R"(<Parallel><Act name="a" results="SKIPPED"/><Act name="b"/></Parallel>)", "SUCCESS[a:tick b:tick]"},
    {"ParallelAllSkipped", R"(<Parallel><Act name="a" results="SKIPPED"/></Parallel>)", "SKIPPED[a:tick]"},
    // A skipped child has not finished: it is asked again while another child runs.
    {"ParallelAsksASkippedChildAgain",
     R"(<Parallel><Act name="a" results="RUNNING,RUNNING,SUCCESS"/><Act name="b" results="SKIPPED,RUNNING,SUCCESS"/></Parallel>)",
     "RUNNING[a:tick b:tick] RUNNING[a:tick b:tick] SUCCESS[a:tick b:tick]"},
    {"ParallelEndsWhenOnlySkippedChildrenAreLeft",
     R"(<Parallel><Act name="a" results="RUNNING,SUCCESS"/><Act name="b" results="SKIPPED"/></Parallel>)",
     "RUNNING[a:tick b:tick] SUCCESS[a:tick b:tick]"},
    {"ParallelSuccessBesideASkippedChild",
     R"(<Parallel><Act name="a"/><Act name="b" results="SKIPPED"/></Parallel>)", "SUCCESS[a:tick b:tick]"},
    {"ParallelEverySkippedChildSkips",
     R"(<Parallel><Act name="a" results="SKIPPED"/><Act name="b" results="SKIPPED"/></Parallel>)", "SKIPPED[a:tick b:tick]"},
    {"ParallelThresholdMissedOnceNothingRuns",
     R"(<Parallel success_count="2" failure_count="2"><Act name="a" results="FAILURE"/><Act name="b" results="SKIPPED"/><Act name="c" results="RUNNING,SUCCESS"/></Parallel>)",
     "RUNNING[a:tick b:tick c:tick] FAILURE[b:tick c:tick]"},
    {"ParallelAllAsksASkippedChildAgain",
     R"(<ParallelAll><Act name="a" results="RUNNING,SUCCESS"/><Act name="b" results="SKIPPED,FAILURE"/></ParallelAll>)",
     "RUNNING[a:tick b:tick] FAILURE[a:tick b:tick]"},
    {"ParallelAllCountsAllAsTheChildrenThatRan",
     R"(<ParallelAll max_failures="-1"><Act name="a" results="FAILURE"/><Act name="b" results="SKIPPED"/></ParallelAll>)",
     "FAILURE[a:tick b:tick]"},
    {"ParallelAllEverySkippedChildSkips", R"(<ParallelAll><Act name="a" results="SKIPPED"/></ParallelAll>)", "SKIPPED[a:tick]"},
    {"ParallelAllWaitsForEveryChild",
     R"(<ParallelAll max_failures="2"><Act name="a" results="FAILURE"/><Act name="b" results="RUNNING,SUCCESS"/></ParallelAll>)",
     "RUNNING[a:tick b:tick] SUCCESS[b:tick]"},
    {"ParallelAllFailsAtMaxFailures",
     R"(<ParallelAll><Act name="a" results="FAILURE"/><Act name="b" results="RUNNING,SUCCESS"/></ParallelAll>)",
     "RUNNING[a:tick b:tick] FAILURE[b:tick]"},
    {"IfThenElseThenBranch",
     R"(<IfThenElse><Act name="c"/><Act name="t" results="RUNNING,SUCCESS"/><Act name="e"/></IfThenElse>)",
     "RUNNING[c:tick t:tick] SUCCESS[t:tick]"},
    {"IfThenElseElseBranch",
     R"(<IfThenElse><Act name="c" results="FAILURE"/><Act name="t"/><Act name="e" results="FAILURE"/></IfThenElse>)",
     "FAILURE[c:tick e:tick]"},
    {"IfThenElseNoElseFails", R"(<IfThenElse><Act name="c" results="FAILURE"/><Act name="t"/></IfThenElse>)",
     "FAILURE[c:tick]"},
    {"IfThenElseRunningCondition",
     R"(<IfThenElse><Act name="c" results="RUNNING,SUCCESS"/><Act name="t"/></IfThenElse>)",
     "RUNNING[c:tick] SUCCESS[c:tick t:tick]"},
    {"WhileDoElseRechecksAndSwitchesBranch",
     R"(<WhileDoElse><Act name="c" results="SUCCESS,FAILURE"/><Act name="d" results="RUNNING"/><Act name="e" results="RUNNING"/></WhileDoElse>)",
     "RUNNING[c:tick d:tick] RUNNING[c:tick d:halt e:tick]"},
    {"WhileDoElseNoElseFailsAndHalts",
     R"(<WhileDoElse><Act name="c" results="SUCCESS,FAILURE"/><Act name="d" results="RUNNING"/></WhileDoElse>)",
     "RUNNING[c:tick d:tick] FAILURE[c:tick d:halt]"},
    {"SwitchMatchesTextCase",
     R"(<Switch2 variable="b" case_1="a" case_2="b"><Act name="1"/><Act name="2"/><Act name="d"/></Switch2>)",
     "SUCCESS[2:tick]"},
    {"SwitchMatchesNumbersByValue",
     R"(<Switch3 variable="3" case_1="1" case_2="3.0" case_3="x"><Act name="1"/><Act name="2"/><Act name="3"/><Act name="d"/></Switch3>)",
     "SUCCESS[2:tick]"},
    {"SwitchFallsBackToDefault",
     R"(<Switch2 variable="zz" case_1="a"><Act name="1"/><Act name="2"/><Act name="d" results="FAILURE"/></Switch2>)",
     "FAILURE[d:tick]"},
};
INSTANTIATE_TEST_SUITE_P(Controls, NodeTrace, ::testing::ValuesIn(kControlCases),
                         [](const auto& info) { return std::string(info.param.label); });

const TraceCase kDecoratorCases[] = {
    {"InverterSwapsAndPassesRunning", R"(<Inverter><Act name="a" results="RUNNING,SUCCESS,FAILURE"/></Inverter>)",
     "RUNNING[a:tick] FAILURE[a:tick] SUCCESS[a:tick]"},
    {"InverterPassesSkipped", R"(<Inverter><Act name="a" results="SKIPPED"/></Inverter>)", "SKIPPED[a:tick]"},
    {"ForceSuccess", R"(<ForceSuccess><Act name="a" results="RUNNING,FAILURE"/></ForceSuccess>)",
     "RUNNING[a:tick] SUCCESS[a:tick]"},
    {"ForceFailure", R"(<ForceFailure><Act name="a"/></ForceFailure>)", "FAILURE[a:tick]"},
    {"RepeatRunsChildAgainInSameTick", R"(<Repeat num_cycles="3"><Act name="a"/></Repeat>)",
     "SUCCESS[a:tick a:tick a:tick]"},
    {"RepeatKeepsCountWhileRunning", R"(<Repeat num_cycles="2"><Act name="a" results="SUCCESS,RUNNING,SUCCESS"/></Repeat>)",
     "RUNNING[a:tick a:tick] SUCCESS[a:tick]"},
    {"RepeatStopsOnFailure", R"(<Repeat num_cycles="5"><Act name="a" results="SUCCESS,FAILURE"/></Repeat>)",
     "FAILURE[a:tick a:tick]"},
    {"RepeatZeroCycles", R"(<Repeat num_cycles="0"><Act name="a"/></Repeat>)", "SUCCESS[]"},
    {"RepeatForeverYieldsEachCycle", R"(<Repeat num_cycles="-1"><Act name="a"/></Repeat>)",
     "RUNNING[a:tick] RUNNING[a:tick]"},
    {"RetryUntilSuccessful", R"(<RetryUntilSuccessful num_attempts="3"><Act name="a" results="FAILURE,FAILURE,SUCCESS"/></RetryUntilSuccessful>)",
     "SUCCESS[a:tick a:tick a:tick]"},
    {"RetryGivesUp", R"(<RetryUntilSuccessful num_attempts="2"><Act name="a" results="FAILURE"/></RetryUntilSuccessful>)",
     "FAILURE[a:tick a:tick]"},
    {"KeepRunningUntilFailure", R"(<KeepRunningUntilFailure><Act name="a" results="SUCCESS,SUCCESS,FAILURE"/></KeepRunningUntilFailure>)",
     "RUNNING[a:tick] RUNNING[a:tick] FAILURE[a:tick]"},
    {"RunOnceThenSkips", R"(<RunOnce><Act name="a" results="RUNNING,FAILURE"/></RunOnce>)",
     "RUNNING[a:tick] FAILURE[a:tick] SKIPPED[]"},
    {"RunOnceRepeatsResult", R"(<RunOnce then_skip="false"><Act name="a" results="FAILURE"/></RunOnce>)",
     "FAILURE[a:tick] FAILURE[]"},
    {"PreconditionFalseReturnsElse", R"(<Precondition if="1 == 2" else="SKIPPED"><Act name="a"/></Precondition>)",
     "SKIPPED[]"},
    {"PreconditionTrueTicksChild", R"(<Precondition if="1 == 1"><Act name="a" results="FAILURE"/></Precondition>)",
     "FAILURE[a:tick]"},
};
INSTANTIATE_TEST_SUITE_P(Decorators, NodeTrace, ::testing::ValuesIn(kDecoratorCases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- nodes whose behaviour an embedder supplies ----

// Ticks its children in turn and returns the statuses of its `results` port, one per tick
// (like the test action); its halt is logged and deliberately leaves the children alone.
class TurnBehaviour : public NodeBehaviour {
public:
    explicit TurnBehaviour(std::shared_ptr<std::vector<std::string>> log) : log_(std::move(log)) {}
    NodeStatus tick(DelegatedNode& node) override {
        for (size_t i = 0; i < node.childCount(); ++i) node.tickChild(i);
        std::string results = node.getInputText("results");
        size_t comma = results.find(',', pos_);
        std::string item = results.substr(pos_, comma == std::string::npos ? std::string::npos : comma - pos_);
        if (comma != std::string::npos) pos_ = comma + 1;
        return *parseStatus(item);
    }
    void halt(DelegatedNode& node) override { log_->push_back(node.name() + ":halt"); }

private:
    std::shared_ptr<std::vector<std::string>> log_;
    size_t pos_ = 0;
};

class DelegatedTrace : public TreeTest {
protected:
    DelegatedTrace() {
        auto log = log_;
        for (NodeKind kind : {NodeKind::Control, NodeKind::Decorator}) {
            std::string id = kind == NodeKind::Control ? "Turns" : "Turn";
            factory.registerBuilder({id, kind, {InputPort("results", "string", "SUCCESS")}, {}, -1, -1},
                                    delegatedNodeBuilder([log](DelegatedNode&) { return std::make_unique<TurnBehaviour>(log); }));
        }
    }
};

TEST_F(DelegatedTrace, FinishingResetsChildrenAndHaltingHaltsThemAfterTheBehaviour) {
    Tree tree = load(R"(<Turns name="t" results="RUNNING,SUCCESS"><Act name="a" results="RUNNING"/><Act name="b"/></Turns>)");
    EXPECT_EQ(tickN(tree, 2), (std::vector<NodeStatus>{NodeStatus::RUNNING, NodeStatus::SUCCESS}));
    // The node finished with a child still running: the child is halted.
    EXPECT_EQ(events(), "a:tick b:tick a:tick b:tick a:halt");

    Tree running = load(R"(<Turns name="t" results="RUNNING"><Act name="a" results="RUNNING"/></Turns>)");
    running.tickOnce();
    events();
    running.haltTree();
    EXPECT_EQ(events(), "t:halt a:halt");
    for (const auto& node : running.nodes()) EXPECT_EQ(node->status(), NodeStatus::IDLE);
}

TEST_F(DelegatedTrace, DecoratorsTakeExactlyOneChildAndConditionsApply) {
    EXPECT_NE(loadError([&] { load("<Turn><Act/><Act/></Turn>"); }).find("exactly 1 child, not 2"), std::string::npos);
    EXPECT_NE(loadError([&] { load("<Turns/>"); }).find("at least 1 child"), std::string::npos);
    Tree tree = load(R"(<Decorator ID="Turn" _skipIf="true"><Act name="a"/></Decorator>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SKIPPED);
    EXPECT_EQ(events(), "");
}

TEST_F(DelegatedTrace, ABehaviourThatCannotBeMadeFailsTheLoadAtItsElement) {
    factory.registerBuilder({"Broken", NodeKind::Control, {}, {}, -1, -1},
                            delegatedNodeBuilder([](DelegatedNode&) -> std::unique_ptr<NodeBehaviour> {
                                throw Error("no such hardware");
                            }));
    std::string message = loadError([&] { load(R"(<Sequence><Broken name="arm"><Act/></Broken></Sequence>)"); });
    EXPECT_NE(message.find("no such hardware"), std::string::npos) << message;
    EXPECT_NE(message.find("line 1"), std::string::npos) << message;
}

}  // namespace
}  // namespace quorvel::testing
