#pragma once

#include <string_view>

#include "program.hpp"

namespace quorvel::script {

// Deepest nesting of parentheses, unary operators and conditional expressions a script
// may use. It keeps compiling (which recurses) and running (whose value stack grows with
// nesting) bounded on hostile input, far above anything a tree author writes.
constexpr int kMaxNesting = 200;

// Compiles a whole script. Throws ScriptSyntaxError.
Program parse(std::string_view source);

}  // namespace quorvel::script
