#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::script {

enum class Tok {
    End,
    Int,
    Real,
    Text,
    Name,  // an entry name, '@' included when present
    True,
    False,
    LParen,
    RParen,
    Semicolon,
    Question,
    Colon,
    OrOr,
    AndAnd,
    Pipe,
    Caret,
    Amp,
    EqEq,
    NotEq,
    Less,
    LessEq,
    Greater,
    GreaterEq,
    DotDot,
    Plus,
    Minus,
    Star,
    Slash,
    Bang,
    Tilde,
    Define,      // :=
    Assign,      // =
    PlusAssign,  // +=
    MinusAssign,
    StarAssign,
    SlashAssign,
};

struct Token {
    Tok kind = Tok::End;
    uint32_t begin = 0;  // byte offsets into the source
    uint32_t end = 0;
    int64_t int_value = 0;
    double real_value = 0.0;
};

// How a token is spelled in messages: "')'", "end of script", "number 12".
std::string describeToken(std::string_view source, const Token& token);

// 1-based column of a byte offset, counting characters (UTF-8 code points), not bytes.
int columnOf(std::string_view source, uint32_t offset);

// Splits a script into tokens one at a time. Throws ScriptSyntaxError.
class Lexer {
public:
    explicit Lexer(std::string_view source) : src_(source) {}
    Token next();

private:
    [[noreturn]] void fail(uint32_t at, const std::string& message) const;
    Token number(uint32_t start);

    std::string_view src_;
    uint32_t pos_ = 0;
};

}  // namespace quorvel::script
