#pragma once

#include <string_view>

#include "program.hpp"
#include "quorvel/blackboard.hpp"
#include "quorvel/value.hpp"

namespace quorvel::script {

// Runs a compiled program against a blackboard and gives the value of its last
// statement. `source` is the text the program was compiled from, quoted by messages.
// Throws ScriptError.
Value execute(const Program& program, std::string_view source, Blackboard& blackboard);

}  // namespace quorvel::script
