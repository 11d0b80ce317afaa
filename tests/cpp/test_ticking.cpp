// Ticking whole trees: pre- and post-conditions, waiting without blocking, halting,
// resetting, and errors in the middle of a tick.

#include <atomic>
#include <thread>

#include "tree_fixture.hpp"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

// ---- pre- and post-conditions ----

struct ConditionCase {
    const char* label;
    const char* attributes;  // on an Act that would return SUCCESS
    NodeStatus expected;
    bool ticked;
};

std::ostream& operator<<(std::ostream& os, const ConditionCase& c) { return os << c.label; }

class PreConditions : public TreeTest, public ::testing::WithParamInterface<ConditionCase> {};

TEST_P(PreConditions, DecideBeforeTheTick) {
    const ConditionCase& c = GetParam();
    Tree tree = load(std::string("<Act name=\"a\" ") + c.attributes + "/>");
    EXPECT_EQ(tree.tickOnce(), c.expected);
    EXPECT_EQ(events(), c.ticked ? "a:tick" : "");
}

const ConditionCase kPreConditions[] = {
    {"FailureIf", R"(_failureIf="1 &lt; 2")", NodeStatus::FAILURE, false},
    {"SuccessIf", R"(_successIf="true" results="FAILURE")", NodeStatus::SUCCESS, false},
    {"SkipIf", R"(_skipIf="true")", NodeStatus::SKIPPED, false},
    {"WhileFalse", R"(_while="false")", NodeStatus::SKIPPED, false},
    {"AllFalse", R"(_failureIf="false" _successIf="false" _skipIf="false" _while="true")", NodeStatus::SUCCESS, true},
    {"FailureIfWinsOverSuccessIf", R"(_successIf="true" _failureIf="true")", NodeStatus::FAILURE, false},
    {"SuccessIfWinsOverSkipIf", R"(_skipIf="true" _successIf="true")", NodeStatus::SUCCESS, false},
};
INSTANTIATE_TEST_SUITE_P(Conditions, PreConditions, ::testing::ValuesIn(kPreConditions),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(TreeTest, PreConditionsAreNotRecheckedWhileRunning) {
    Tree tree = load(R"(<Act name="a" results="RUNNING,SUCCESS" _skipIf="skip"/>)");
    tree.rootBlackboard()->set("skip", false);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    tree.rootBlackboard()->set("skip", true);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(events(), "a:tick a:tick");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SKIPPED);
}

TEST_F(TreeTest, WhileTurningFalseHaltsTheRunningNode) {
    Tree tree = load(R"(<Sequence><Act name="a" results="RUNNING" _while="go" _onHalted="halted := true"/><Act name="b"/></Sequence>)");
    auto bb = tree.rootBlackboard();
    bb->set("go", true);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    bb->set("go", false);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);  // a SKIPPED, b succeeded
    EXPECT_EQ(events(), "a:tick a:halt b:tick");
    EXPECT_EQ(*bb->find("halted"), Value(true));
}

TEST_F(TreeTest, PostConditionsRunOnTheirStatus) {
    Tree tree = load(R"(<Sequence>
        <Act name="a" _onSuccess="s := 'yes'" _post="p := 1"/>
        <Act name="b" results="FAILURE" _onSuccess="wrong := 1" _onFailure="f := 'no'" _post="p := p + 1"/>
    </Sequence>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::FAILURE);
    auto bb = tree.rootBlackboard();
    EXPECT_EQ(*bb->find("s"), Value("yes"));
    EXPECT_EQ(*bb->find("f"), Value("no"));
    EXPECT_EQ(*bb->find("p"), Value(2));
    EXPECT_EQ(bb->find("wrong"), nullptr);
}

