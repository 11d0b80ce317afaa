// The script language: values of expressions, assignments, and the errors a tree author
// sees, at compile time (with columns) and at run time (naming expression and entry).
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/blackboard.hpp"
#include "quorvel/script.hpp"

namespace quorvel {
namespace {

struct Thing : Opaque {
    std::string typeName() const override { return "Thing"; }
};

// Kind and value in one text, so that 3 and 3.0 (or 1 and true) never pass for each other.
std::string show(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Empty: return "empty";
        case Value::Kind::Bool: return "bool " + v.describe();
        case Value::Kind::Int: return "int " + v.describe();
        case Value::Kind::Real: return "real " + v.describe();
        case Value::Kind::Text: return "text " + v.describe();
        case Value::Kind::Object: return "object " + v.describe();
    }
    return "?";
}

class ScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        bb = Blackboard::create();
        bb->set("i", 7);
        bb->set("r", 2.5);
        bb->set("t", "12");
        bb->set("s", "abc");
        bb->set("yes", true);
        bb->set("big", int64_t(INT64_MAX));
        bb->set("obj", Value(thing));
    }
    Value run(const std::string& source) { return Script::compile(source)->run(*bb); }
    std::string runError(const std::string& source) {
        auto script = Script::compile(source);
        try {
            script->run(*bb);
        } catch (const ScriptError& e) {
            return e.what();
        }
        return "no error";
    }

    OpaquePtr thing = std::make_shared<Thing>();
    Blackboard::Ptr bb;
};

struct Case {
    const char* source;
    Value expected;
};

class ScriptValue : public ScriptTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ScriptValue, Evaluates) {
    EXPECT_EQ(show(run(GetParam().source)), show(GetParam().expected)) << GetParam().source;
}

// Parameterised cases are named after their script ("1 + 2" becomes c3_1_plus_2 as the
// fourth case), so ctest lists something a reader can find in the tables below.
struct SourceName {
    template <class P>
    std::string operator()(const ::testing::TestParamInfo<P>& info) const {
        static const std::pair<char, const char*> kWords[] = {
            {'+', "plus"}, {'-', "minus"}, {'*', "times"}, {'/', "div"}, {'%', "mod"}, {'<', "lt"},
            {'>', "gt"}, {'=', "eq"}, {'!', "not"}, {'&', "and"}, {'|', "or"}, {'^', "xor"},
            {'.', "dot"}, {':', "colon"}, {';', "semi"}, {'(', "open"}, {')', "close"}, {'?', "if"},
            {'@', "at"}, {'~', "tilde"}, {'{', "lbrace"}, {'}', "rbrace"}};
        std::string name = "c" + std::to_string(info.index) + "_";
        for (char c : std::string(info.param.source)) {
            const char* word = nullptr;
            for (const auto& [symbol, text] : kWords) if (c == symbol) word = text;
            bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (!alnum && !word) { if (name.back() != '_') name += '_'; continue; }
            if (word) { if (name.back() != '_') name += '_'; name += word; name += '_'; continue; }
            name += c;
        }
        while (name.back() == '_') name.pop_back();
        return name.size() > 48 ? name.substr(0, 48) : name;
    }
};

INSTANTIATE_TEST_SUITE_P(Precedence, ScriptValue, ::testing::Values(
    Case{"1 + 2 * 3", 7}, Case{"(1 + 2) * 3", 9}, Case{"10 - 4 - 3", 3}, Case{"100 / 10 / 5", 2},
    Case{"1 + 2 .. 3", "33"}, Case{"'a' .. 1 + 2", "a3"}, Case{"2 .. 3 < 4", false},
    Case{"1 < 2 == 2 < 3", true}, Case{"1 | 2 ^ 3 & 1", 3}, Case{"6 & 3 == 3", 0},
    Case{"1 | 6 == 6", 1}, Case{"true || false && false", true}, Case{"(true || false) && false", false},
    Case{"1 & 3 && 0 | 0", false}, Case{"false ? 1 : true ? 2 : 3", 2},
    Case{"true ? false ? 1 : 2 : 3", 2}, Case{"true ? 1 : 2 + 10", 1}, Case{"0 || 0 ? 'y' : 'n'", "n"},
    Case{"-2 * -3", 6}, Case{"- -2", 2}, Case{"-(2 + 3)", -5}, Case{"!true == false", true},
    Case{"~0", -1}, Case{"~-1 + 1", 1}, Case{"-i * 2", -14}, Case{"!0", true}), SourceName());

