#include "parser.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>

#include "lexer.hpp"
#include "quorvel/errors.hpp"

namespace quorvel::script {

namespace {

// Binding strength of the binary operators; 0 means "not a binary operator". The
// conditional `? :` binds loosest of all and is parsed on its own.
int precedenceOf(Tok t) {
    switch (t) {
        case Tok::OrOr: return 1;
        case Tok::AndAnd: return 2;
        case Tok::Pipe: return 3;
        case Tok::Caret: return 4;
        case Tok::Amp: return 5;
        case Tok::EqEq:
        case Tok::NotEq: return 6;
        case Tok::Less:
        case Tok::LessEq:
        case Tok::Greater:
        case Tok::GreaterEq: return 7;
        case Tok::DotDot: return 8;
        case Tok::Plus:
        case Tok::Minus: return 9;
        case Tok::Star:
        case Tok::Slash: return 10;
        default: return 0;
    }
}

Op binaryOp(Tok t) {
    switch (t) {
        case Tok::Pipe: return Op::BitOr;
        case Tok::Caret: return Op::BitXor;
        case Tok::Amp: return Op::BitAnd;
        case Tok::EqEq: return Op::Equal;
        case Tok::NotEq: return Op::NotEqual;
        case Tok::Less: return Op::Less;
        case Tok::LessEq: return Op::LessEqual;
        case Tok::Greater: return Op::Greater;
        case Tok::GreaterEq: return Op::GreaterEqual;
        case Tok::DotDot: return Op::Concat;
        case Tok::Plus: return Op::Add;
        case Tok::Minus: return Op::Subtract;
        case Tok::Star: return Op::Multiply;
        default: return Op::Divide;
    }
}

bool isAssignment(Tok t) {
    return t == Tok::Define || t == Tok::Assign || t == Tok::PlusAssign || t == Tok::MinusAssign ||
           t == Tok::StarAssign || t == Tok::SlashAssign;
}

Span join(const Span& a, const Span& b) { return Span{a.begin, b.end, Span::Kind::Other}; }

class Parser {
public:
    explicit Parser(std::string_view source) : src_(source), lexer_(source) {
        tok_ = lexer_.next();
        peek_ = lexer_.next();
    }

    Program script() {
        int statements = 0;
        for (;;) {
            while (tok_.kind == Tok::Semicolon) advance();
            if (tok_.kind == Tok::End) break;
            if (statements > 0) dropPreviousValue();
            statement();
            ++statements;
            if (tok_.kind == Tok::Semicolon || tok_.kind == Tok::End) continue;
            if (isAssignment(tok_.kind))
                fail(tok_, "the left side of '" + text(tok_) + "' must be an entry name");
            fail(tok_, "expected ';' or end of script but found " + describeToken(src_, tok_));
        }
        if (statements == 0) fail(tok_, "the script is empty");
        emit(Instr{Op::Return}, Site{});
        program_.max_stack = max_height_;
        return std::move(program_);
    }

private:
    // Counts one level of nesting for as long as it lives.
    class Nesting {
    public:
        Nesting(Parser& p, const Token& at) : p_(p) {
            if (++p_.nesting_ > limits::kMaxScriptNesting)
                p_.fail(at, "expression nested too deeply (more than " + std::to_string(limits::kMaxScriptNesting) + " levels)");
        }
        ~Nesting() { --p_.nesting_; }

    private:
        Parser& p_;
    };

    [[noreturn]] void fail(const Token& at, const std::string& message) const {
        throw ScriptSyntaxError(message, columnOf(src_, at.begin));
    }

    std::string text(const Token& t) const { return std::string(src_.substr(t.begin, t.end - t.begin)); }

    void advance() {
        tok_ = peek_;
        peek_ = tok_.kind == Tok::End ? tok_ : lexer_.next();
    }

    void expect(Tok kind, const char* spelled) {
        if (tok_.kind != kind) fail(tok_, std::string("expected '") + spelled + "' but found " + describeToken(src_, tok_));
        advance();
    }

