#pragma once

#include <stdexcept>
#include <string>

namespace quorvel {

// Base of every error the engine raises itself.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The XML (or a script inside it) cannot become a tree. The message already names
// the line (and column where known) and the node.
class LoadError : public Error {
public:
    using Error::Error;
};

// Reading or writing a port failed: undeclared, unbound, unset, or not convertible.
class PortError : public Error {
public:
    using Error::Error;
};

// A tick could not complete: a script error at run time, a node misused.
class TickError : public Error {
public:
    using Error::Error;
};

// A script's syntax error; `column` is 1-based within the script's source. Loading turns it
// into a LoadError naming the node and the attribute.
class ScriptSyntaxError : public Error {
public:
    ScriptSyntaxError(const std::string& message, int column) : Error(message), column_(column) {}
    int column() const { return column_; }

private:
    int column_;
};

// An error while a script runs (missing entry, type mismatch, division by zero, a text
// beyond limits::kMaxTextBytes). Nodes turn it into a TickError naming themselves.
class ScriptError : public Error {
public:
    using Error::Error;
};

}  // namespace quorvel