INSTANTIATE_TEST_SUITE_P(Numbers, ScriptValue, ::testing::Values(
    Case{"42", 42}, Case{"0x2A", 42}, Case{"0X2a + 1", 43}, Case{"007", 7}, Case{"2.5", 2.5},
    Case{"1e3", 1000.0}, Case{"2.5e-1", 0.25}, Case{"1E+2", 100.0}, Case{"-9223372036854775807", -INT64_MAX},
    Case{"7 / 2", 3}, Case{"-7 / 2", -3}, Case{"7 / -2", -3}, Case{"7.0 / 2", 3.5}, Case{"7 / 2.0", 3.5},
    Case{"2 * 2.5", 5.0}, Case{"2.5 - 0.5", 2.0}, Case{"i + r", 9.5}, Case{"3 - 5", -2},
    Case{"true + 1", 2}, Case{"big - 1 + 1", int64_t(INT64_MAX)},
    Case{"5 & 3", 1}, Case{"5 | 3", 7}, Case{"5 ^ 3", 6}, Case{"~5", -6}, Case{"-0x10 | 1", -15},
    Case{"1e308 * 10", std::numeric_limits<double>::infinity()}), SourceName());

INSTANTIATE_TEST_SUITE_P(Comparisons, ScriptValue, ::testing::Values(
    Case{"2 < 2.5", true}, Case{"3 <= 3.0", true}, Case{"3 >= 3.5", false}, Case{"3 > 2", true},
    Case{"3 != 3.0", false}, Case{"3 == 3.0", true}, Case{"2.5 > 2", true}, Case{"-1 < -0.5", true},
    // Exact at the edge of a real's precision: 2^53 + 1 is no real.
    Case{"9007199254740993 == 9007199254740992.0", false}, Case{"9007199254740993 > 9007199254740992.0", true},
    Case{"9007199254740992 == 9007199254740992.0", true}, Case{"big < 1e19", true}, Case{"big > -1e19", true},
    Case{"1e308 * 10 - 1e308 * 10 == 0", false}, Case{"1e308 * 10 - 1e308 * 10 != 0", true},
    Case{"true == 1", true}, Case{"true > false", true}, Case{"yes == 'true'", true}, Case{"'0' == false", true}), SourceName());

INSTANTIATE_TEST_SUITE_P(Texts, ScriptValue, ::testing::Values(
    Case{"'a' .. 'b'", "ab"}, Case{"'' .. 3", "3"}, Case{"'x' .. 1.5", "x1.5"}, Case{"'x' .. 2.0", "x2.0"},
    Case{"'v' .. true", "vtrue"}, Case{"1 .. 2", "12"}, Case{"'héllo; world'", "héllo; world"},
    Case{"s == 'abc'", true}, Case{"s != 'abd'", true}, Case{"'abc' < 'abd'", true},
    // Two texts compare as texts, even when both read as numbers.
    Case{"'12' == '12.0'", false}, Case{"'10' < '9'", true},
    // A text that reads as a number is that number against numbers and in arithmetic.
    Case{"t + 1", 13}, Case{"t * 2.0", 24.0}, Case{"t > 5", true}, Case{"t == 12", true},
    Case{"'12.0' == 12", true}, Case{"'0x10' + 0", 16}, Case{"-t", -12}, Case{"t & 4", 4}, Case{"'1.5' + 1", 2.5},
    // Double quotes too: the form people write inside single-quoted XML, or as &quot;.
    Case{"\"a'b\" .. 'c\"d'", "a'bc\"d"}, Case{"\"\"", ""},
    // `+` joins as soon as one side is a text that is no number, and adds otherwise.
    Case{"'ab' + 'cd'", "abcd"}, Case{"'ab' + 4", "ab4"}, Case{"4 + 'ab'", "4ab"}, Case{"s + 1", "abc1"},
    Case{"'3' + 4", 7}, Case{"'3' + '4'", 7}, Case{"t + '1'", 13}, Case{"'' + 1", "1"},
    Case{"'dir/' + s + '/' + i", "dir/abc/7"}, Case{"1 + 2 + 'x'", "3x"}, Case{"'x' + 1 + 2", "x12"}), SourceName());

