// Loading documents: structure, ports, includes, and documents meant to do harm.

#include <string>

#include "tree_fixture.hpp"

namespace quorvel::testing {
namespace {

struct ErrorCase {
    const char* label;
    const char* xml;  // a whole document, or the body of the tree "Main"
    std::vector<const char*> expected;  // substrings of the message
};

std::ostream& operator<<(std::ostream& os, const ErrorCase& c) { return os << c.label; }

class LoadErrors : public TreeTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(LoadErrors, NameTheProblem) {
    const ErrorCase& c = GetParam();
    std::string xml = c.xml;
    bool whole = xml.empty() || xml[0] != '<' || xml.rfind("<root", 0) == 0 || xml.rfind("<?xml", 0) == 0 ||
                 xml.rfind("<tree", 0) == 0;
    if (!whole) xml = doc(xml);
    std::string message = loadError([&] { factory.createTreeFromText(xml); });
    ASSERT_FALSE(message.empty()) << "loaded without error";
    for (const char* part : c.expected) EXPECT_NE(message.find(part), std::string::npos) << message;
}

const ErrorCase kErrorCases[] = {
    {"FormatMissing", R"(<root><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>)",
     {"no BTCPP_format", "\"4\""}},
    {"FormatWrong", R"(<root BTCPP_format="3"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>)",
     {"BTCPP_format=\"3\"", "expected BTCPP_format=\"4\""}},
    {"SeveralTreesNoMain",
     R"(<root BTCPP_format="4"><BehaviorTree ID="A"><AlwaysSuccess/></BehaviorTree><BehaviorTree ID="B"><AlwaysSuccess/></BehaviorTree></root>)",
     {"A, B", "main_tree_to_execute"}},
    {"MainTreeUnknown",
     R"(<root BTCPP_format="4" main_tree_to_execute="X"><BehaviorTree ID="A"><AlwaysSuccess/></BehaviorTree></root>)",
     {"'X'"}},
    {"NoTree", R"(<root BTCPP_format="4"/>)", {"no BehaviorTree"}},
    {"TreeWithTwoChildren",
     R"(<root BTCPP_format="4"><BehaviorTree ID="A"><AlwaysSuccess/><AlwaysSuccess/></BehaviorTree></root>)",
     {"exactly one", "'A'"}},
    {"TreeWithoutId", R"(<root BTCPP_format="4"><BehaviorTree><AlwaysSuccess/></BehaviorTree></root>)", {"without an ID"}},
    {"DuplicateTreeId",
     R"(<root BTCPP_format="4" main_tree_to_execute="A"><BehaviorTree ID="A"><AlwaysSuccess/></BehaviorTree><BehaviorTree ID="A"><AlwaysSuccess/></BehaviorTree></root>)",
     {"defined twice"}},
    {"NotRoot", R"(<tree BTCPP_format="4"/>)", {"<root>"}},
    {"UnexpectedTopElement", R"(<root BTCPP_format="4"><Sequence/></root>)", {"unexpected element <Sequence>"}},
    {"MalformedXml", "<root BTCPP_format=\"4\">\n<BehaviorTree ID=\"M\">\n<Sequence>\n</BehaviorTree></root>",
     {"line 4", "malformed XML"}},
    {"UnknownType", "<root BTCPP_format=\"4\">\n<BehaviorTree ID=\"M\">\n  <Sequence>\n    <Frobnicate/>\n  </Sequence>\n</BehaviorTree></root>",
     {"line 4, column 5", "unknown node type 'Frobnicate'"}},
    {"UnknownTypeById", R"(<Action ID="Nope"/>)", {"unknown node type 'Nope'"}},
    {"CategoryMismatch", R"(<Decorator ID="Sequence"><AlwaysSuccess/></Decorator>)", {"Sequence is a Control, not a Decorator"}},
    {"UndeclaredPort", R"(<Sleep name="nap" msec="5" bogus="1"/>)",
     {"port 'bogus' not declared by node type 'Sleep'", "'nap'"}},
    {"AutoremapOutsideSubTree", R"(<AlwaysSuccess _autoremap="true"/>)", {"only a SubTree takes _autoremap"}},
    {"LeafWithChild", R"(<AlwaysSuccess><AlwaysFailure/></AlwaysSuccess>)", {"takes no children, not 1"}},
    {"DecoratorWithoutChild", R"(<Inverter/>)", {"takes exactly 1 child, not 0"}},
    {"DecoratorWithTwoChildren", R"(<Inverter><AlwaysSuccess/><AlwaysSuccess/></Inverter>)", {"exactly 1 child, not 2"}},
    {"ControlWithoutChild", R"(<Sequence name="s"/>)", {"'s' (Sequence)", "at least 1 child, not 0"}},
    {"IfThenElseOneChild", R"(<IfThenElse><AlwaysSuccess/></IfThenElse>)", {"2 to 3 children, not 1"}},
    {"IfThenElseFourChildren",
     R"(<WhileDoElse><AlwaysSuccess/><AlwaysSuccess/><AlwaysSuccess/><AlwaysSuccess/></WhileDoElse>)",
     {"2 to 3 children, not 4"}},
    {"SwitchChildCount", R"(<Switch2 variable="a" case_1="a" case_2="b"><AlwaysSuccess/><AlwaysSuccess/></Switch2>)",
     {"exactly 3 children, not 2"}},
    {"LiteralNotAnInteger", R"(<Sleep msec="soon"/>)", {"port 'msec'", "'soon' is not an integer"}},
    {"LiteralNotABoolean", R"(<RunOnce then_skip="maybe"><AlwaysSuccess/></RunOnce>)", {"then_skip", "not a Boolean"}},
    {"EmptyReference", R"(<Sleep msec="{}"/>)", {"names no blackboard entry"}},
    {"ConditionSyntaxError", "<root BTCPP_format=\"4\"><BehaviorTree ID=\"M\">\n<AlwaysSuccess name=\"x\" _skipIf=\"a ==\"/></BehaviorTree></root>",
     {"line 2", "'x' (AlwaysSuccess)", "_skipIf", "column"}},
    {"ScriptCodeSyntaxError", R"(<Script name="s" code="a := (1"/>)", {"'s' (Script", "'code'", "column"}},
    {"PreconditionSyntaxError", R"(<Precondition if="1 +"><AlwaysSuccess/></Precondition>)", {"'if'", "column"}},
    {"PreconditionBadElse", R"(<Precondition if="true" else="MAYBE"><AlwaysSuccess/></Precondition>)", {"MAYBE"}},
    {"ScriptWithoutCode", R"(<Script/>)", {"'code'"}},
    {"SubTreeUnknown", R"(<SubTree ID="Ghost"/>)", {"unknown BehaviorTree 'Ghost'"}},
    {"SubTreeWithoutId", R"(<SubTree/>)", {"without an ID"}},
    {"SubTreeRecursion",
     R"(<root BTCPP_format="4" main_tree_to_execute="A"><BehaviorTree ID="A"><SubTree ID="B"/></BehaviorTree><BehaviorTree ID="B"><Sequence><SubTree ID="A"/></Sequence></BehaviorTree></root>)",
     {"SubTree recursion: A -> B -> A"}},
    {"SubTreeSelfRecursion", R"(<SubTree ID="Main"/>)", {"Main -> Main"}},
    {"SubTreeBadAutoremap",
     R"(<root BTCPP_format="4" main_tree_to_execute="A"><BehaviorTree ID="A"><SubTree ID="B" _autoremap="yes"/></BehaviorTree><BehaviorTree ID="B"><AlwaysSuccess/></BehaviorTree></root>)",
     {"_autoremap", "'yes'"}},
};
INSTANTIATE_TEST_SUITE_P(Documents, LoadErrors, ::testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- documents that must be refused without harm ----

const ErrorCase kHostileCases[] = {
    {"BillionLaughs",
     R"(<?xml version="1.0"?>
<!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
<!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">]>
<root BTCPP_format="4"><BehaviorTree ID="M"><Script code="x := '&lol3;'"/></BehaviorTree></root>)",
     {"DTD"}},
    {"ExternalEntity",
     R"(<?xml version="1.0"?><!DOCTYPE r [<!ENTITY xxe SYSTEM "file:///etc/passwd">]><root BTCPP_format="4">&xxe;</root>)",
     {"DTD"}},
    {"UndeclaredEntity", R"(<root BTCPP_format="4">&xxe;</root>)", {"malformed XML"}},
    {"EmptyText", "", {"malformed XML"}},
    {"NotXml", "\x01\x02\xff garbage", {"malformed XML"}},
};
INSTANTIATE_TEST_SUITE_P(Hostile, LoadErrors, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(TreeTest, DeepNestingIsRefused) {
    std::string body;
    for (int i = 0; i < 100000; ++i) body += "<Inverter>";
    body += "<AlwaysSuccess/>";
    for (int i = 0; i < 100000; ++i) body += "</Inverter>";
    EXPECT_NE(loadError([&] { load(body); }).find("nested deeper than 256"), std::string::npos);

    // Just below the limit loads and ticks.
    std::string ok;
    for (int i = 0; i < 250; ++i) ok += "<Inverter>";
    ok += "<AlwaysSuccess/>";
    for (int i = 0; i < 250; ++i) ok += "</Inverter>";
    EXPECT_EQ(load(ok).tickOnce(), NodeStatus::SUCCESS);
}

TEST_F(TreeTest, SubtreeFanOutIsBoundedBeforeBuilding) {
    // Each level uses the next one ten times: 10^8 nodes if expanded.
    std::string xml = R"(<root BTCPP_format="4" main_tree_to_execute="T0">)";
    for (int level = 0; level < 8; ++level) {
        xml += "<BehaviorTree ID=\"T" + std::to_string(level) + "\"><Sequence>";
        for (int i = 0; i < 10; ++i) xml += "<SubTree ID=\"T" + std::to_string(level + 1) + "\"/>";
        xml += "</Sequence></BehaviorTree>";
    }
    xml += "<BehaviorTree ID=\"T8\"><AlwaysSuccess/></BehaviorTree></root>";
    EXPECT_NE(loadError([&] { factory.createTreeFromText(xml); }).find("more than"), std::string::npos);
}

TEST_F(TreeTest, LongSubtreeChainsAreBounded) {
    // Every tree is shallow, but chained they would nest far deeper than any
    // recursive walk should go.
    std::string xml = R"(<root BTCPP_format="4" main_tree_to_execute="T0">)";
    for (int i = 0; i < 3000; ++i) {
        xml += "<BehaviorTree ID=\"T" + std::to_string(i) + "\"><SubTree ID=\"T" + std::to_string(i + 1) +
               "\"/></BehaviorTree>";
    }
    xml += "<BehaviorTree ID=\"T3000\"><AlwaysSuccess/></BehaviorTree></root>";
    EXPECT_NE(loadError([&] { factory.createTreeFromText(xml); }).find("deeper than"), std::string::npos);

    // A chain within the limit loads, ticks and halts.
    std::string ok = R"(<root BTCPP_format="4" main_tree_to_execute="T0">)";
    for (int i = 0; i < 400; ++i) {
        ok += "<BehaviorTree ID=\"T" + std::to_string(i) + "\"><Inverter><SubTree ID=\"T" + std::to_string(i + 1) +
              "\"/></Inverter></BehaviorTree>";
    }
    ok += "<BehaviorTree ID=\"T400\"><Sleep msec=\"10000\"/></BehaviorTree></root>";
    Tree tree = factory.createTreeFromText(ok);
    EXPECT_EQ(tree.nodes().size(), 801u);
    EXPECT_EQ(tree.tickOnce(), NodeStatus::RUNNING);
    tree.haltTree();
}

// ---- includes ----

const std::string kData = QUORVEL_TEST_DATA;

TEST_F(TreeTest, IncludesResolveAgainstTheIncludingFile) {
    Tree tree = factory.createTreeFromFile(kData + "/main_with_include.xml");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    const Value* result = tree.rootBlackboard()->find("result");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(*result, Value("from leaf"));
    auto trees = factory.registeredBehaviorTrees();
    EXPECT_EQ(trees, (std::vector<std::string>{"Child", "Leaf", "Main"}));
}

TEST_F(TreeTest, IncludeProblemsNameTheFile) {
    EXPECT_NE(loadError([&] { factory.createTreeFromFile(kData + "/cycle_a.xml"); }).find("include cycle"),
              std::string::npos);
    EXPECT_NE(loadError([&] { factory.createTreeFromFile(kData + "/cycle_a.xml"); }).find("cycle_a.xml"),
              std::string::npos);
    EXPECT_NE(loadError([&] { factory.createTreeFromFile(kData + "/include_missing.xml"); }).find("no_such_file.xml"),
              std::string::npos);
    // A device would never end (or never answer); only regular files are read.
    EXPECT_NE(loadError([&] { factory.createTreeFromFile(kData + "/include_device.xml"); }).find("not a regular file"),
              std::string::npos);
    EXPECT_NE(loadError([&] { factory.createTreeFromFile(kData + "/absent.xml"); }).find("does not exist"),
              std::string::npos);
}

TEST_F(TreeTest, TextIncludesResolveAgainstWorkingDirectory) {
    std::string xml = R"(<root BTCPP_format="4" main_tree_to_execute="Leaf"><include path=")" + kData +
                      R"(/sub/leaf.xml"/></root>)";
    EXPECT_EQ(factory.createTreeFromText(xml).tickOnce(), NodeStatus::SUCCESS);
    std::string relative = R"(<root BTCPP_format="4"><include path="definitely/not/here.xml"/></root>)";
    EXPECT_NE(loadError([&] { factory.createTreeFromText(relative); }).find("definitely/not/here.xml"),
              std::string::npos);
}

// ---- what a document may contain besides trees ----

TEST_F(TreeTest, CommentsModelsAndNameAttributes) {
    Tree tree = factory.createTreeFromText(R"(<?xml version="1.0" encoding="UTF-8"?>
<root BTCPP_format="4">
  <!-- a comment --><?pi ignored?>
  <BehaviorTree ID="Only">
    <Sequence name="top"><Action ID="AlwaysSuccess" name="ok"/><Condition ID="Act" name="cond"/></Sequence>
  </BehaviorTree>
  <TreeNodesModel><Action ID="Whatever"><input_port name="p"/></Action><Unknown/></TreeNodesModel>
</root>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    std::vector<std::string> seen;
    tree.visit([&](TreeNode& n, int depth) {
        seen.push_back(std::to_string(depth) + ":" + n.name() + "/" + n.typeId() + "/" +
                       std::string(toString(n.status())));
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"0:top/Sequence/SUCCESS", "1:ok/AlwaysSuccess/IDLE",
                                              "1:cond/Act/IDLE"}));
    ASSERT_EQ(tree.nodes().size(), 3u);
    EXPECT_EQ(tree.nodes()[2]->uid(), 2u);
}

TEST_F(TreeTest, EditorAttributesAreKeptAndIgnored) {
    Tree tree = factory.createTreeFromText(R"(<root BTCPP_format="4" main_tree_to_execute="M">
      <BehaviorTree ID="M" _fullpath="">
        <Sequence _collapsed="true" _uid="7" _skipIf="false">
          <SubTree ID="S" _external="false" _collapsed="x"/>
          <AlwaysSuccess _onSucess="done := 1"/>
        </Sequence>
      </BehaviorTree>
      <BehaviorTree ID="S"><AlwaysSuccess/></BehaviorTree>
    </root>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(tree.nodes()[0]->metadata(), (Pairs{{"_collapsed", "true"}, {"_uid", "7"}}));
    EXPECT_EQ(tree.nodes()[1]->metadata(), (Pairs{{"_external", "false"}, {"_collapsed", "x"}}));
    // A misspelt condition is metadata too: it must not run.
    EXPECT_EQ(tree.nodes()[3]->metadata(), (Pairs{{"_onSucess", "done := 1"}}));
    EXPECT_EQ(tree.rootBlackboard()->find("done"), nullptr);

    // One warning per build names each unknown attribute once; the usual editor ones
    // (_uid, _description) go unmentioned.
    auto warnings = factory.takeWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    const std::string& w = warnings[0];
    EXPECT_NE(w.find("'_collapsed' on 2 nodes, first node 'Sequence' (Sequence) at line 3"), std::string::npos) << w;
    EXPECT_NE(w.find("'_onSucess' on node 'AlwaysSuccess'"), std::string::npos) << w;
    EXPECT_NE(w.find("'_external'"), std::string::npos) << w;
    EXPECT_EQ(w.find("_uid"), std::string::npos) << w;
    EXPECT_TRUE(factory.takeWarnings().empty());
    load("<AlwaysSuccess _uid=\"1\"/>");
    EXPECT_TRUE(factory.takeWarnings().empty());
}

TEST_F(TreeTest, NodesKeepTheirPortsLinesAndTreesAsLoaded) {
    Tree tree = factory.createTreeFromText(R"(<root BTCPP_format="4" main_tree_to_execute="M">
      <BehaviorTree ID="M">
        <Sequence>
          <SetBlackboard value="42" output_key="answer"/>
          <SubTree ID="S" _autoremap="true"/>
        </Sequence>
      </BehaviorTree>
      <BehaviorTree ID="S"><SetBlackboard output_key="x" value="{answer}"/></BehaviorTree>
    </root>)");
    ASSERT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    const TreeNode& set = *tree.nodes()[1];
    ASSERT_EQ(set.portCount(), 2u);  // by name, whatever the attribute order
    EXPECT_EQ(set.portNameAt(0), "output_key");
    EXPECT_EQ(set.portNameAt(1), "value");
    EXPECT_FALSE(set.portBindingAt(1).is_entry);
    EXPECT_EQ(set.portBindingAt(1).text, "42");
    EXPECT_EQ(set.line(), 4);
    EXPECT_EQ(set.treeId(), "M");
    const TreeNode& inner = *tree.nodes()[3];
    EXPECT_EQ(inner.treeId(), "S");
    ASSERT_NE(inner.portBinding("value"), nullptr);
    EXPECT_TRUE(inner.portBinding("value")->is_entry);
    EXPECT_EQ(inner.portBinding("value")->text, "answer");
    EXPECT_EQ(inner.portBinding("missing"), nullptr);
    EXPECT_TRUE(inner.metadata().empty());
}

TEST_F(TreeTest, NamedTextDocumentsAreNamedInErrors) {
    std::string bad = "<root BTCPP_format=\"4\">\n<BehaviorTree ID=\"M\"><Nope/></BehaviorTree></root>";
    EXPECT_NE(loadError([&] { factory.createTreeFromText(bad, nullptr, "patrol.xml"); }).find("patrol.xml: line 2"),
              std::string::npos);
    EXPECT_NE(loadError([&] { factory.registerBehaviorTreeFromText("<root/>", "dock.xml"); }).find("dock.xml: "),
              std::string::npos);
    std::string two = R"(<root BTCPP_format="4"><BehaviorTree ID="A"><AlwaysSuccess/></BehaviorTree><BehaviorTree ID="B"><AlwaysSuccess/></BehaviorTree></root>)";
    EXPECT_EQ(loadError([&] { factory.createTreeFromText(two, nullptr, "two.xml"); }).rfind("two.xml: several", 0), 0u);
    std::string unknown_main = R"(<root BTCPP_format="4" main_tree_to_execute="X"><BehaviorTree ID="A"><AlwaysSuccess/></BehaviorTree></root>)";
    EXPECT_EQ(loadError([&] { factory.createTreeFromText(unknown_main, nullptr, "m.xml"); }).rfind("m.xml: ", 0), 0u);
    // Without a name, messages stay as they were.
    EXPECT_EQ(loadError([&] { factory.createTreeFromText(bad); }).rfind("line 2", 0), 0u);
}

TEST_F(TreeTest, ModelTeachesPortsOfRegisteredTypes) {
    factory.registerSimpleAction("Say", [](TreeNode& n) {
        n.setOutput("heard", n.getInput("text"));
        return NodeStatus::SUCCESS;
    });
    const char* body = R"(<Say text="hi" heard="{h}"/>)";
    EXPECT_NE(loadError([&] { load(body); }).find("port 'text' not declared"), std::string::npos);
    Tree tree = factory.createTreeFromText(R"(<root BTCPP_format="4">
      <BehaviorTree ID="M"><Say text="hi" heard="{h}"/></BehaviorTree>
      <TreeNodesModel><Action ID="Say"><input_port name="text"/><output_port name="heard"/></Action></TreeNodesModel>
    </root>)");
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(*tree.rootBlackboard()->find("h"), Value("hi"));
}

TEST_F(TreeTest, RegisteredDefinitionsAreReusedAndReplaced) {
    factory.registerBehaviorTreeFromText(R"(<root BTCPP_format="4"><BehaviorTree ID="X"><AlwaysFailure/></BehaviorTree></root>)");
    EXPECT_EQ(factory.createTree("X").tickOnce(), NodeStatus::FAILURE);
    factory.registerBehaviorTreeFromText(R"(<root BTCPP_format="4"><BehaviorTree ID="X"><AlwaysSuccess/></BehaviorTree></root>)");
    EXPECT_EQ(factory.createTree("X").tickOnce(), NodeStatus::SUCCESS);
    EXPECT_NE(loadError([&] { factory.createTree("Y"); }).find("'Y'"), std::string::npos);
    factory.clearRegisteredBehaviorTrees();
    EXPECT_TRUE(factory.registeredBehaviorTrees().empty());
}

TEST_F(TreeTest, TreeOutlivesItsFactory) {
    Tree tree;
    {
        BehaviorTreeFactory f;
        f.registerSimpleAction("Echo", [](TreeNode& n) { return n.getInputBool("ok") ? NodeStatus::SUCCESS : NodeStatus::FAILURE; },
                               {InputPort("ok", "bool")});
        tree = f.createTreeFromText(doc(R"(<Echo ok="true"/>)"));
    }
    EXPECT_EQ(tree.tickOnce(), NodeStatus::SUCCESS);
}

}  // namespace
}  // namespace quorvel::testing
