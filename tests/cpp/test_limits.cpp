// Input that asks for unbounded work, and text whose bytes and declaration disagree: what is
// refused, where the line is drawn, and how the retry pause of tick loops behaves.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "quorvel/limits.hpp"
#include "quorvel/script.hpp"
#include "tree_fixture.hpp"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

// ---- texts computed by scripts ----

TEST(ScriptTextLimit, ReachingTheLimitIsFineCrossingItIsNot) {
    auto bb = Blackboard::create();
    bb->set("half", std::string(limits::kMaxTextBytes / 2, 'a'));
    Value joined = Script::compile("half .. half")->run(*bb);
    EXPECT_EQ(joined.asText()->size(), limits::kMaxTextBytes);

    bb->set("full", joined);
    for (const char* source : {"full .. 'b'", "'b' .. full", "full .. 1", "half .. half .. half"}) {
        try {
            Script::compile(source)->run(*bb);
            ADD_FAILURE() << source << " was allowed";
        } catch (const ScriptError& e) {
            EXPECT_NE(std::string(e.what()).find(std::to_string(limits::kMaxTextBytes)), std::string::npos) << e.what();
            // The message quotes the expression, not megabytes of its operands.
            EXPECT_LT(std::string(e.what()).size(), 1000u);
        }
    }
}

TEST_F(TreeTest, DoublingATextInALoopFailsTheTickNamingTheNode) {
    Tree tree = load(R"(<Sequence><Script code="s := 'x'"/>
        <Repeat num_cycles="-1"><Script name="grow" code="s := s .. s"/></Repeat></Sequence>)");
    std::string message;
    for (int i = 0; i < 64 && message.empty(); ++i) message = tickError(tree);
    EXPECT_NE(message.find("'grow' (Script"), std::string::npos) << message;
    EXPECT_NE(message.find("limit"), std::string::npos) << message;
    // The entry keeps its last allowed value and the tree can be reset.
    EXPECT_LE(tree.rootBlackboard()->find("s")->asText()->size(), limits::kMaxTextBytes);
    tree.haltTree();
}

TEST(Values, DescribingALongTextCutsItAtACharacter) {
    std::string text = std::string(199, 'a') + "\xC3\xA9" + std::string(1000, 'b');
    std::string shown = Value(text).describe();
    EXPECT_LT(shown.size(), 260u);
    EXPECT_NE(shown.find(std::string(199, 'a') + "...' (1201 bytes)"), std::string::npos) << shown;
}

// ---- scripts with many names ----

TEST(ScriptNames, ManyDistinctNamesKeepTheirOwnEntries) {
    std::string source;
    for (int i = 0; i < 5000; ++i) source += "n" + std::to_string(i) + " := " + std::to_string(i) + "; ";
    source += "n4999 := n4999 + n17 + n0; n4999";
    auto bb = Blackboard::create();
    EXPECT_EQ(Script::compile(source)->run(*bb), Value(int64_t{4999 + 17}));
    EXPECT_EQ(*bb->find("n2500"), Value(int64_t{2500}));
}

// ---- documents ----

TEST_F(TreeTest, XmlTextAboveTheDocumentLimitIsRefusedUnread) {
    const std::string body = doc("<AlwaysSuccess/>");
    std::string huge = body + std::string(limits::kMaxDocumentBytes - body.size() + 1, ' ');
    std::string message = loadError([&] { factory.createTreeFromText(huge); });
    EXPECT_NE(message.find("too large"), std::string::npos) << message;
    message = loadError([&] { factory.registerBehaviorTreeFromText(huge); });
    EXPECT_NE(message.find("too large"), std::string::npos) << message;
    // At the limit exactly, the same document loads.
    huge.pop_back();
    EXPECT_EQ(factory.createTreeFromText(huge).tickOnce(), NodeStatus::SUCCESS);
}

// 'é' as UTF-8, the form text handed over as text always has.
const std::string kEAcute = "\xC3\xA9";

std::string scriptDocument(const std::string& declaration, const std::string& text) {
    return declaration + doc("<Script code=\"s := '" + text + "'\"/>");
}

TEST_F(TreeTest, TextIsUtf8WhateverItsDeclarationSays) {
    for (const char* encoding : {"ISO-8859-1", "UTF-16", "US-ASCII", "UTF-8"}) {
        std::string xml = scriptDocument(std::string("<?xml version=\"1.0\" encoding=\"") + encoding + "\"?>", kEAcute);
        Tree tree = factory.createTreeFromText(xml);
        tree.tickOnce();
        EXPECT_EQ(*tree.rootBlackboard()->find("s"), Value(kEAcute)) << encoding;
    }
}

TEST_F(TreeTest, FilesAreDecodedAsTheirDeclarationSays) {
    auto path = std::filesystem::temp_directory_path() / ("quorvel_latin1_" + std::to_string(::getpid()) + ".xml");
    {
        std::ofstream out(path, std::ios::binary);
        out << scriptDocument("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "\xE9");
    }
    Tree tree = factory.createTreeFromFile(path);
    std::filesystem::remove(path);
    tree.tickOnce();
    EXPECT_EQ(*tree.rootBlackboard()->find("s"), Value(kEAcute));
}

// ---- the pause before re-ticking a finished tree ----

TEST(RetryPause, SkippedWhenANodeAskedToBeTickedAgainAtOnce) {
    WakeSignal wake;
    wake.beginTick();
    wake.requestImmediate();
    EXPECT_FALSE(wake.waitBeforeRetry(60s));
    // A deadline that is already due is the same request.
    wake.beginTick();
    wake.requestWakeAt(Clock::now());
    EXPECT_FALSE(wake.waitBeforeRetry(60s));
    // The requests are cleared: the next finished tick pauses.
    wake.beginTick();
    EXPECT_TRUE(wake.waitBeforeRetry(1ms));
}

TEST(RetryPause, EndsAtAnEarlierDeadlineOrANotify) {
    WakeSignal wake;
    wake.beginTick();
    wake.requestWakeAt(Clock::now() + 5ms);
    EXPECT_TRUE(wake.waitBeforeRetry(3600s));  // returns: the test's time limit guards it

    wake.beginTick();
    std::thread other([&] {
        std::this_thread::sleep_for(20ms);
        wake.notify();
    });
    EXPECT_TRUE(wake.waitBeforeRetry(3600s));
    other.join();
}

}  // namespace
}  // namespace quorvel::testing
