#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "quorvel/blackboard.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/value.hpp"

namespace quorvel {

// A syntax error; `column` is 1-based within the script's source.
class ScriptSyntaxError : public Error {
public:
    ScriptSyntaxError(const std::string& message, int column) : Error(message), column_(column) {}
    int column() const { return column_; }

private:
    int column_;
};

// An error while a script runs (missing entry, type mismatch, division by zero).
class ScriptError : public Error {
public:
    using Error::Error;
};

// A script compiled once (when the tree loads) and run on every tick without
// re-parsing. Running touches only the blackboard: no embedder call, no lock.
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
