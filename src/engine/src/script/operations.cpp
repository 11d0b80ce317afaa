#include "operations.hpp"

#include <cmath>
#include <string>
#include <string_view>

#include "quorvel/limits.hpp"

namespace quorvel::script {

namespace {

constexpr Outcome ok{};
constexpr Outcome fault(Fault f, uint8_t operand = 0) { return Outcome{f, operand}; }

bool usable(const Value& v) { return v.isPrimitive(); }

// A number as arithmetic sees it. Booleans count as 0 and 1, as in Python; a text
// counts when it reads as a number entirely.
struct Num {
    bool real = false;
    int64_t i = 0;
    double r = 0.0;
    double asReal() const { return real ? r : static_cast<double>(i); }
};

Fault toNum(const Value& v, Num& n) {
    switch (v.kind()) {
        case Value::Kind::Bool: n.i = *v.asBool() ? 1 : 0; return Fault::None;
        case Value::Kind::Int: n.i = *v.asInt(); return Fault::None;
        case Value::Kind::Real:
            n.real = true;
            n.r = *v.asReal();
            return Fault::None;
        case Value::Kind::Text:
            if (auto i = parseInt(*v.asText())) {
                n.i = *i;
                return Fault::None;
            }
            if (auto r = parseReal(*v.asText())) {
                n.real = true;
                n.r = *r;
                return Fault::None;
            }
            return Fault::NotNumber;
        default: return Fault::Unusable;
    }
}

Outcome twoNums(const Value& a, const Value& b, Num& x, Num& y) {
    if (!usable(a)) return fault(Fault::Unusable, 0);
    if (!usable(b)) return fault(Fault::Unusable, 1);
    if (Fault f = toNum(a, x); f != Fault::None) return fault(f, 0);
    if (Fault f = toNum(b, y); f != Fault::None) return fault(f, 1);
    return ok;
}

Outcome arithmetic(Op op, const Value& a, const Value& b, Value& out) {
    Num x, y;
    if (Outcome o = twoNums(a, b, x, y); o.fault != Fault::None) return o;
    if (x.real || y.real) {
        const double p = x.asReal(), q = y.asReal();
        switch (op) {
            case Op::Add: out = p + q; break;
            case Op::Subtract: out = p - q; break;
            case Op::Multiply: out = p * q; break;
            default:
                if (q == 0.0) return fault(Fault::DivisionByZero);
                out = p / q;
        }
        return ok;
    }
    // Integers never wrap: an overflow is reported rather than giving a wrong number.
    int64_t r = 0;
    bool overflow = false;
    switch (op) {
        case Op::Add: overflow = __builtin_add_overflow(x.i, y.i, &r); break;
        case Op::Subtract: overflow = __builtin_sub_overflow(x.i, y.i, &r); break;
        case Op::Multiply: overflow = __builtin_mul_overflow(x.i, y.i, &r); break;
        default:
            if (y.i == 0) return fault(Fault::DivisionByZero);
            if (x.i == INT64_MIN && y.i == -1) return fault(Fault::Overflow);
            r = x.i / y.i;  // truncates toward zero
    }
    if (overflow) return fault(Fault::Overflow);
    out = r;
    return ok;
}

Outcome bitwise(Op op, const Value& a, const Value& b, Value& out) {
    Num x, y;
    if (Outcome o = twoNums(a, b, x, y); o.fault != Fault::None) return o;
    if (x.real) return fault(Fault::NotInteger, 0);
    if (y.real) return fault(Fault::NotInteger, 1);
    switch (op) {
        case Op::BitAnd: out = x.i & y.i; break;
        case Op::BitOr: out = x.i | y.i; break;
        default: out = x.i ^ y.i;
    }
    return ok;
}

// -1, 0, 1, or 2 when unordered (NaN).
constexpr int kUnordered = 2;

int compareReal(double p, double q) {
    if (std::isnan(p) || std::isnan(q)) return kUnordered;
    return p < q ? -1 : p > q ? 1 : 0;
}

// Exact, where converting the integer to a real would round above 2^53.
int compareIntReal(int64_t i, double d) {
    if (std::isnan(d)) return kUnordered;
    if (d >= 9223372036854775808.0) return -1;
    if (d < -9223372036854775808.0) return 1;
    const double whole = std::trunc(d);
    const auto w = static_cast<int64_t>(whole);
    if (i != w) return i < w ? -1 : 1;
    const double frac = d - whole;
    return frac > 0 ? -1 : frac < 0 ? 1 : 0;
}

int compareNums(const Num& x, const Num& y) {
    if (!x.real && !y.real) return x.i < y.i ? -1 : x.i > y.i ? 1 : 0;
    if (x.real && y.real) return compareReal(x.r, y.r);
    if (!x.real) return compareIntReal(x.i, y.r);
    const int c = compareIntReal(y.i, x.r);
    return c == kUnordered ? c : -c;
}

Outcome compare(const Value& a, const Value& b, int& order) {
    if (!usable(a)) return fault(Fault::Unusable, 0);
    if (!usable(b)) return fault(Fault::Unusable, 1);
    const auto ka = a.kind(), kb = b.kind();
    if (ka == Value::Kind::Text && kb == Value::Kind::Text) {
        const int c = a.asText()->compare(*b.asText());
        order = c < 0 ? -1 : c > 0 ? 1 : 0;
        return ok;
    }
    // A Boolean against a text: the text must read as a Boolean ("true", "false", "1",
    // "0"), which is how Booleans arrive from literal XML attributes.
    if (ka == Value::Kind::Bool && kb == Value::Kind::Text) {
        auto t = b.toBool();
        if (!t) return fault(Fault::Incomparable, 1);
        order = int(*a.asBool()) - int(*t);
        return ok;
    }
    if (kb == Value::Kind::Bool && ka == Value::Kind::Text) {
        auto t = a.toBool();
        if (!t) return fault(Fault::Incomparable, 0);
        order = int(*t) - int(*b.asBool());
        return ok;
    }
    Num x, y;
    if (toNum(a, x) != Fault::None) return fault(Fault::Incomparable, 0);
    if (toNum(b, y) != Fault::None) return fault(Fault::Incomparable, 1);
    order = compareNums(x, y);
    return ok;
}

Outcome concat(const Value& a, const Value& b, Value& out) {
    if (!usable(a)) return fault(Fault::Unusable, 0);
    if (!usable(b)) return fault(Fault::Unusable, 1);
    // The text forms of numbers are short; only texts need measuring before allocating.
    const std::string* ta = a.asText();
    const std::string* tb = b.asText();
    if ((ta ? ta->size() : 0) + (tb ? tb->size() : 0) > limits::kMaxTextBytes) return fault(Fault::TextTooLong);
    std::string joined;
    if (ta) joined = *ta;
    else joined = *a.toText();
    if (tb) joined += *tb;
    else joined += *b.toText();
    if (joined.size() > limits::kMaxTextBytes) return fault(Fault::TextTooLong);
    out = std::move(joined);
    return ok;
}

// A text that does not read as a number: `+` joins when it meets one.
bool isWord(const Value& v) {
    const std::string* t = v.asText();
    return t && !parseInt(*t) && !parseReal(*t);
}

}  // namespace

Outcome truthOf(const Value& a, bool& out) {
    switch (a.kind()) {
        case Value::Kind::Bool: out = *a.asBool(); return ok;
        case Value::Kind::Int: out = *a.asInt() != 0; return ok;
        case Value::Kind::Real: out = *a.asReal() != 0.0; return ok;
        case Value::Kind::Text: {
            if (auto b = a.toBool()) {
                out = *b;
                return ok;
            }
            Num n;
            if (toNum(a, n) != Fault::None) return fault(Fault::NotBoolean);
            out = n.real ? n.r != 0.0 : n.i != 0;
            return ok;
        }
        default: return fault(Fault::Unusable);
    }
}

Outcome applyUnary(Op op, const Value& a, Value& out) {
    if (!usable(a)) return fault(Fault::Unusable);
    if (op == Op::Not) {
        bool t = false;
        if (Outcome o = truthOf(a, t); o.fault != Fault::None) return o;
        out = !t;
        return ok;
    }
    Num n;
    if (Fault f = toNum(a, n); f != Fault::None) return fault(f);
    if (op == Op::BitNot) {
        if (n.real) return fault(Fault::NotInteger);
        out = ~n.i;
        return ok;
    }
    if (n.real) {
        out = -n.r;
    } else {
        if (n.i == INT64_MIN) return fault(Fault::Overflow);
        out = -n.i;
    }
    return ok;
}

Outcome applyBinary(Op op, const Value& a, const Value& b, Value& out) {
    switch (op) {
        case Op::Add:
            // Scripts build paths and names with `+`; numbers that arrived as texts (from a
            // port, from XML) still add.
            if (isWord(a) || isWord(b)) return concat(a, b, out);
            return arithmetic(op, a, b, out);
        case Op::Subtract:
        case Op::Multiply:
        case Op::Divide: return arithmetic(op, a, b, out);
        case Op::BitAnd:
        case Op::BitOr:
        case Op::BitXor: return bitwise(op, a, b, out);
        case Op::Concat: return concat(a, b, out);
        default: break;
    }
    int order = 0;
    if (Outcome o = compare(a, b, order); o.fault != Fault::None) return o;
    bool r = false;
    switch (op) {
        case Op::Equal: r = order == 0; break;
        case Op::NotEqual: r = order != 0; break;
        case Op::Less: r = order == -1; break;
        case Op::LessEqual: r = order == -1 || order == 0; break;
        case Op::Greater: r = order == 1; break;
        default: r = order == 1 || order == 0; break;
    }
    out = r;
    return ok;
}

}  // namespace quorvel::script
