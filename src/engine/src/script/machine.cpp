#include "machine.hpp"

#include <memory>
#include <string>

#include "operations.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/limits.hpp"

namespace quorvel::script {

namespace {

// A value on the machine's stack: a pointer to where it lives, which is a constant of the
// program, an entry of the blackboard, or `owned` for a value computed here. Reading an
// entry or a constant therefore copies nothing; no entry is written while an expression
// is being computed, so the pointers stay valid until the statement's store.
struct Slot {
    const Value* ref = nullptr;
    Value owned;
};

Value take(Slot& s) { return s.ref == &s.owned ? std::move(s.owned) : *s.ref; }

void own(Slot& s, Value&& v) {
    s.owned = std::move(v);
    s.ref = &s.owned;
}

// Most scripts need a handful of stack places; only deep nesting goes to the heap.
constexpr uint32_t kInlineSlots = 8;

class Run {
public:
    Run(const Program& program, std::string_view source, Blackboard& blackboard)
        : p_(program), src_(source), bb_(blackboard) {}

    Value operator()() {
        Slot inline_slots[kInlineSlots];
        std::unique_ptr<Slot[]> heap_slots;
        Slot* base = inline_slots;
        if (p_.max_stack > kInlineSlots) {
            heap_slots.reset(new Slot[p_.max_stack]);
            base = heap_slots.get();
        }
        Slot* sp = base;  // the next free place
        const Instr* code = p_.code.data();
        uint32_t pc = 0;
        for (;;) {
            const Instr& in = code[pc];
            switch (in.op) {
                case Op::PushConst:
                    sp->ref = &p_.constants[in.arg];
                    ++sp;
                    break;
                case Op::Load: {
                    const Value* v = bb_.find(p_.keys[in.arg]);
                    if (!v) fail(pc, "entry '" + p_.keys[in.arg] + "' does not exist");
                    sp->ref = v;
                    ++sp;
                    break;
                }
                case Op::Pop: --sp; break;
                case Op::Negate:
                case Op::Not:
                case Op::BitNot: {
                    Slot& a = sp[-1];
                    Value r;
                    Outcome o = applyUnary(in.op, *a.ref, r);
                    if (o.fault != Fault::None) fault(pc, o, *a.ref, *a.ref);
                    own(a, std::move(r));
                    break;
                }
                case Op::ToBool: own(sp[-1], Value(truth(pc, sp[-1]))); break;
                case Op::AndJump:
                case Op::OrJump: {
                    const bool t = truth(pc, sp[-1]);
                    if (t == (in.op == Op::OrJump)) {
                        own(sp[-1], Value(t));
                        pc = in.arg;
                        continue;
                    }
                    --sp;
                    break;
                }
                case Op::JumpIfFalse: {
                    const bool t = truth(pc, sp[-1]);
                    --sp;
                    if (!t) {
                        pc = in.arg;
                        continue;
                    }
                    break;
                }
                case Op::Jump: pc = in.arg; continue;
                case Op::Define: {
                    const std::string& key = p_.keys[in.arg];
                    bb_.set(key, take(sp[-1]));
                    if (in.keep) sp[-1].ref = bb_.find(key);
                    else --sp;
                    break;
                }
                case Op::Assign: {
                    Value* entry = bb_.find(p_.keys[in.arg]);
                    if (!entry)
                        fail(pc, "entry '" + p_.keys[in.arg] + "' does not exist; '=' only overwrites, ':=' creates");
                    *entry = take(sp[-1]);
                    if (in.keep) sp[-1].ref = entry;
                    else --sp;
                    break;
                }
                case Op::Update: {
                    Value* entry = bb_.find(p_.keys[in.arg]);
                    if (!entry) fail(pc, "entry '" + p_.keys[in.arg] + "' does not exist");
                    Value r;
                    Outcome o = applyBinary(in.arith, *entry, *sp[-1].ref, r);
                    if (o.fault != Fault::None) fault(pc, o, *entry, *sp[-1].ref);
                    *entry = std::move(r);
                    if (in.keep) sp[-1].ref = entry;
                    else --sp;
                    break;
                }
                case Op::Return: return take(sp[-1]);
                default: {  // the binary operators
                    Slot& a = sp[-2];
                    const Slot& b = sp[-1];
                    Value r;
                    Outcome o = applyBinary(in.op, *a.ref, *b.ref, r);
                    if (o.fault != Fault::None) fault(pc, o, *a.ref, *b.ref);
                    own(a, std::move(r));
                    --sp;
                    break;
                }
            }
            ++pc;
        }
    }

private:
    bool truth(uint32_t pc, const Slot& s) const {
        bool t = false;
        Outcome o = truthOf(*s.ref, t);
        if (o.fault != Fault::None) fault(pc, o, *s.ref, *s.ref);
        return t;
    }

    std::string_view text(const Span& s) const { return src_.substr(s.begin, s.end - s.begin); }

    // An operand as messages name it: entry 'x' ('abc'), a literal as written, or a
    // sub-expression in double quotes with its value.
    std::string operand(const Span& s, const Value& v) const {
        switch (s.kind) {
            case Span::Kind::Entry: return "entry '" + std::string(text(s)) + "' (" + v.describe() + ")";
            case Span::Kind::Literal: return std::string(text(s));
            default: return "\"" + std::string(text(s)) + "\" (" + v.describe() + ")";
        }
    }

    [[noreturn]] void fail(uint32_t pc, const std::string& detail) const {
        throw ScriptError(detail + " (in \"" + std::string(text(p_.sites[pc].whole)) + "\")");
    }

    [[noreturn]] void fault(uint32_t pc, Outcome o, const Value& a, const Value& b) const {
        const Site& site = p_.sites[pc];
        const std::string which = o.operand == 0 ? operand(site.a, a) : operand(site.b, b);
        switch (o.fault) {
            case Fault::Unusable: fail(pc, which + " cannot take part in an expression");
            case Fault::NotNumber: fail(pc, which + " is no number");
            case Fault::NotInteger: fail(pc, which + " is no integer");
            case Fault::NotBoolean: fail(pc, which + " is no Boolean");
            case Fault::Incomparable: {
                const Value& other_value = o.operand == 0 ? b : a;
                const std::string other = o.operand == 0 ? operand(site.b, b) : operand(site.a, a);
                const char* lacking = other_value.kind() == Value::Kind::Bool ? "Boolean" : "number";
                fail(pc, "cannot compare " + which + ", which is no " + lacking + ", with " + other);
            }
            case Fault::DivisionByZero: fail(pc, "division by zero");
            case Fault::Overflow: fail(pc, "integer overflow");
            case Fault::TextTooLong:
                fail(pc, "the text would be longer than the limit of " + std::to_string(limits::kMaxTextBytes) +
                             " bytes");
            case Fault::None: break;
        }
        fail(pc, "invalid operation");
    }

    const Program& p_;
    std::string_view src_;
    Blackboard& bb_;
};

}  // namespace

Value execute(const Program& program, std::string_view source, Blackboard& blackboard) {
    return Run(program, source, blackboard)();
}

}  // namespace quorvel::script