    uint32_t emit(Instr instr, Site site) {
        program_.code.push_back(instr);
        program_.sites.push_back(site);
        return static_cast<uint32_t>(program_.code.size() - 1);
    }

    uint32_t here() const { return static_cast<uint32_t>(program_.code.size()); }

    void push() {
        ++height_;
        max_height_ = std::max(max_height_, height_);
    }
    void pop() { --height_; }

    // Scripts written by generators name many thousands of entries; a scan per name
    // would make compiling quadratic in the script's size.
    uint32_t keyIndex(std::string_view key) {
        auto [it, added] = key_index_.try_emplace(key, static_cast<uint32_t>(program_.keys.size()));
        if (added) program_.keys.emplace_back(key);
        return it->second;
    }

    // The previous statement's value is not the script's: a store that ends it need not
    // keep a copy, anything else is popped.
    void dropPreviousValue() {
        Instr& last = program_.code.back();
        if ((last.op == Op::Define || last.op == Op::Assign || last.op == Op::Update) && last.keep) {
            last.keep = false;
        } else {
            emit(Instr{Op::Pop}, Site{});
        }
        pop();
    }

    void statement() {
        const size_t first_load = loads_.size();
        Span whole;
        if (tok_.kind == Tok::Name && isAssignment(peek_.kind)) {
            const Token target = tok_;
            const Tok kind = peek_.kind;
            advance();
            advance();
            const Span value = conditional();
            const Span entry{target.begin, target.end, Span::Kind::Entry};
            whole = join(entry, value);
            Instr instr{kind == Tok::Define ? Op::Define : kind == Tok::Assign ? Op::Assign : Op::Update};
            switch (kind) {
                case Tok::PlusAssign: instr.arith = Op::Add; break;
                case Tok::MinusAssign: instr.arith = Op::Subtract; break;
                case Tok::StarAssign: instr.arith = Op::Multiply; break;
                case Tok::SlashAssign: instr.arith = Op::Divide; break;
                default: break;
            }
            instr.keep = true;
            instr.arg = keyIndex(src_.substr(target.begin, target.end - target.begin));
            emit(instr, Site{whole, entry, value});
        } else {
            if ((tok_.kind == Tok::True || tok_.kind == Tok::False) && isAssignment(peek_.kind))
                fail(tok_, "cannot assign to '" + text(tok_) + "'");
            whole = conditional();
        }
        // A missing entry is reported with the statement that needed it.
        for (size_t i = first_load; i < loads_.size(); ++i) program_.sites[loads_[i]].whole = whole;
        loads_.resize(first_load);
    }

    // cond ? a : b, right-associative.
    Span conditional() {
        const Token start = tok_;
        Nesting nesting(*this, start);
        const Span cond = binary(1);
        if (tok_.kind != Tok::Question) return cond;
        advance();
        const uint32_t jump_to_else = emit(Instr{Op::JumpIfFalse}, Site{cond, cond, {}});
        pop();
        conditional();
        expect(Tok::Colon, ":");
        const uint32_t jump_to_end = emit(Instr{Op::Jump}, Site{});
        pop();  // the other branch pushes the value in its place
        program_.code[jump_to_else].arg = here();
        const Span otherwise = conditional();
        program_.code[jump_to_end].arg = here();
        const Span whole = join(cond, otherwise);
        program_.sites[jump_to_else].whole = whole;
        return whole;
    }

    // Operators binding at least as strongly as `min_precedence`, left-associative.
    Span binary(int min_precedence) {
        Span lhs = unary();
        for (;;) {
            const int prec = precedenceOf(tok_.kind);
            if (prec == 0 || prec < min_precedence) return lhs;
            const Tok op = tok_.kind;
            advance();
            if (op == Tok::AndAnd || op == Tok::OrOr) {
                const uint32_t jump = emit(Instr{op == Tok::AndAnd ? Op::AndJump : Op::OrJump}, Site{lhs, lhs, {}});
                pop();
                const Span rhs = binary(prec + 1);
                const Span whole = join(lhs, rhs);
                emit(Instr{Op::ToBool}, Site{whole, rhs, {}});
                program_.code[jump].arg = here();
                program_.sites[jump].whole = whole;
                lhs = whole;
            } else {
                const Span rhs = binary(prec + 1);
                const Span whole = join(lhs, rhs);
                emit(Instr{binaryOp(op)}, Site{whole, lhs, rhs});
                pop();
                lhs = whole;
            }
        }
    }

