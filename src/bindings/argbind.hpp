#pragma once

// Python methods implemented in C++ that behave like methods of a class written in Python:
// a declaration per method (parameters with their checks and annotations, result check,
// documentation) drives one binder, so no method parses its own arguments and every method
// reports a bad call with the same texts.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::py {

// An owned Python reference; dropped with the GIL held, which our code always holds outside
// a GilRelease (py_support.hpp) scope.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { reset(); }

    void reset() {
        PyObject* p = p_;
        p_ = nullptr;
        Py_XDECREF(p);
    }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

namespace argbind {

// What a parameter accepts. Exact built-in types only: a subclass is refused with a note.
enum class Check : unsigned char { Any, Str, OptStr, Int, List, Dict, OptDict };
// What a result may be besides None; anything else is refused.
enum class ResultCheck : unsigned char { Any, Int, List, Dict };

struct Param {
    const char* name;
    const char* annotation;  // published in __annotations__; nullptr: none
    Check check = Check::Any;
    bool optional = false;   // defaults to None; optional parameters come last
};

// args[0] is the instance; every parameter is bound (None for a missing optional one).
// Returns a new reference, or nullptr with a Python error set.
using Impl = PyObject* (*)(PyObject* const* args);

inline constexpr std::size_t kMaxParams = 8;

struct Method {
    const char* name;
    std::vector<Param> params;      // the instance first, named "self"
    const char* result_annotation;  // nullptr: none published
    ResultCheck result = ResultCheck::Any;
    std::string doc;
    Impl impl = nullptr;
};

// Makes the function object for `decl` (which must outlive it) as a member of the class
// `owner` of module `module`: bound through the descriptor protocol like a Python function,
// with __name__, __qualname__, __module__, __doc__, __annotations__, __defaults__ and
// __signature__. Returns a new reference or nullptr.
PyObject* makeMethod(const Method& decl, const char* module, const char* owner);

// Checks bound arguments, runs the implementation and checks the result: what a call
// through Python does after binding. Our own code calls this to skip the binding step.
PyObject* invoke(const Method& decl, PyObject* const* args);

// Looks up `name` on `obj` as Python would and returns it (new reference); *own tells
// whether it is exactly `method` bound to `obj`, in which case calling invoke() instead is
// the same call. Subclass overrides, instance attributes and __getattribute__ are honoured.
PyObject* lookup(PyObject* obj, PyObject* name, PyObject* method, bool* own);

// The TypeError of a rejected argument (with the note for subclasses of built-in types).
void raiseArgType(const char* param, const char* expected, PyObject* given, bool subclass);

bool ready(PyObject* module);  // prepares the function type once

}  // namespace argbind
}  // namespace quorvel::py