TEST_F(TreeTest, ScriptErrorsWhileTickingNameNodeAndExpression) {
    Tree tree = load(R"(<AlwaysSuccess name="n" _skipIf="missing > 1"/>)");
    std::string message = tickError(tree);
    EXPECT_NE(message.find("'n' (AlwaysSuccess"), std::string::npos) << message;
    EXPECT_NE(message.find("_skipIf"), std::string::npos) << message;
    EXPECT_NE(message.find("missing > 1"), std::string::npos) << message;

    Tree t2 = load(R"(<Script name="calc" code="x := 1 / 0"/>)");
    message = tickError(t2);
    EXPECT_NE(message.find("'calc' (Script"), std::string::npos) << message;
    EXPECT_NE(message.find("1 / 0"), std::string::npos) << message;
}

// ---- leaves and decorators that read the blackboard ----

TEST_F(TreeTest, ScriptLeavesAndSetBlackboard) {
    Tree tree = load(R"(<Sequence>
        <Script code="n := 3"/>
        <ScriptCondition code="n == 3"/>
        <SetBlackboard value="hello" output_key="greeting"/>
        <SetBlackboard value="{n}" output_key="{copy}"/>
        <SetBlackboard value="x" output_key="gone"/>
        <UnsetBlackboard key="gone"/>
        <UnsetBlackboard key="never_there"/>
        <Inverter><ScriptCondition code="n &gt; 3"/></Inverter>
    </Sequence>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    auto bb = tree.rootBlackboard();
    EXPECT_EQ(*bb->find("greeting"), Value("hello"));
    EXPECT_EQ(*bb->find("copy"), Value(3));  // the entry's value, not its text
    EXPECT_FALSE(bb->contains("gone"));
}

TEST_F(TreeTest, PreconditionFromAnEntry) {
    Tree tree = load(R"(<Precondition if="{rule}" else="SUCCESS"><Act name="a" results="FAILURE"/></Precondition>)");
    auto bb = tree.rootBlackboard();
    bb->set("rule", "1 == 2");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    bb->set("rule", "1 == 1");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::FAILURE);
    EXPECT_EQ(events(), "a:tick");
    bb->set("rule", "1 ==");
    EXPECT_NE(tickError(tree).find("column"), std::string::npos);
}

TEST_F(TreeTest, PreconditionLetsARunningChildFinish) {
    Tree tree = load(R"(<Precondition if="go"><Act name="a" results="RUNNING,SUCCESS"/></Precondition>)");
    tree.rootBlackboard()->set("go", true);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    tree.rootBlackboard()->set("go", false);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::FAILURE);
}

TEST_F(TreeTest, SwitchHaltsTheChildNoLongerChosen) {
    Tree tree = load(R"(<Switch2 variable="{mode}" case_1="walk" case_2="1"><Act name="w" results="RUNNING"/><Act name="r" results="RUNNING"/><Act name="d"/></Switch2>)");
    auto bb = tree.rootBlackboard();
    bb->set("mode", "walk");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    bb->set("mode", 1.0);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    bb->set("mode", "other");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(events(), "w:tick w:halt r:tick r:halt d:tick");
}

TEST_F(TreeTest, BadThresholdsAndCountsFailTheTick) {
    Tree p = load(R"(<Parallel name="p" success_count="3"><Act/><Act/></Parallel>)");
    EXPECT_NE(tickError(p).find("success_count=3"), std::string::npos);
    Tree p0 = load(R"(<Parallel failure_count="0"><Act/></Parallel>)");
    EXPECT_NE(tickError(p0).find("failure_count=0"), std::string::npos);
    Tree r = load(R"(<Repeat num_cycles="-2"><Act/></Repeat>)");
    EXPECT_NE(tickError(r).find("num_cycles=-2"), std::string::npos);
    // Counting back from "all": -2 of three children is two.
    Tree p2 = load(R"(<Parallel success_count="-2"><Act name="a"/><Act name="b"/><Act name="c" results="RUNNING"/></Parallel>)");
    EXPECT_EQ(p2.tickOnce(), NodeStatus::SUCCESS);
}

