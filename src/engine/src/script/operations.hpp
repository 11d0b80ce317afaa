#pragma once

#include <cstdint>

#include "program.hpp"
#include "quorvel/value.hpp"

namespace quorvel::script {

// Why an operation could not produce a value. The operations know values, not source
// text; the machine turns a fault into a message naming the expression and the entry.
enum class Fault : uint8_t {
    None,
    Unusable,        // an object or empty value where a primitive is needed
    NotNumber,       // a text that reads as no number, in arithmetic
    NotInteger,      // a real under a bitwise operator
    NotBoolean,      // no truth value
    Incomparable,    // a text that is no number, compared with a number
    DivisionByZero,
    Overflow,
    TextTooLong,     // a text beyond limits::kMaxTextBytes
};

struct Outcome {
    Fault fault = Fault::None;
    uint8_t operand = 0;  // 0: the first operand, 1: the second
};

// The operations of the language on values, shared by expressions and the update
// assignments. `out` is written only on success.
Outcome applyUnary(Op op, const Value& a, Value& out);
Outcome applyBinary(Op op, const Value& a, const Value& b, Value& out);
Outcome truthOf(const Value& a, bool& out);

}  // namespace quorvel::script