INSTANTIATE_TEST_SUITE_P(Logic, ScriptValue, ::testing::Values(
    Case{"yes && 1", true}, Case{"0 || 0.0", false}, Case{"2 && 'false'", false}, Case{"!'true'", false},
    Case{"!2.5", false}, Case{"'3' && true", true}, Case{"1 && 2", true},
    // Short circuits never look at the entry they skip.
    Case{"false && missing", false}, Case{"true || missing", true}, Case{"false ? missing : 1", 1},
    Case{"true ? 1 : missing", 1}, Case{"0 && (s + 1)", false}), SourceName());

INSTANTIATE_TEST_SUITE_P(Statements, ScriptValue, ::testing::Values(
    Case{"1; 2; 3", 3}, Case{";;1;;", 1}, Case{"a := 1; a + 1", 2}, Case{"x := 5", 5},
    Case{"i += 3", 10}, Case{"a := 'p'; b := a .. 'q'; b", "pq"}, Case{"a := 'p'; a += 'q'; a", "pq"}, Case{"i = i; i", 7}, Case{"@i", 7}), SourceName());

TEST_F(ScriptTest, AssignmentsWriteTheBlackboard) {
    struct Step {
        const char* source;
        const char* key;
        Value expected;
    };
    const std::vector<Step> steps = {
        {"n := 3", "n", 3},
        {"s := 1", "s", 1},  // := may change the kind
        {"i = 'x'", "i", "x"},
        {"r *= 2", "r", 5.0},
        {"i := 9; i /= 2", "i", 4},
        {"i -= 0.5", "i", 3.5},
        {"t += 1", "t", 13},  // the text read as a number; the result is a number
        {"i := 2; i *= i", "i", 4},
        {"c := 0; c += 1; c += 1; c", "c", 2},
        {"u := 'long enough to need the heap, for sure'; v := u", "v", "long enough to need the heap, for sure"},
    };
    for (const auto& step : steps) {
        run(step.source);
        const Value* v = bb->find(step.key);
        ASSERT_NE(v, nullptr) << step.source;
        EXPECT_EQ(show(*v), show(step.expected)) << step.source;
    }
}

TEST_F(ScriptTest, RootEntriesFromAChildBlackboard) {
    auto child = Blackboard::create(bb);
    auto grandchild = Blackboard::create(child);
    auto script = [&](const char* source) { return Script::compile(source)->run(*grandchild); };
    EXPECT_EQ(show(script("@i + 1")), show(Value(8)));
    script("@made := 5");
    ASSERT_NE(bb->find("made"), nullptr);
    EXPECT_EQ(show(*bb->find("made")), show(Value(5)));
    EXPECT_TRUE(grandchild->localEntries().empty());
    EXPECT_TRUE(child->localEntries().empty());
    script("@i = 1; @i += 10");
    EXPECT_EQ(show(*bb->find("i")), show(Value(11)));
    // Without '@' the child's own (missing) entry is meant.
    EXPECT_THROW(script("i + 1"), ScriptError);
    script("local := @s");
    EXPECT_EQ(show(*grandchild->find("local")), show(Value("abc")));
}

TEST_F(ScriptTest, CompiledOnceRunsManyTimes) {
    auto script = Script::compile("n := n + 1; n * 10");
    bb->set("n", 0);
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(show(script->run(*bb)), show(Value(k * 10)));
    auto other = Blackboard::create();
    other->set("n", 100);
    EXPECT_EQ(show(script->run(*other)), show(Value(1010)));
}

TEST_F(ScriptTest, ObjectsAreCopiedButNotComputedWith) {
    run("b := obj");
    ASSERT_NE(bb->find("b"), nullptr);
    EXPECT_EQ(bb->find("b")->object(), thing);
    run("c := yes ? obj : 1");
    EXPECT_EQ(bb->find("c")->object(), thing);
    EXPECT_EQ(run("obj").object(), thing) << "the script's value may be an object";
    for (const char* source : {"obj + 1", "obj == obj", "!obj", "obj .. 'x'", "obj ? 1 : 2", "-obj",
                               "obj && true", "1 < obj", "i += obj"}) {
        const std::string message = runError(source);
        EXPECT_NE(message.find("<Thing>"), std::string::npos) << source << ": " << message;
        EXPECT_NE(message.find("cannot take part in an expression"), std::string::npos) << source << ": " << message;
    }
    bb->set("nothing", Value());
    EXPECT_NE(runError("nothing + 1").find("entry 'nothing'"), std::string::npos);
}