TEST_F(TreeTest, HugeRepeatCountsGiveTheThreadBackBetweenTicks) {
    Tree tree = load(R"(<Repeat num_cycles="250000"><AlwaysSuccess/></Repeat>)");
    EXPECT_EQ(tickN(tree, 3), (std::vector<NodeStatus>{NodeStatus::RUNNING, NodeStatus::RUNNING, NodeStatus::SUCCESS}));
    Tree retry = load(R"(<RetryUntilSuccessful num_attempts="9223372036854775807"><AlwaysFailure/></RetryUntilSuccessful>)");
    EXPECT_EQ(retry.tickOnce(), NodeStatus::RUNNING);
}

// ---- waiting ----

class Stopwatch {
public:
    double ms() const { return std::chrono::duration<double, std::milli>(Clock::now() - start_).count(); }

private:
    Clock::time_point start_ = Clock::now();
};

// Counts ticks of the root, to tell sleeping between ticks from spinning.
int ticksUntilDone(Tree& tree, NodeStatus* result) {
    int ticks = 1;
    NodeStatus s = tree.tickOnce();
    while (s == NodeStatus::RUNNING) {
        tree.waitBetweenTicks();
        s = tree.tickOnce();
        ++ticks;
    }
    *result = s;
    return ticks;
}

TEST_F(TreeTest, SleepWaitsWithoutSpinning) {
    Tree tree = load(R"(<Sequence><Sleep msec="40"/><Act name="a"/></Sequence>)");
    Stopwatch watch;
    NodeStatus s;
    int ticks = ticksUntilDone(tree, &s);
    EXPECT_EQ(s, NodeStatus::SUCCESS);
    EXPECT_GE(watch.ms(), 39.0);
    EXPECT_LE(ticks, 5);
    EXPECT_EQ(events(), "a:tick");
}

TEST_F(TreeTest, DelayThenChild) {
    Tree tree = load(R"(<Delay delay_msec="30"><Act name="a" results="RUNNING,SUCCESS"/></Delay>)");
    Stopwatch watch;
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    EXPECT_EQ(events(), "");
    EXPECT_EQ(tree.tickWhileRunning(), NodeStatus::SUCCESS);
    EXPECT_GE(watch.ms(), 29.0);
    EXPECT_EQ(events(), "a:tick a:tick");
}

TEST_F(TreeTest, TimeoutHaltsASlowChild) {
    Tree tree = load(R"(<Timeout msec="30"><Act name="a" results="RUNNING"/></Timeout>)");
    Stopwatch watch;
    NodeStatus s;
    int ticks = ticksUntilDone(tree, &s);
    EXPECT_EQ(s, NodeStatus::FAILURE);
    EXPECT_GE(watch.ms(), 29.0);
    EXPECT_LE(ticks, 5);
    std::string trace = events();
    EXPECT_EQ(trace.substr(trace.size() - 6), "a:halt");

    Tree fast = load(R"(<Timeout msec="10000"><Act name="f" results="FAILURE"/></Timeout>)");
    EXPECT_EQ(fast.tickOnce(), NodeStatus::FAILURE);
}

TEST_F(TreeTest, ParallelSleepsOverlap) {
    Tree tree = load(R"(<Parallel><Sleep msec="30"/><Sleep msec="60"/><Delay delay_msec="45"><AlwaysSuccess/></Delay></Parallel>)");
    Stopwatch watch;
    NodeStatus s;
    int ticks = ticksUntilDone(tree, &s);
    EXPECT_EQ(s, NodeStatus::SUCCESS);
    EXPECT_GE(watch.ms(), 59.0);
    EXPECT_LT(watch.ms(), 1000.0);
    EXPECT_LE(ticks, 8);
}

