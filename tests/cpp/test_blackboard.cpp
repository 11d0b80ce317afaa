// Values, blackboards, ports, and how subtrees see their parent's entries.

#include <limits>

#include "tree_fixture.hpp"

namespace quorvel::testing {
namespace {

class Thing : public Opaque {
public:
    std::string typeName() const override { return "Thing"; }
};

TEST(Value, NumberTextsParseWhole) {
    EXPECT_EQ(parseInt("42"), 42);
    EXPECT_EQ(parseInt("-0x2A"), -42);
    EXPECT_EQ(parseInt("+7"), 7);
    EXPECT_EQ(parseInt("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    for (const char* bad : {"", "-", "0x", "4 2", " 42", "42 ", "9223372036854775808", "1.0", "--1", "+-1", "0x-1"}) {
        EXPECT_FALSE(parseInt(bad).has_value()) << bad;
    }
    EXPECT_EQ(parseReal("2.5"), 2.5);
    EXPECT_EQ(parseReal("-1e3"), -1000.0);
    EXPECT_EQ(parseReal(".5"), 0.5);
    EXPECT_EQ(parseReal("0x10"), 16.0);
    for (const char* bad : {"", "inf", "nan", "-inf", "1e999", "2.5x", "e5", "1,5"}) {
        EXPECT_FALSE(parseReal(bad).has_value()) << bad;
    }
}

TEST(Value, ConversionsAndTextForms) {
    EXPECT_EQ(Value("true").toBool(), true);
    EXPECT_EQ(Value("0").toBool(), false);
    EXPECT_FALSE(Value("yes").toBool().has_value());
    EXPECT_EQ(Value(int64_t{3}).toBool(), true);
    EXPECT_EQ(Value(4.0).toInt(), 4);
    EXPECT_FALSE(Value(4.5).toInt().has_value());
    EXPECT_FALSE(Value(1e300).toInt().has_value());
    EXPECT_FALSE(Value(std::numeric_limits<double>::quiet_NaN()).toInt().has_value());
    EXPECT_EQ(Value(true).toInt(), 1);
    EXPECT_EQ(Value("0x10").toInt(), 16);
    EXPECT_EQ(Value("2.5").toReal(), 2.5);
    EXPECT_EQ(Value(2.0).toText(), "2.0");
    EXPECT_EQ(Value(0.1).toText(), "0.1");
    EXPECT_EQ(Value(1e20).toText(), "1e+20");
    EXPECT_EQ(Value(int64_t{-5}).toText(), "-5");
    EXPECT_EQ(Value(false).toText(), "false");
    EXPECT_FALSE(Value().toText().has_value());
    EXPECT_EQ(Value("a").describe(), "'a'");
    EXPECT_EQ(Value(std::make_shared<Thing>()).describe(), "<Thing>");
}

TEST(Value, EqualityAndOrigin) {
    auto thing = std::make_shared<Thing>();
    EXPECT_EQ(Value(int64_t{1}), Value(1));
    EXPECT_FALSE(Value(1) == Value(1.0));
    EXPECT_FALSE(Value(1) == Value("1"));
    EXPECT_EQ(Value(OpaquePtr(thing)), Value(OpaquePtr(thing)));
    EXPECT_FALSE(Value(OpaquePtr(thing)) == Value(OpaquePtr(std::make_shared<Thing>())));
    Value v = Value::withOrigin(int64_t{5}, thing);
    EXPECT_EQ(v.kind(), Value::Kind::Int);
    EXPECT_EQ(v.object(), thing);
    EXPECT_EQ(v, Value(5));
}

TEST(Blackboard, RemapsAutoremapAndRoot) {
    auto root = Blackboard::create();
    auto mid = Blackboard::create(root);
    auto leaf = Blackboard::create(mid);
    mid->addRemap("inner", "outer");
    leaf->addRemap("x", "inner");  // chains: leaf.x -> mid.inner -> root.outer
    leaf->set("x", 1);
    EXPECT_EQ(*root->find("outer"), Value(1));
    EXPECT_EQ(*leaf->find("@outer"), Value(1));
    leaf->set("@g", "global");
    EXPECT_EQ(*root->find("g"), Value("global"));
    leaf->set("local", 2);
    EXPECT_EQ(leaf->find("local")->asInt() != nullptr, true);
    EXPECT_EQ(mid->find("local"), nullptr);

    mid->setAutoRemap(true);
    mid->set("pinned", "mine");
    mid->pinLocal("pinned");
    mid->set("shared", 3);
    EXPECT_EQ(*root->find("shared"), Value(3));
    EXPECT_NE(root->find("pinned"), nullptr);  // written before the pin: went to the root
    mid->set("pinned", "mine");
    EXPECT_EQ(mid->localEntries().size(), 1u);

    EXPECT_TRUE(leaf->erase("x"));
    EXPECT_FALSE(root->contains("outer"));
    EXPECT_FALSE(leaf->erase("x"));
    auto entries = root->localEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].first, "g");  // sorted
}

TEST(Ports, EntryReferences) {
    EXPECT_EQ(parseEntryReference("{key}", "p"), "key");
    EXPECT_EQ(parseEntryReference("{=}", "p"), "p");
    EXPECT_EQ(parseEntryReference("{@key}", "p"), "@key");
    for (const char* literal : {"key", "{}", "{@}", "{a", "a}", "{{a}}", " {a}"}) {
        EXPECT_FALSE(parseEntryReference(literal, "p").has_value()) << literal;
    }
}

// ---- ports of nodes in a tree ----

class PortTest : public TreeTest {
protected:
    PortTest() {
        factory.registerSimpleAction(
            "Read",
            [this](TreeNode& n) {
                read_ = n.getInput("in");
                if (n.hasPort("out")) n.setOutput("out", n.getInputInt("num") * 2);
                return NodeStatus::SUCCESS;
            },
            {InputPort("in", "any", "{=}"), InputPort("num", "int", "21"), OutputPort("out", "int"),
             InputPort("obj", "object")});
        factory.registerSimpleAction("ReadObject", [this](TreeNode& n) {
            read_ = n.getInput("obj");
            return NodeStatus::SUCCESS;
        }, {InputPort("obj", "object")});
    }
    Value read_;
};

TEST_F(PortTest, DefaultsLiteralsAndEntries) {
    Tree tree = load(R"(<Read out="{result}"/>)");
    tree.rootBlackboard()->set("in", "from {=} default");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(read_, Value("from {=} default"));
    EXPECT_EQ(*tree.rootBlackboard()->find("result"), Value(42));

    Tree t2 = load(R"(<Read in="{src}" num="{n}" out="{=}"/>)");
    t2.rootBlackboard()->set("src", 7);
    t2.rootBlackboard()->set("n", "5");  // a text that reads as a number
    EXPECT_EQ(t2.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(read_, Value(7));
    EXPECT_EQ(*t2.rootBlackboard()->find("out"), Value(10));
}

TEST_F(PortTest, ReadErrorsNameNodeAndPort) {
    Tree tree = load(R"(<Read name="r" in="{never}"/>)");
    try {
        tree.tickOnce();
        FAIL();
    } catch (const PortError& e) {
        EXPECT_NE(std::string(e.what()).find("'r' (Read"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("'never'"), std::string::npos) << e.what();
    }
    Tree t2 = load(R"(<Read in="x" num="{n}" out="{o}"/>)");
    t2.rootBlackboard()->set("n", "many");
    try {
        t2.tickOnce();
        FAIL();
    } catch (const PortError& e) {
        EXPECT_NE(std::string(e.what()).find("port 'num': 'many' is not an integer"), std::string::npos) << e.what();
    }
    // The tree is usable again once the entry is right.
    t2.rootBlackboard()->set("n", 1);
    EXPECT_EQ(t2.tickOnce(), NodeStatus::SUCCESS);
}

TEST_F(PortTest, ObjectPortsReadUnwrittenEntriesAsEmpty) {
    Tree tree = load(R"(<ReadObject obj="{nothing}"/>)");
    read_ = Value(1);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_TRUE(read_.empty());
    auto thing = std::make_shared<Thing>();
    tree.rootBlackboard()->set("nothing", Value(OpaquePtr(thing)));
    tree.tickOnce();
    EXPECT_EQ(read_.object(), thing);  // the very object
}

TEST_F(PortTest, OutputsMustBeBoundToEntries) {
    EXPECT_NE(loadError([&] { load(R"(<Read out="3"/>)"); }).find("output port 'out' must name a blackboard entry"),
              std::string::npos);
    factory.registerSimpleAction("WriteIn", [](TreeNode& n) {
        n.setOutput("in", 1);
        return NodeStatus::SUCCESS;
    }, {InputPort("in", "any", "{x}")});
    Tree tree = load(R"(<WriteIn/>)");
    EXPECT_THROW(tree.tickOnce(), PortError);
}

TEST_F(PortTest, UnsetThenWriteAgainThroughCachedBinding) {
    Tree tree = load(R"(<Sequence><Read in="1" out="{v}"/><UnsetBlackboard key="v"/><Read in="{v}"/></Sequence>)");
    EXPECT_THROW(tree.tickOnce(), PortError);
    tree.haltTree();
    Tree t2 = load(R"(<Sequence><UnsetBlackboard key="{v}"/><Read in="1" out="{v}"/><Read in="{v}"/></Sequence>)");
    EXPECT_EQ(t2.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(read_, Value(42));
}

// ---- subtrees ----

TEST_F(TreeTest, SubtreeRemapsLiteralsAndIsolation) {
    Tree tree = factory.createTreeFromText(R"(<root BTCPP_format="4" main_tree_to_execute="Main">
      <BehaviorTree ID="Main">
        <Sequence>
          <Script code="pose := 'here'; secret := 1"/>
          <SubTree ID="Grasp" target="{pose}" speed="0.3" done="{finished}" same="{=}" g="{@global}"/>
        </Sequence>
      </BehaviorTree>
      <BehaviorTree ID="Grasp">
        <Script code="done := target .. '@' .. speed; same := 5; g := 'gg'; own := 1; @rooted := speed * 2"/>
      </BehaviorTree>
    </root>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    auto bb = tree.rootBlackboard();
    EXPECT_EQ(*bb->find("finished"), Value("here@0.3"));
    EXPECT_EQ(*bb->find("same"), Value(5));
    EXPECT_EQ(*bb->find("global"), Value("gg"));
    EXPECT_EQ(*bb->find("rooted"), Value(0.6));
    EXPECT_EQ(bb->find("own"), nullptr);
    EXPECT_EQ(bb->find("speed"), nullptr);
}

TEST_F(TreeTest, SubtreeSeesNothingUnmapped) {
    Tree tree = factory.createTreeFromText(R"(<root BTCPP_format="4" main_tree_to_execute="Main">
      <BehaviorTree ID="Main"><Sequence><Script code="secret := 1"/><SubTree ID="S"/></Sequence></BehaviorTree>
      <BehaviorTree ID="S"><Script code="x := secret"/></BehaviorTree>
    </root>)");
    EXPECT_THROW(tree.tickOnce(), TickError);
}

TEST_F(TreeTest, Autoremap) {
    Tree tree = factory.createTreeFromText(R"(<root BTCPP_format="4" main_tree_to_execute="Main">
      <BehaviorTree ID="Main">
        <Sequence>
          <Script code="a := 1"/>
          <SubTree ID="S" _autoremap="true" k="7" renamed="{b}"/>
        </Sequence>
      </BehaviorTree>
      <BehaviorTree ID="S"><Script code="c := a + 1; k := k + 1; renamed := k"/></BehaviorTree>
    </root>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    auto bb = tree.rootBlackboard();
    EXPECT_EQ(*bb->find("c"), Value(2));
    EXPECT_EQ(*bb->find("b"), Value(8));
    EXPECT_EQ(bb->find("k"), nullptr);  // the literal stays the subtree's own
}

}  // namespace
}  // namespace quorvel::testing
