// The parsed form a factory keeps of each document: elements, attributes, positions and the
// shared string table, read back as the loader reads them.

#include <string>
#include <vector>

#include "loader/xml_reader.hpp"
#include "tree_fixture.hpp"

namespace quorvel::testing {
namespace {

using loader::parseXml;
using loader::StringTableBuilder;
using loader::XmlDocument;
using loader::XmlElement;
using loader::XmlEncoding;

std::shared_ptr<const XmlDocument> parse(const std::string& text) { return parseXml(text, "", XmlEncoding::Utf8); }

std::vector<std::string> childNames(const XmlElement& el) {
    std::vector<std::string> out;
    for (const XmlElement& child : el.children()) out.emplace_back(child.name());
    return out;
}

std::string attributesOf(const XmlElement& el) {
    std::string out;
    for (const auto& [name, value] : el.attributes()) out += std::string(name) + "=" + std::string(value) + ";";
    return out;
}

TEST(XmlDocument, ChildrenSkipTheirSiblingsDescendants) {
    auto doc = parse("<a><b><c><d/></c><e/></b><f/><g><h/><i/></g><j/></a>");
    XmlElement a = doc->root();
    EXPECT_EQ(childNames(a), (std::vector<std::string>{"b", "f", "g", "j"}));
    EXPECT_EQ(a.children().size(), 4u);
    XmlElement b = a.children().front();
    EXPECT_EQ(childNames(b), (std::vector<std::string>{"c", "e"}));
    EXPECT_EQ(childNames(b.children().front()), (std::vector<std::string>{"d"}));
    std::vector<XmlElement> kids(a.children().begin(), a.children().end());
    EXPECT_EQ(childNames(kids[2]), (std::vector<std::string>{"h", "i"}));
    // The last element of the document, and a leaf in the middle, have no children.
    EXPECT_TRUE(kids[3].children().empty());
    EXPECT_EQ(kids[3].children().begin(), kids[3].children().end());
    EXPECT_TRUE(kids[1].children().empty());
    EXPECT_EQ(doc->elementCount(), 10u);
}

TEST(XmlDocument, AttributesInDocumentOrderWithDecodedValues) {
    auto doc = parse("<r z=\"1\" a=\"\" m=\"&lt;&amp;&#x263A;\"><x/><y k=\"v\"/></r>");
    XmlElement r = doc->root();
    EXPECT_EQ(attributesOf(r), "z=1;a=;m=<&\u263A;");
    ASSERT_TRUE(r.attribute("a").has_value());  // present but empty is not absent
    EXPECT_EQ(*r.attribute("a"), "");
    EXPECT_FALSE(r.attribute("k").has_value());  // a child's attribute is not its parent's
    XmlElement x = r.children().front();
    EXPECT_TRUE(x.attributes().empty());
    EXPECT_FALSE(x.attribute("z").has_value());
    std::vector<XmlElement> kids(r.children().begin(), r.children().end());
    EXPECT_EQ(attributesOf(kids[1]), "k=v;");  // the last element's attributes run to the end
}

TEST(XmlDocument, PositionsAreOneBasedStartTags) {
    auto doc = parse("<root>\n  <a/>\n\t<b\n  x=\"1\"/><c/></root>");
    XmlElement root = doc->root();
    EXPECT_EQ(root.line(), 1);
    EXPECT_EQ(root.column(), 1);
    std::vector<std::pair<int, int>> positions;
    for (const XmlElement& el : root.children()) positions.emplace_back(el.line(), el.column());
    EXPECT_EQ(positions, (std::vector<std::pair<int, int>>{{2, 3}, {3, 2}, {4, 10}}));
}

TEST(XmlDocument, RepeatedStringsAreStoredOnce) {
    std::string text = "<root>";
    for (int i = 0; i < 1000; ++i) text += R"(<Bb inp="{c}" out="{c}" n=")" + std::to_string(i % 3) + R"("/>)";
    text += "</root>";
    auto doc = parse(text);
    // root, Bb, inp, out, n, {c}, 0, 1, 2
    EXPECT_EQ(doc->strings().size(), 9u);
    EXPECT_EQ(doc->root().children().size(), 1000u);
    for (const XmlElement& el : doc->root().children()) EXPECT_EQ(*el.attribute("out"), "{c}");

    // Strings that share a prefix or differ only in length stay apart.
    auto apart = parse(R"(<r a="ab" b="a" c="" d="abc" ab="a"/>)");
    EXPECT_EQ(attributesOf(apart->root()), "a=ab;b=a;c=;d=abc;ab=a;");
}

TEST(XmlDocument, NestingLimitIsExact) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "<e>";
        for (int i = 0; i < depth; ++i) text += "</e>";
        return text;
    };
    EXPECT_EQ(parse(nested(limits::kMaxElementDepth))->elementCount(), size_t(limits::kMaxElementDepth));
    // The element one deeper is named where its start tag begins.
    EXPECT_EQ(loadError([&] { parse(nested(limits::kMaxElementDepth + 1)); }),
              "line 1, column " + std::to_string(3 * limits::kMaxElementDepth + 1) + ": elements nested deeper than " +
                  std::to_string(limits::kMaxElementDepth));
    EXPECT_EQ(loadError([&] { parseXml(std::string(3 * limits::kMaxElementDepth, ' ') + nested(300), "f.xml", XmlEncoding::Utf8); }),
              "f.xml: line 1, column " + std::to_string(6 * limits::kMaxElementDepth + 1) +
                  ": elements nested deeper than " + std::to_string(limits::kMaxElementDepth));
}

