#pragma once

// Python objects inside the engine: a reference that may be dropped on any thread, the
// opaque blackboard value that holds one, and the conversions between engine values and
// Python objects.

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <typeinfo>

#include "quorvel/value.hpp"

namespace quorvel::py {

namespace nb = nanobind;

// Owns one strong reference. The engine destroys nodes and values on whatever thread it
// happens to run, often with the GIL released, so the destructor takes the GIL for the
// decref itself; while the interpreter shuts down the reference is deliberately leaked
// (touching Python then would crash).
class PyRef {
public:
    PyRef() = default;
    // Takes a new reference to `object`; the GIL must be held.
    explicit PyRef(nb::handle object) : ptr_(object.inc_ref().ptr()) {}
    ~PyRef() { reset(); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept;

    PyObject* ptr() const { return ptr_; }
    nb::handle handle() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Drops the reference (any thread, GIL held or not).
    void reset() noexcept;
    // Holds `object` instead; GIL held, so the old reference is dropped without asking.
    void replace(nb::handle object) noexcept {
        PyObject* old = ptr_;
        ptr_ = Py_NewRef(object.ptr());
        Py_XDECREF(old);
    }

private:
    PyObject* ptr_ = nullptr;
};

// A blackboard value that is a Python object. The type name is kept so that the engine can
// name the type in messages without the GIL: a static type's name is static text, a heap
// type's is copied (assigning a class's __name__ frees the text tp_name points to).
class PyOpaque final : public Opaque {
public:
    explicit PyOpaque(nb::handle object) : ref_(object) { nameType(Py_TYPE(object.ptr())); }
    std::string typeName() const override { return static_name_ ? std::string(static_name_) : heap_name_; }
    nb::handle object() const { return ref_.handle(); }

    // Points this value at `object`, an object of the same exact type, in place. Only for
    // the holder of the sole reference to this PyOpaque (use_count() == 1), GIL held.
    void rebind(nb::handle object) { ref_.replace(object); }

private:
    void nameType(PyTypeObject* type) {
        if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) heap_name_ = type->tp_name;
        else static_name_ = type->tp_name;
    }

    PyRef ref_;
    const char* static_name_ = nullptr;
    std::string heap_name_;
};

// The Python object an engine value holds, if any (borrowed): the opaque value, or the
// origin of a primitive.
inline const PyOpaque* pyOrigin(const Value& value) {
    const Opaque* origin = value.object().get();
    // PyOpaque is final: comparing the dynamic type is all a cast would do, and cheaper.
    return origin && typeid(*origin) == typeid(PyOpaque) ? static_cast<const PyOpaque*>(origin) : nullptr;
}

// Python -> engine value (GIL held). Exact bool, int (within 64 bits), float and str become
// primitives that remember their object; None and everything else become opaque values.
Value toValue(nb::handle object);

// Stores `object` into `target`, as `target = toValue(object)` would, but reuses the
// PyOpaque `target` already holds when it is the only holder and the new object has the same
// exact type (GIL held). An action that writes a port on every tick allocates nothing then.
void assignValue(Value& target, nb::handle object);

// Engine value -> Python object (GIL held): the remembered object when there is one,
// otherwise a new bool/int/float/str; an empty value gives None.
nb::object fromValue(const Value& value);

// Text of an engine value for getInputString (GIL held): a str origin is returned as is.
nb::object textFromValue(const Value& value);

// The UTF-8 form of the str `text`, without a copy: Python keeps it in the object, which
// the caller keeps alive while it uses the view. A str holding a lone surrogate has no UTF-8
// form; that raises ValueError naming `what` and the position, the UnicodeEncodeError as its
// cause. GIL held.
std::string_view utf8Of(nb::handle text, const char* what);

// XML handed over as a str: its UTF-8 form, as utf8Of. A text beyond
// limits::kMaxDocumentBytes is refused with LoadError before it is encoded. GIL held.
std::string_view xmlText(nb::handle text);

// "ValueError: message" for the Python exception held by `error` (GIL held).
std::string describePythonError(const nb::python_error& error);

}  // namespace quorvel::py