    Span unary() {
        if (tok_.kind != Tok::Minus && tok_.kind != Tok::Bang && tok_.kind != Tok::Tilde) return primary();
        const Token op_tok = tok_;
        Nesting nesting(*this, op_tok);
        advance();
        const Span operand = unary();
        const Span whole{op_tok.begin, operand.end, Span::Kind::Other};
        // A negative number literal is a constant, not an operation run on every tick.
        if (op_tok.kind == Tok::Minus && operand.kind == Span::Kind::Literal && program_.code.back().op == Op::PushConst) {
            Value& c = program_.constants[program_.code.back().arg];
            if (const int64_t* i = c.asInt(); i && *i != std::numeric_limits<int64_t>::min()) {
                c = Value(-*i);
                program_.sites.back().whole = Span{whole.begin, whole.end, Span::Kind::Literal};
                return program_.sites.back().whole;
            }
            if (const double* d = c.asReal()) {
                c = Value(-*d);
                program_.sites.back().whole = Span{whole.begin, whole.end, Span::Kind::Literal};
                return program_.sites.back().whole;
            }
        }
        const Op op = op_tok.kind == Tok::Minus ? Op::Negate : op_tok.kind == Tok::Bang ? Op::Not : Op::BitNot;
        emit(Instr{op}, Site{whole, operand, {}});
        return whole;
    }

    Span primary() {
        const Token t = tok_;
        Value constant;
        switch (t.kind) {
            case Tok::Int: constant = Value(t.int_value); break;
            case Tok::Real: constant = Value(t.real_value); break;
            case Tok::True: constant = Value(true); break;
            case Tok::False: constant = Value(false); break;
            case Tok::Text: constant = Value(std::string(src_.substr(t.begin + 1, t.end - t.begin - 2))); break;
            case Tok::Name: {
                advance();
                const Span entry{t.begin, t.end, Span::Kind::Entry};
                Instr instr{Op::Load};
                instr.arg = keyIndex(src_.substr(t.begin, t.end - t.begin));
                loads_.push_back(emit(instr, Site{entry, entry, {}}));
                push();
                return entry;
            }
            case Tok::LParen: {
                advance();  // conditional() counts the nesting
                conditional();
                const Token close = tok_;
                expect(Tok::RParen, ")");
                return Span{t.begin, close.end, Span::Kind::Other};
            }
            default:
                if (isAssignment(t.kind)) fail(t, "'" + text(t) + "' must follow an entry name");
                fail(t, "expected an expression but found " + describeToken(src_, t));
        }
        advance();
        Instr instr{Op::PushConst};
        instr.arg = static_cast<uint32_t>(program_.constants.size());
        program_.constants.push_back(std::move(constant));
        const Span literal{t.begin, t.end, Span::Kind::Literal};
        emit(instr, Site{literal, literal, {}});
        push();
        return literal;
    }

    std::string_view src_;
    Lexer lexer_;
    Token tok_;
    Token peek_;
    Program program_;
    std::vector<uint32_t> loads_;  // Load instructions of the statement being parsed
    std::unordered_map<std::string_view, uint32_t> key_index_;  // views into src_
    int nesting_ = 0;
    uint32_t height_ = 0;
    uint32_t max_height_ = 0;
};

}  // namespace

Program parse(std::string_view source) {
    if (source.size() > std::numeric_limits<uint32_t>::max() / 2) throw ScriptSyntaxError("the script is too long", 1);
    return Parser(source).script();
}

}  // namespace quorvel::script
