#include "quorvel/value.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace quorvel {

namespace {

// A number's body, after an optional sign: hex integers handled by the caller,
// otherwise it must start like a decimal number so that "inf", "nan" and stray
// blanks never read as numbers.
bool looksDecimal(std::string_view body) {
    if (body.empty()) return false;
    char c = body.front();
    return (c >= '0' && c <= '9') || c == '.';
}

}  // namespace

std::optional<int64_t> parseInt(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    // Reject a second sign: from_chars would not, but "--5" is no integer.
    if (text.front() == '+' || text.front() == '-') return std::nullopt;
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr uint64_t max_pos = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (negative) {
        if (magnitude > max_pos + 1) return std::nullopt;
        if (magnitude == max_pos + 1) return std::numeric_limits<int64_t>::min();
        return -static_cast<int64_t>(magnitude);
    }
    if (magnitude > max_pos) return std::nullopt;
    return static_cast<int64_t>(magnitude);
}

std::optional<double> parseReal(std::string_view text) {
    if (auto i = parseInt(text)) return static_cast<double>(*i);
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (!looksDecimal(body)) return std::nullopt;
    double d = 0;
    auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), d, std::chars_format::general);
    // Out of range texts ("1e999") are no numbers rather than silently infinite.
    if (ec != std::errc() || end != body.data() + body.size()) return std::nullopt;
    return negative ? -d : d;
}

std::string formatReal(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string out(buf, ec == std::errc() ? end : buf);
    // A real keeps looking like a real ("2.0", not "2"), as Python prints it.
    if (out.find_first_of(".eE") == std::string::npos) out += ".0";
    return out;
}

std::optional<bool> Value::toBool() const {
    switch (kind()) {
        case Kind::Bool: return *asBool();
        case Kind::Int: return *asInt() != 0;
        case Kind::Text: {
            const std::string& t = *asText();
            if (t == "true" || t == "True" || t == "TRUE" || t == "1") return true;
            if (t == "false" || t == "False" || t == "FALSE" || t == "0") return false;
            return std::nullopt;
        }
        default: return std::nullopt;
    }
}

std::optional<int64_t> Value::toInt() const {
    switch (kind()) {
        case Kind::Bool: return *asBool() ? 1 : 0;
        case Kind::Int: return *asInt();
        case Kind::Real: {
            double d = *asReal();
            // The range test is written so that NaN fails it too.
            if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return std::nullopt;
            if (std::trunc(d) != d) return std::nullopt;
            return static_cast<int64_t>(d);
        }
        case Kind::Text: return parseInt(*asText());
        default: return std::nullopt;
    }
}

std::optional<double> Value::toReal() const {
    switch (kind()) {
        case Kind::Bool: return *asBool() ? 1.0 : 0.0;
        case Kind::Int: return static_cast<double>(*asInt());
        case Kind::Real: return *asReal();
        case Kind::Text: return parseReal(*asText());
        default: return std::nullopt;
    }
}

std::optional<std::string> Value::toText() const {
    switch (kind()) {
        case Kind::Bool: return std::string(*asBool() ? "true" : "false");
        case Kind::Int: return std::to_string(*asInt());
        case Kind::Real: return formatReal(*asReal());
        case Kind::Text: return *asText();
        default: return std::nullopt;
    }
}

std::string Value::describe() const {
    switch (kind()) {
        case Kind::Empty: return "<empty>";
        case Kind::Text: {
            // Messages quote values; a text of megabytes would make the message the problem.
            constexpr size_t kQuoted = 200;
            const std::string& t = *asText();
            if (t.size() <= kQuoted) return "'" + t + "'";
            size_t cut = kQuoted;
            while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;  // whole characters
            return "'" + t.substr(0, cut) + "...' (" + std::to_string(t.size()) + " bytes)";
        }
        case Kind::Object: return "<" + origin_->typeName() + ">";
        default: return *toText();
    }
}

bool Value::operator==(const Value& other) const {
    if (isPrimitive() || other.isPrimitive()) return prim_ == other.prim_;
    return origin_ == other.origin_;
}

}  // namespace quorvel