// ---- the string table while it is built ----

size_t sameHashForAll(std::string_view) { return 42; }

TEST(StringTableBuilder, GivesEqualStringsOneIdAndKeepsTheRestApart) {
    StringTableBuilder builder;
    std::vector<uint32_t> ids;
    for (int i = 0; i < 20000; ++i) ids.push_back(builder.add("s" + std::to_string(i)));  // grows many times
    for (int i = 0; i < 20000; i += 7) EXPECT_EQ(builder.add("s" + std::to_string(i)), ids[i]);
    EXPECT_EQ(builder.add(""), builder.add(""));
    auto table = builder.finish();
    EXPECT_EQ(table.size(), 20001u);
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(table[ids[i]], "s" + std::to_string(i));
}

TEST(StringTableBuilder, CollidingStringsStayCorrectPastTheProbeBound) {
    // Every string lands on one slot: the first ones are found again, later ones are
    // stored anew each time, and every id still reads back its own text.
    StringTableBuilder builder(sameHashForAll);
    const size_t n = 3 * StringTableBuilder::kMaxProbes;
    std::vector<uint32_t> first, again;
    for (size_t i = 0; i < n; ++i) first.push_back(builder.add("v" + std::to_string(i)));
    for (size_t i = 0; i < n; ++i) again.push_back(builder.add("v" + std::to_string(i)));
    for (size_t i = 0; i < StringTableBuilder::kMaxProbes; ++i) EXPECT_EQ(again[i], first[i]);
    EXPECT_NE(again[n - 1], first[n - 1]);
    auto table = builder.finish();
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(table[first[i]], "v" + std::to_string(i));
        EXPECT_EQ(table[again[i]], "v" + std::to_string(i));
    }
}

// ---- documents kept by a factory ----

TEST_F(TreeTest, TreesOfAReplacedDocumentStillBuild) {
    // B stays defined by the first document after the second one replaces A: the first
    // document must live on for B, and each tree must read its own.
    factory.registerBehaviorTreeFromText(R"(<root BTCPP_format="4">
        <BehaviorTree ID="A"><AlwaysFailure/></BehaviorTree>
        <BehaviorTree ID="B"><Sequence><Act name="from-first" results="FAILURE"/><SubTree ID="A"/></Sequence></BehaviorTree>
    </root>)");
    factory.registerBehaviorTreeFromText(R"(<root BTCPP_format="4">
        <BehaviorTree ID="A"><Inverter><Act name="from-second" results="FAILURE"/></Inverter></BehaviorTree>
    </root>)");
    Tree b = factory.createTree("B");
    EXPECT_EQ(b.tickOnce(), NodeStatus::FAILURE);
    EXPECT_EQ(events(), "from-first:tick");
    Tree a = factory.createTree("A");
    EXPECT_EQ(a.tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(events(), "from-second:tick");
    factory.registerBehaviorTreeFromText(R"(<root BTCPP_format="4"><BehaviorTree ID="B"><AlwaysSuccess/></BehaviorTree></root>)");
    EXPECT_EQ(factory.createTree("A").tickOnce(), NodeStatus::SUCCESS);
    EXPECT_EQ(events(), "from-second:tick");
}

}  // namespace
}  // namespace quorvel::testing
