#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "quorvel/blackboard.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/value.hpp"

namespace quorvel {

// A script compiled once (when the tree loads) and run on every tick without
// re-parsing. Running touches only the blackboard: no embedder call, no lock.
//
// Choices where the language description leaves room:
// - Integer arithmetic never wraps: an overflow (including the most negative integer
//   divided by -1 or negated) is a ScriptError. Literals beyond 64 bits are syntax errors.
// - Booleans count as 0 and 1 in arithmetic and against numbers (true + 1 is 2). A Boolean
//   compared with a text needs a text that reads as one ("true", "false", "1", "0").
// - Two texts compare as texts under every comparison ('10' < '9'), even when both read
//   as numbers; a text meets a number as the number it reads as.
// - Truth (&&, ||, !, ? :, conditions): Booleans, numbers (non-zero), and texts that read
//   as a Boolean or a number. Anything else is a ScriptError.
// - Bitwise operators take integers only: a real operand is a ScriptError.
// - Assignment is a statement (`name op expr`), not an expression; its value is the value
//   stored. A text literal cannot contain a single quote.
// - Nesting (parentheses, unary operators, conditionals) deeper than 200 levels is a
//   syntax error; long flat chains (a + b + ... ) are not nesting.
// - ScriptSyntaxError::what() says what is wrong; column() says where.
class Script {
public:
    virtual ~Script() = default;
    // Throws ScriptSyntaxError.
    static std::shared_ptr<const Script> compile(std::string_view source);
    // The value of the last statement. Throws ScriptError.
    virtual Value run(Blackboard& blackboard) const = 0;
    // Runs and converts the result to a Boolean (conditions); ScriptError when it is none.
    bool runCondition(Blackboard& blackboard) const;
    const std::string& source() const { return source_; }

protected:
    explicit Script(std::string source) : source_(std::move(source)) {}

private:
    std::string source_;
};

}  // namespace quorvel