TEST_F(TreeTest, RunningSimpleActionIsTickedAgainAtOnce) {
    int calls = 0;
    factory.registerSimpleAction("Busy", [&](TreeNode&) { return ++calls < 4 ? NodeStatus::RUNNING : NodeStatus::SUCCESS; });
    // The Sleep's far deadline must not hold back the action that asked to run again.
    Tree tree = load(R"(<Parallel success_count="1"><Busy/><Sleep msec="60000"/></Parallel>)");
    Stopwatch watch;
    EXPECT_EQ(tree.tickWhileRunning(), NodeStatus::SUCCESS);
    EXPECT_EQ(calls, 4);
    EXPECT_LT(watch.ms(), 5000.0);
}

TEST(WakeSignal, NotifyEndsTheWaitFromAnotherThread) {
    WakeSignal wake;
    wake.beginTick();
    wake.requestWaitForNotify();
    wake.requestWakeAt(Clock::now() + 60s);
    std::thread other([&] {
        std::this_thread::sleep_for(20ms);
        wake.notify();
    });
    Stopwatch watch;
    wake.waitBetweenTicks();
    EXPECT_LT(watch.ms(), 30000.0);
    other.join();

    // A notify that came during the tick is not lost.
    wake.beginTick();
    wake.requestWaitForNotify();
    wake.notify();
    wake.waitBetweenTicks();

    // Nothing requested: no wait at all.
    wake.beginTick();
    wake.waitBetweenTicks();
}

// ---- halting, resetting, errors ----

TEST_F(TreeTest, HaltTreeHaltsRunningNodesAndForgetsMemory) {
    Tree tree = load(R"(<Sequence>
        <RunOnce><Act name="once"/></RunOnce>
        <SequenceWithMemory><Act name="m1"/><Act name="m2" results="FAILURE,RUNNING"/></SequenceWithMemory>
    </Sequence>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::FAILURE);
    EXPECT_EQ(events(), "once:tick m1:tick m2:tick");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);  // RunOnce skipped, memory resumes at m2
    EXPECT_EQ(events(), "m2:tick");
    tree.haltTree();
    EXPECT_EQ(events(), "m2:halt");
    for (const auto& n : tree.nodes()) EXPECT_EQ(n->status(), NodeStatus::IDLE) << n->name();
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    EXPECT_EQ(events(), "once:tick m1:tick m2:tick");
}

TEST_F(TreeTest, ThrowingChildLeavesTheTreeUsable) {
    bool explode = true;
    factory.registerSimpleAction("Boom", [&](TreeNode&) -> NodeStatus {
        if (explode) throw std::runtime_error("kaboom");
        return NodeStatus::SUCCESS;
    });
    Tree tree = load(R"(<Parallel><Act name="a" results="RUNNING,SUCCESS"/><Boom/></Parallel>)");
    EXPECT_THROW(tree.tickOnce(), std::runtime_error);
    // The sibling that was left running has been halted on the way out.
    EXPECT_EQ(events(), "a:tick a:halt");
    for (const auto& n : tree.nodes()) EXPECT_EQ(n->status(), NodeStatus::IDLE) << n->name();
    explode = false;
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
}

TEST_F(TreeTest, ActionReturningIdleIsAnError) {
    factory.registerSimpleAction("Lazy", [](TreeNode&) { return NodeStatus::IDLE; });
    Tree tree = load(R"(<Sequence><Lazy name="lazy"/></Sequence>)");
    EXPECT_NE(tickError(tree).find("'lazy' (Lazy"), std::string::npos);
    EXPECT_EQ(tree.root()->status(), NodeStatus::IDLE);
}

TEST_F(TreeTest, DestroyingARunningTreeHaltsIt) {
    {
        Tree tree = load(R"(<Sequence><Act name="a" results="RUNNING"/></Sequence>)");
        tree.tickOnce();
        Tree moved = std::move(tree);
        EXPECT_EQ(events(), "a:tick");
    }
    EXPECT_EQ(events(), "a:halt");
}

}  // namespace
}  // namespace quorvel::testing