TEST_F(ScriptTest, PrimitivesKeepTheirOriginWhenCopied) {
    auto origin = std::make_shared<Thing>();
    bb->set("p", Value::withOrigin(int64_t(5), origin));
    EXPECT_EQ(show(run("p + 1")), show(Value(6)));
    run("q := p");
    EXPECT_EQ(bb->find("q")->object(), origin);
    run("p += 1");
    EXPECT_EQ(bb->find("p")->object(), nullptr) << "a computed value has no origin";
}

TEST_F(ScriptTest, Conditions) {
    struct Cond {
        const char* source;
        bool expected;
    };
    for (const Cond& c : std::vector<Cond>{{"i > 3", true}, {"0", false}, {"2.5", true}, {"'true'", true},
                                          {"'false'", false}, {"t", true}, {"yes && i == 7", true}}) {
        EXPECT_EQ(Script::compile(c.source)->runCondition(*bb), c.expected) << c.source;
    }
    for (const char* source : {"s", "obj", "s .. 'x'"}) {
        try {
            Script::compile(source)->runCondition(*bb);
            ADD_FAILURE() << source << " gave a Boolean";
        } catch (const ScriptError& e) {
            EXPECT_NE(std::string(e.what()).find("is no Boolean"), std::string::npos) << e.what();
        }
    }
}

struct ErrorCase {
    const char* source;
    std::vector<const char*> mentions;
};

class ScriptRunError : public ScriptTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ScriptRunError, NamesTheExpressionAndTheEntry) {
    const std::string message = runError(GetParam().source);
    for (const char* part : GetParam().mentions)
        EXPECT_NE(message.find(part), std::string::npos) << GetParam().source << " -> " << message;
}

INSTANTIATE_TEST_SUITE_P(Errors, ScriptRunError, ::testing::Values(
    ErrorCase{"y := missing + 1", {"entry 'missing' does not exist", "(in \"y := missing + 1\")"}},
    ErrorCase{"nope = 1", {"entry 'nope' does not exist", "':=' creates", "nope = 1"}},
    ErrorCase{"nope += 1", {"entry 'nope' does not exist"}},
    ErrorCase{"@nope", {"entry '@nope' does not exist"}},
    ErrorCase{"y := 1 - s", {"entry 's' ('abc') is no number", "(in \"1 - s\")"}},
    ErrorCase{"'abc' * 2", {"'abc' is no number", "(in \"'abc' * 2\")"}},
    ErrorCase{"2 * (s .. 'x')", {"\"(s .. 'x')\" ('abcx') is no number"}},
    ErrorCase{"s -= 1", {"entry 's' ('abc') is no number", "s -= 1"}},
    ErrorCase{"1 / 0", {"division by zero", "1 / 0"}},
    ErrorCase{"x := 2 * (i / (3 - 3))", {"division by zero", "(in \"i / (3 - 3)\")"}},
    ErrorCase{"r / 0.0", {"division by zero"}},
    ErrorCase{"i /= 0", {"division by zero", "i /= 0"}},
    ErrorCase{"big + 1", {"integer overflow", "big + 1"}},
    ErrorCase{"-big - 2", {"integer overflow"}},
    ErrorCase{"big * 2", {"integer overflow"}},
    ErrorCase{"(-big - 1) / -1", {"integer overflow"}},
    ErrorCase{"-(-big - 1)", {"integer overflow"}},
    ErrorCase{"big += big", {"integer overflow"}},
    ErrorCase{"s < 1", {"cannot compare entry 's' ('abc'), which is no number, with 1", "(in \"s < 1\")"}},
    ErrorCase{"2.5 == s", {"cannot compare entry 's'"}},
    ErrorCase{"yes == 'maybe'", {"'maybe', which is no Boolean"}},
    ErrorCase{"s && true", {"entry 's' ('abc') is no Boolean", "s && true"}},
    ErrorCase{"true && s", {"entry 's' ('abc') is no Boolean"}},
    ErrorCase{"!s", {"is no Boolean"}},
    ErrorCase{"s ? 1 : 2", {"entry 's' ('abc') is no Boolean", "s ? 1 : 2"}},
    ErrorCase{"r & 1", {"entry 'r' (2.5) is no integer"}},
    ErrorCase{"~r", {"is no integer"}}), SourceName());

