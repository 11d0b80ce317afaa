#include "lexer.hpp"

#include <charconv>
#include <cmath>

#include "quorvel/errors.hpp"

namespace quorvel::script {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || isDigit(c); }

// The whole UTF-8 character starting at `at`, so that messages never cut one in half.
std::string_view characterAt(std::string_view s, uint32_t at) {
    size_t end = at + 1;
    while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80 && end - at < 4) ++end;
    return s.substr(at, end - at);
}

}  // namespace

int columnOf(std::string_view source, uint32_t offset) {
    int column = 1;
    for (uint32_t i = 0; i < offset && i < source.size(); ++i)
        if ((static_cast<unsigned char>(source[i]) & 0xC0) != 0x80) ++column;
    return column;
}

std::string describeToken(std::string_view source, const Token& token) {
    std::string_view text = source.substr(token.begin, token.end - token.begin);
    switch (token.kind) {
        case Tok::End: return "end of script";
        case Tok::Int:
        case Tok::Real: return "number " + std::string(text);
        case Tok::Text: return "text " + std::string(text);
        case Tok::Name: return "name '" + std::string(text) + "'";
        default: return "'" + std::string(text) + "'";
    }
}

void Lexer::fail(uint32_t at, const std::string& message) const {
    throw ScriptSyntaxError(message, columnOf(src_, at));
}

Token Lexer::number(uint32_t start) {
    Token t;
    t.begin = start;
    const char* first = src_.data() + start;
    size_t p = start;
    bool real = false;
    if (src_[p] == '0' && p + 1 < src_.size() && (src_[p + 1] == 'x' || src_[p + 1] == 'X')) {
        p += 2;
        size_t digits = p;
        while (p < src_.size() && isHexDigit(src_[p])) ++p;
        if (p == digits) fail(start, "malformed number '" + std::string(src_.substr(start, p - start)) + "'");
        uint64_t u = 0;
        auto r = std::from_chars(src_.data() + digits, src_.data() + p, u, 16);
        if (r.ec != std::errc() || u > static_cast<uint64_t>(INT64_MAX))
            fail(start, "integer " + std::string(src_.substr(start, p - start)) + " is out of range");
        t.kind = Tok::Int;
        t.int_value = static_cast<int64_t>(u);
    } else {
        while (p < src_.size() && isDigit(src_[p])) ++p;
        // "1..2" is a concatenation, so a dot makes a fraction only when a digit follows.
        if (p + 1 < src_.size() && src_[p] == '.' && isDigit(src_[p + 1])) {
            real = true;
            ++p;
            while (p < src_.size() && isDigit(src_[p])) ++p;
        }
        if (p < src_.size() && (src_[p] == 'e' || src_[p] == 'E')) {
            size_t q = p + 1;
            if (q < src_.size() && (src_[q] == '+' || src_[q] == '-')) ++q;
            if (q < src_.size() && isDigit(src_[q])) {
                real = true;
                p = q;
                while (p < src_.size() && isDigit(src_[p])) ++p;
            }
        }
        std::string spelled(src_.substr(start, p - start));
        if (real) {
            double d = 0.0;
            auto r = std::from_chars(first, src_.data() + p, d);
            if (r.ec != std::errc() || !std::isfinite(d)) fail(start, "number " + spelled + " is out of range");
            t.kind = Tok::Real;
            t.real_value = d;
        } else {
            int64_t i = 0;
            auto r = std::from_chars(first, src_.data() + p, i);
            if (r.ec != std::errc()) fail(start, "integer " + spelled + " is out of range");
            t.kind = Tok::Int;
            t.int_value = i;
        }
    }
    // "12abc" or "1e" is a typo, not a number followed by a name.
    if (p < src_.size() && (isNameChar(src_[p]) || (src_[p] == '.' && p + 1 < src_.size() && isDigit(src_[p + 1])))) {
        size_t q = p;
        while (q < src_.size() && (isNameChar(src_[q]) || src_[q] == '.')) ++q;
        fail(start, "malformed number '" + std::string(src_.substr(start, q - start)) + "'");
    }
    t.end = static_cast<uint32_t>(p);
    pos_ = t.end;
    return t;
}

Token Lexer::next() {
    while (pos_ < src_.size() &&
           (src_[pos_] == ' ' || src_[pos_] == '\t' || src_[pos_] == '\n' || src_[pos_] == '\r'))
        ++pos_;
    Token t;
    t.begin = pos_;
    if (pos_ >= src_.size()) {
        t.end = pos_;
        return t;
    }
    const uint32_t start = pos_;
    const char c = src_[pos_];
    const char n = pos_ + 1 < src_.size() ? src_[pos_ + 1] : '\0';

    if (isDigit(c)) return number(start);

    if (isNameStart(c) || c == '@') {
        uint32_t p = pos_ + 1;
        if (c == '@' && (p >= src_.size() || !isNameStart(src_[p]))) fail(start, "'@' must be followed by an entry name");
        while (p < src_.size() && isNameChar(src_[p])) ++p;
        std::string_view word = src_.substr(start, p - start);
        t.kind = word == "true" ? Tok::True : word == "false" ? Tok::False : Tok::Name;
        t.end = p;
        pos_ = p;
        return t;
    }

    // Either quote opens a text; XML attributes make the other one the easy one to write.
    if (c == '\'' || c == '"') {
        size_t close = src_.find(c, pos_ + 1);
        if (close == std::string_view::npos) fail(start, "text has no closing quote");
        t.kind = Tok::Text;
        t.end = static_cast<uint32_t>(close + 1);
        pos_ = t.end;
        return t;
    }

    auto op = [&](Tok kind, uint32_t length) {
        t.kind = kind;
        t.end = start + length;
        pos_ = t.end;
        return t;
    };
    switch (c) {
        case '(': return op(Tok::LParen, 1);
        case ')': return op(Tok::RParen, 1);
        case ';': return op(Tok::Semicolon, 1);
        case '?': return op(Tok::Question, 1);
        case '^': return op(Tok::Caret, 1);
        case '~': return op(Tok::Tilde, 1);
        case ':': return n == '=' ? op(Tok::Define, 2) : op(Tok::Colon, 1);
        case '|': return n == '|' ? op(Tok::OrOr, 2) : op(Tok::Pipe, 1);
        case '&': return n == '&' ? op(Tok::AndAnd, 2) : op(Tok::Amp, 1);
        case '=': return n == '=' ? op(Tok::EqEq, 2) : op(Tok::Assign, 1);
        case '!': return n == '=' ? op(Tok::NotEq, 2) : op(Tok::Bang, 1);
        case '<': return n == '=' ? op(Tok::LessEq, 2) : op(Tok::Less, 1);
        case '>': return n == '=' ? op(Tok::GreaterEq, 2) : op(Tok::Greater, 1);
        case '+': return n == '=' ? op(Tok::PlusAssign, 2) : op(Tok::Plus, 1);
        case '-': return n == '=' ? op(Tok::MinusAssign, 2) : op(Tok::Minus, 1);
        case '*': return n == '=' ? op(Tok::StarAssign, 2) : op(Tok::Star, 1);
        case '/': return n == '=' ? op(Tok::SlashAssign, 2) : op(Tok::Slash, 1);
        case '.':
            if (n == '.') return op(Tok::DotDot, 2);
            break;
        default: break;
    }
    fail(start, "unexpected character '" + std::string(characterAt(src_, start)) + "'");
}

}  // namespace quorvel::script
