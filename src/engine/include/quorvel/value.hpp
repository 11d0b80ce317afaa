#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace quorvel {

// A value owned by whoever embeds the engine (the Python layer keeps Python objects
// here). The engine never looks inside; it only copies the handle around. An
// implementation whose release needs a lock of its own (the GIL) takes it in its
// destructor, so the engine may drop handles on any thread.
class Opaque {
public:
    virtual ~Opaque() = default;
    virtual std::string typeName() const = 0;
    virtual std::string repr() const { return "<" + typeName() + ">"; }
};

using OpaquePtr = std::shared_ptr<const Opaque>;

// A blackboard value: nothing, a Boolean, an integer, a real, a text, or an opaque
// object. A primitive that arrived from the embedder may keep the embedder's original
// object beside it (`origin`), so that reading it back yields the very same object
// while engine code works on the primitive without touching the embedder.
class Value {
public:
    enum class Kind { Empty, Bool, Int, Real, Text, Object };

    Value() = default;
    Value(bool b) : prim_(b) {}
    Value(int i) : prim_(static_cast<int64_t>(i)) {}
    Value(int64_t i) : prim_(i) {}
    Value(double d) : prim_(d) {}
    Value(std::string s) : prim_(std::move(s)) {}
    Value(const char* s) : prim_(std::string(s)) {}
    explicit Value(OpaquePtr object) : origin_(std::move(object)) {}

    // A primitive together with the embedder's object it was converted from.
    template <class T>
    static Value withOrigin(T primitive, OpaquePtr origin) {
        Value v(std::move(primitive));
        v.origin_ = std::move(origin);
        return v;
    }

    // Replaces the primitive and keeps the origin handle. For an embedder that holds the only
    // reference to that handle and has just pointed it at the object `primitive` came from,
    // so that storing a new value of the same kind allocates nothing.
    template <class T>
    void reassign(T primitive) {
        prim_ = std::move(primitive);
    }

    Kind kind() const {
        switch (prim_.index()) {
            case 1: return Kind::Bool;
            case 2: return Kind::Int;
            case 3: return Kind::Real;
            case 4: return Kind::Text;
            default: return origin_ ? Kind::Object : Kind::Empty;
        }
    }
    bool empty() const { return kind() == Kind::Empty; }
    bool isPrimitive() const { return prim_.index() != 0; }
    bool isNumber() const { return kind() == Kind::Int || kind() == Kind::Real; }

    const bool* asBool() const { return std::get_if<bool>(&prim_); }
    const int64_t* asInt() const { return std::get_if<int64_t>(&prim_); }
    const double* asReal() const { return std::get_if<double>(&prim_); }
    const std::string* asText() const { return std::get_if<std::string>(&prim_); }
    // The embedder's object: the opaque value itself, or the origin of a primitive.
    const OpaquePtr& object() const { return origin_; }

    // Conversions used by ports and scripts. They return nothing when the value does
    // not convert; a text converts when it reads as that type entirely.
    std::optional<bool> toBool() const;       // Booleans, integers (non-zero), "true"/"false"/"1"/"0"
    std::optional<int64_t> toInt() const;     // integers, integral reals, Booleans, decimal/hex texts
    std::optional<double> toReal() const;     // numbers, Booleans, numeric texts
    std::optional<std::string> toText() const;  // the text form of any primitive

    // A short form for messages: 42, 2.5, 'text', true, <type>. Long texts are cut short.
    std::string describe() const;

    // Same kind and same primitive (objects: same handle).
    bool operator==(const Value& other) const;

private:
    std::variant<std::monostate, bool, int64_t, double, std::string> prim_;
    OpaquePtr origin_;
};

// Text form of a real as scripts and ports print it: shortest round-trip form.
std::string formatReal(double d);

// Parses an integer (decimal or 0x hex, optional sign) or real covering the whole text.
std::optional<int64_t> parseInt(std::string_view text);
std::optional<double> parseReal(std::string_view text);

}  // namespace quorvel