struct SyntaxCase {
    std::string source;
    int column;
    const char* mention;
};

class ScriptSyntax : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(ScriptSyntax, ReportsColumn) {
    try {
        Script::compile(GetParam().source);
        FAIL() << GetParam().source << " compiled";
    } catch (const ScriptSyntaxError& e) {
        EXPECT_EQ(e.column(), GetParam().column) << GetParam().source << " -> " << e.what();
        EXPECT_NE(std::string(e.what()).find(GetParam().mention), std::string::npos)
            << GetParam().source << " -> " << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Errors, ScriptSyntax, ::testing::Values(
    SyntaxCase{"", 1, "empty"}, SyntaxCase{"  ;; ", 6, "empty"},
    SyntaxCase{"1 +", 4, "expected an expression but found end of script"},
    SyntaxCase{"(1 + 2", 7, "expected ')'"}, SyntaxCase{"1 + * 2", 5, "found '*'"},
    SyntaxCase{"x = 1 y = 2", 7, "expected ';'"}, SyntaxCase{"a := := 1", 6, "':='"},
    SyntaxCase{"x = 'abc", 5, "closing quote"}, SyntaxCase{"a # b", 3, "unexpected character '#'"},
    SyntaxCase{"7 % 2", 3, "'%'"}, SyntaxCase{"1 + 12abc", 5, "malformed number '12abc'"},
    SyntaxCase{"1.2.3", 1, "malformed number"}, SyntaxCase{"0x", 1, "malformed number"},
    SyntaxCase{"1e", 1, "malformed number"}, SyntaxCase{"99999999999999999999", 1, "out of range"},
    SyntaxCase{"0x8000000000000000", 1, "out of range"}, SyntaxCase{"1e999", 1, "out of range"},
    SyntaxCase{"true := 1", 1, "cannot assign"}, SyntaxCase{"1 = 2", 3, "left side of '='"},
    SyntaxCase{"a + b = 3", 7, "left side"}, SyntaxCase{"(a) := 3", 5, "left side"},
    SyntaxCase{"@ := 1", 1, "'@' must be followed"}, SyntaxCase{"c ? 1", 6, "expected ':'"},
    SyntaxCase{"\"text'", 1, "closing quote"}, SyntaxCase{"()", 2, "found ')'"},
    SyntaxCase{"a..", 4, "expected an expression"}, SyntaxCase{".5", 1, "unexpected character '.'"},
    // Columns count characters, not bytes.
    SyntaxCase{"'é' + é", 7, "unexpected character 'é'"},
    SyntaxCase{std::string(201, '(') + "1" + std::string(201, ')'), 201, "nested too deeply"},
    SyntaxCase{std::string(300, '-') + "1", 200, "nested too deeply"}), SourceName());

TEST(ScriptLimits, DeepButAllowedNestingAndLongChains) {
    auto bb = Blackboard::create();
    // 199 parentheses plus the statement itself: exactly at the limit.
    EXPECT_EQ(show(Script::compile(std::string(199, '(') + "1" + std::string(199, ')'))->run(*bb)), show(Value(1)));
    std::string rightDeep = "1";
    for (int k = 0; k < 40; ++k) rightDeep = "1 + (" + rightDeep + ")";
    EXPECT_EQ(show(Script::compile(rightDeep)->run(*bb)), show(Value(41)));
    // Long flat chains are no nesting: they neither hit the limit nor recurse.
    std::string chain = "0";
    for (int k = 0; k < 100000; ++k) chain += " + 1";
    EXPECT_EQ(show(Script::compile(chain)->run(*bb)), show(Value(100000)));
    std::string ternaries;
    for (int k = 0; k < 300; ++k) ternaries += "false ? 1 : ";
    EXPECT_THROW(Script::compile(ternaries + "0"), ScriptSyntaxError);
}

}  // namespace
}  // namespace quorvel
