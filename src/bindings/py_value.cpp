#include "py_value.hpp"

#include <cstdint>
#include <cstdio>

#include "py_support.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/limits.hpp"

namespace quorvel::py {

PyRef& PyRef::operator=(PyRef&& other) noexcept {
    if (this != &other) {
        reset();
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
    }
    return *this;
}

void PyRef::reset() noexcept {
    PyObject* p = ptr_;
    ptr_ = nullptr;
    if (!p) return;
    if (PyGILState_Check()) {  // the usual case: values replaced by a Python action
        Py_DECREF(p);
        return;
    }
    if (!mayEnterPython()) return;  // shutting down: the object is left alone
    GilAcquire gil;
    Py_DECREF(p);
}

namespace {

OpaquePtr wrap(nb::handle object) { return std::make_shared<const PyOpaque>(object); }

// Calls `use` with the primitive that an exact bool, int within 64 bits, float or str stands
// for, and returns true; returns false, with no Python error set, for anything else. Exact
// types only: a subclass may carry behaviour (an IntEnum, a str with methods) that a
// primitive copy would lose, so it stays an object.
template <class Use>
bool withPrimitive(PyObject* o, Use&& use) {
    if (PyBool_Check(o)) {
        use(o == Py_True);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            use(static_cast<int64_t>(v));
            return true;
        }
        PyErr_Clear();  // beyond 64 bits: engine code sees an object
        return false;
    }
    if (PyFloat_CheckExact(o)) {
        use(PyFloat_AS_DOUBLE(o));
        return true;
    }
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(o, &size);
        if (text) {
            use(std::string(text, static_cast<size_t>(size)));
            return true;
        }
        PyErr_Clear();  // lone surrogates: not UTF-8, keep it as an object
    }
    return false;
}

}  // namespace

Value toValue(nb::handle object) {
    Value value;
    if (withPrimitive(object.ptr(), [&](auto primitive) { value = Value::withOrigin(std::move(primitive), wrap(object)); }))
        return value;
    return Value(wrap(object));
}

void assignValue(Value& target, nb::handle object) {
    // use_count() is exact here: values are copied only by the thread that owns the tree,
    // which is this one.
    if (target.object().use_count() == 1 && target.isPrimitive()) {
        const PyOpaque* held = pyOrigin(target);
        if (held && Py_TYPE(held->object().ptr()) == Py_TYPE(object.ptr()) &&
            withPrimitive(object.ptr(), [&](auto primitive) { target.reassign(std::move(primitive)); })) {
            const_cast<PyOpaque*>(held)->rebind(object);
            return;
        }
    }
    target = toValue(object);
}

nb::object fromValue(const Value& value) {
    if (const OpaquePtr& origin = value.object()) {
        if (const PyOpaque* py = pyOrigin(value)) return nb::borrow(py->object());
        if (!value.isPrimitive()) return nb::str(origin->repr().c_str());
    }
    switch (value.kind()) {
        case Value::Kind::Bool: return nb::bool_(*value.asBool());
        case Value::Kind::Int: return nb::int_(*value.asInt());
        case Value::Kind::Real: return nb::float_(*value.asReal());
        case Value::Kind::Text: {
            const std::string& s = *value.asText();
            return nb::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
        }
        default: return nb::none();
    }
}

nb::object textFromValue(const Value& value) {
    if (value.kind() == Value::Kind::Text) {
        if (const PyOpaque* py = pyOrigin(value)) return nb::borrow(py->object());
        return fromValue(value);
    }
    if (value.isPrimitive()) {
        std::string text = value.toText().value_or(std::string());
        return nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    }
    if (auto* py = dynamic_cast<const PyOpaque*>(value.object().get()))
        return nb::steal(nb::detail::raise_if_null(PyObject_Str(py->object().ptr())));
    if (value.object()) return nb::str(value.object()->repr().c_str());
    return nb::none();
}

std::string_view utf8Of(nb::handle text, const char* what) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data) return {data, static_cast<size_t>(size)};
    nb::python_error cause;
    Py_ssize_t at = -1;
    if (!cause.matches(PyExc_UnicodeEncodeError) || PyUnicodeEncodeError_GetStart(cause.value().ptr(), &at) != 0 ||
        at < 0 || at >= PyUnicode_GetLength(text.ptr())) {
        PyErr_Clear();
        throw cause;
    }
    char detail[96];
    std::snprintf(detail, sizeof detail, "a lone surrogate (U+%04X) at index %zd",
                  static_cast<unsigned>(PyUnicode_ReadChar(text.ptr(), at)), at);
    nb::raise_from(cause, PyExc_ValueError, "%s is not valid Unicode text: %s", what, detail);
}

std::string_view xmlText(nb::handle text) {
    // Every character takes at least one byte: a longer str is refused without encoding it.
    const Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    if (length < 0) throw nb::python_error();
    if (static_cast<size_t>(length) > limits::kMaxDocumentBytes) {
        throw LoadError("the XML text is too large: " + std::to_string(length) + " characters, the limit is " +
                        std::to_string(limits::kMaxDocumentBytes) + " bytes");
    }
    return utf8Of(text, "xml_text");
}

std::string describePythonError(const nb::python_error& error) {
    nb::handle exc = error.value();
    std::string text = nb::type_name(exc.type()).c_str();
    PyObject* msg = PyObject_Str(exc.ptr());
    if (msg) {
        const char* s = PyUnicode_AsUTF8(msg);
        if (s && *s) text += std::string(": ") + s;
        if (!s) PyErr_Clear();
        Py_DECREF(msg);
    } else {
        PyErr_Clear();
    }
    return text;
}

}  // namespace quorvel::py
