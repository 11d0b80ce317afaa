#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvel/value.hpp"

namespace quorvel::script {

// A compiled script is code for a small stack machine. Running it walks the code once,
// so a hostile script cannot make evaluation recurse, and the nesting cap the parser
// applies bounds the value stack.
enum class Op : uint8_t {
    PushConst,  // push constants[arg]
    Load,       // push the entry keys[arg]; error when missing
    Pop,
    // Unary, on the top value.
    Negate,
    Not,
    BitNot,
    // Binary: pop b, replace a with (a op b).
    Add,
    Subtract,
    Multiply,
    Divide,
    Concat,
    Equal,
    NotEqual,
    Less,
    LessEqual,
    Greater,
    GreaterEqual,
    BitAnd,
    BitOr,
    BitXor,
    // Control flow for && || ?: ; `arg` is the target instruction.
    ToBool,       // replace the top with its truth
    AndJump,      // top false: replace with false and jump; otherwise pop
    OrJump,       // top true: replace with true and jump; otherwise pop
    JumpIfFalse,  // pop; jump when false
    Jump,
    // Writes keys[arg] with the top value; `keep` leaves the value for the script's result.
    Define,  // :=
    Assign,  // =, the entry must exist
    Update,  // += -= *= /= : entry = entry `arith` top
    Return,
};

struct Instr {
    Op op;
    Op arith = Op::Add;  // the arithmetic of an Update
    bool keep = false;
    uint32_t arg = 0;
};

// Where a piece of the script came from, for run-time messages.
struct Span {
    enum class Kind : uint8_t { Literal, Entry, Other };
    uint32_t begin = 0;
    uint32_t end = 0;
    Kind kind = Kind::Other;
};

// Per instruction: the expression it computes and its operands (a: first, b: second).
// Load, Define, Assign, Update: `whole` is the statement and `a` the entry.
struct Site {
    Span whole;
    Span a;
    Span b;
};

// The source text stays with the Script; messages quote it through the spans.
struct Program {
    std::vector<Instr> code;
    std::vector<Site> sites;  // parallel to `code`
    std::vector<Value> constants;
    std::vector<std::string> keys;
    uint32_t max_stack = 0;
};

}  // namespace quorvel::script
