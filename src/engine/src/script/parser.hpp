#pragma once

#include <string_view>

#include "program.hpp"
#include "quorvel/limits.hpp"

namespace quorvel::script {

// Compiles a whole script. Throws ScriptSyntaxError.
Program parse(std::string_view source);

}  // namespace quorvel::script
