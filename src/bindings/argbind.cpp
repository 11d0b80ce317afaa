#include "argbind.hpp"

#include <structmember.h>

namespace quorvel::py::argbind {

namespace {

const char* const kSubclassNote =
    "Subclasses of built-in types are not accepted here: pass an instance of the built-in type itself.";

// The function object: what a `def` in a class body would have produced.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Method* decl;
    PyObject* names[kMaxParams];  // parameter names as Python text, for keyword matching
    PyObject* dict;
};

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

std::size_t requiredCount(const Method& d) {
    std::size_t n = 0;
    while (n < d.params.size() && !d.params[n].optional) ++n;
    return n;
}

void raiseCount(const Method& d, Py_ssize_t given) {
    const auto nmin = static_cast<Py_ssize_t>(requiredCount(d));
    const auto nmax = static_cast<Py_ssize_t>(d.params.size());
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < nmin) {
        expected = nmin;
        more_or_less = "at least";
    } else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (nmin == nmax) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", d.name,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

int nameIndex(const FunctionObject* f, PyObject* key) {
    const int n = static_cast<int>(f->decl->params.size());
    for (int i = 0; i < n; ++i)
        if (f->names[i] == key) return i;
    for (int i = 0; i < n; ++i)
        if (PyUnicode_Compare(f->names[i], key) == 0) return i;
    return -1;
}

// Binds positional and keyword arguments to parameters. Missing required parameters are
// reported before unknown or repeated keywords, and the count reported for a missing one
// is its position: the conventions of compiled Python extensions that callers know.
bool bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values) {
    const Method& d = *f->decl;
    const auto nparams = static_cast<Py_ssize_t>(d.params.size());
    const auto nmin = static_cast<Py_ssize_t>(requiredCount(d));
    if (nargs > nparams) {
        raiseCount(d, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < nmin) {
            raiseCount(d, nargs);
            return false;
        }
    } else {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t unmatched = nkw;
        for (Py_ssize_t i = nargs; i < nparams; ++i) {
            PyObject* found = nullptr;
            for (Py_ssize_t k = 0; k < nkw && !found; ++k)
                if (PyTuple_GET_ITEM(kwnames, k) == f->names[i]) found = kwvalues[k];
            for (Py_ssize_t k = 0; k < nkw && !found; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (PyUnicode_Check(key) && PyUnicode_Compare(key, f->names[i]) == 0) found = kwvalues[k];
            }
            if (found) {
                values[i] = found;
                --unmatched;
            } else if (i < nmin) {
                raiseCount(d, i == 0 ? nargs : i);
                return false;
            }
        }
        if (unmatched > 0) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d.name);
                    return false;
                }
                const int index = nameIndex(f, key);
                if (index >= nargs) continue;
                if (index >= 0)
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", d.name, key);
                else
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d.name, key);
                return false;
            }
        }
    }
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (!values[i]) values[i] = Py_None;
    return true;
}

bool checkArg(const Param& p, PyObject* v) {
    switch (p.check) {
        case Check::Any:
            return true;
        case Check::OptStr:
            if (v == Py_None) return true;
            [[fallthrough]];
        case Check::Str:
            if (PyUnicode_CheckExact(v)) return true;
            raiseArgType(p.name, "str", v, PyUnicode_Check(v));
            return false;
        case Check::Int:
            if (PyLong_CheckExact(v)) return true;
            raiseArgType(p.name, "int", v, PyLong_Check(v));
            return false;
        case Check::List:
            if (PyList_CheckExact(v)) return true;
            raiseArgType(p.name, "list", v, PyList_Check(v));
            return false;
        case Check::OptDict:
            if (v == Py_None) return true;
            [[fallthrough]];
        case Check::Dict:
            if (PyDict_CheckExact(v)) return true;
            raiseArgType(p.name, "dict", v, PyDict_Check(v));
            return false;
    }
    return true;
}

PyObject* checkResult(const Method& d, PyObject* r) {
    if (!r || r == Py_None) return r;
    const char* expected = nullptr;
    switch (d.result) {
        case ResultCheck::Any:
            return r;
        case ResultCheck::Int:
            if (PyLong_CheckExact(r)) return r;
            expected = "int";
            break;
        case ResultCheck::List:
            if (PyList_CheckExact(r)) return r;
            expected = "list";
            break;
        case ResultCheck::Dict:
            if (PyDict_CheckExact(r)) return r;
            expected = "dict";
            break;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    return nullptr;
}

// ---- the function type ----

PyObject* functionVectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    PyObject* values[kMaxParams] = {};
    if (!bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, values)) return nullptr;
    return invoke(*f->decl, values);
}

PyObject* functionGet(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* functionRepr(PyObject* self) {
    PyObject* qualname = PyObject_GetAttrString(self, "__qualname__");
    if (!qualname) return nullptr;
    PyObject* r = PyUnicode_FromFormat("<function %S at %p>", qualname, self);
    Py_DECREF(qualname);
    return r;
}

int functionTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<FunctionObject*>(self)->dict);
    return 0;
}

int functionClear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->dict);
    return 0;
}

void functionDealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(f->dict);
    for (PyObject*& n : f->names) Py_CLEAR(n);
    Py_TYPE(self)->tp_free(self);
}

PyGetSetDef functionGetset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef functionMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

bool setItem(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

// inspect.Signature for help() and inspect.signature(); built once per method.
PyObject* buildSignature(const Method& d) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = parameter ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    Ref empty = signature ? Ref::steal(PyObject_GetAttrString(parameter.get(), "empty")) : Ref();
    Ref kind = empty ? Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")) : Ref();
    Ref params = kind ? Ref::steal(PyList_New(0)) : Ref();
    if (!params) return nullptr;
    for (const Param& p : d.params) {
        Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:O}", "name", p.name, "kind", kind.get()));
        if (!kwargs) return nullptr;
        if (p.optional && PyDict_SetItemString(kwargs.get(), "default", Py_None) < 0) return nullptr;
        if (p.annotation) {
            Ref ann = Ref::steal(PyUnicode_FromString(p.annotation));
            if (!ann || PyDict_SetItemString(kwargs.get(), "annotation", ann.get()) < 0) return nullptr;
        }
        Ref noargs = Ref::steal(PyTuple_New(0));
        if (!noargs) return nullptr;
        Ref param = Ref::steal(PyObject_Call(parameter.get(), noargs.get(), kwargs.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    Ref ret = d.result_annotation ? Ref::steal(PyUnicode_FromString(d.result_annotation)) : Ref::borrow(empty.get());
    if (!ret) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    Ref kwargs = args ? Ref::steal(Py_BuildValue("{s:O}", "return_annotation", ret.get())) : Ref();
    return kwargs ? PyObject_Call(signature.get(), args.get(), kwargs.get()) : nullptr;
}

}  // namespace

void raiseArgType(const char* param, const char* expected, PyObject* given, bool subclass) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(given)->tp_name);
    if (!subclass) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", kSubclassNote);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

PyObject* invoke(const Method& decl, PyObject* const* args) {
    for (std::size_t i = 1; i < decl.params.size(); ++i)
        if (!checkArg(decl.params[i], args[i])) return nullptr;
    return checkResult(decl, decl.impl(args));
}

PyObject* lookup(PyObject* obj, PyObject* name, PyObject* method, bool* own) {
    PyObject* attr = PyObject_GetAttr(obj, name);
    *own = attr && PyMethod_Check(attr) && PyMethod_GET_FUNCTION(attr) == method && PyMethod_GET_SELF(attr) == obj;
    return attr;
}

bool ready(PyObject*) {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_name = "quorvel._native.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_doc = "A method of a Quorvel class implemented in C++.";
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = functionGet;
    FunctionType.tp_repr = functionRepr;
    FunctionType.tp_traverse = functionTraverse;
    FunctionType.tp_clear = functionClear;
    FunctionType.tp_dealloc = functionDealloc;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_getset = functionGetset;
    FunctionType.tp_members = functionMembers;
    return PyType_Ready(&FunctionType) == 0;
}

PyObject* makeMethod(const Method& decl, const char* module, const char* owner) {
    if (decl.params.size() > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return nullptr;
    }
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = functionVectorcall;
    f->decl = &decl;
    for (PyObject*& n : f->names) n = nullptr;
    f->dict = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
    for (std::size_t i = 0; i < decl.params.size(); ++i) {
        f->names[i] = PyUnicode_InternFromString(decl.params[i].name);
        if (!f->names[i]) return nullptr;
    }
    f->dict = PyDict_New();
    if (!f->dict) return nullptr;
    PyObject_GC_Track(self.get());

    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return nullptr;
    PyObject* defaults = nullptr;
    std::size_t noptional = 0;
    for (const Param& p : decl.params) {
        if (p.annotation && !setItem(annotations.get(), p.name, PyUnicode_FromString(p.annotation))) return nullptr;
        if (p.optional) ++noptional;
    }
    if (decl.result_annotation &&
        !setItem(annotations.get(), "return", PyUnicode_FromString(decl.result_annotation)))
        return nullptr;
    if (noptional) {
        defaults = PyTuple_New(static_cast<Py_ssize_t>(noptional));
        if (!defaults) return nullptr;
        for (std::size_t i = 0; i < noptional; ++i) {
            Py_INCREF(Py_None);
            PyTuple_SET_ITEM(defaults, static_cast<Py_ssize_t>(i), Py_None);
        }
    } else {
        defaults = Py_NewRef(Py_None);
    }
    PyObject* d = f->dict;
    if (!setItem(d, "__name__", PyUnicode_FromString(decl.name)) ||
        !setItem(d, "__qualname__", PyUnicode_FromFormat("%s.%s", owner, decl.name)) ||
        !setItem(d, "__module__", PyUnicode_FromString(module)) ||
        !setItem(d, "__doc__", PyUnicode_FromStringAndSize(decl.doc.data(), static_cast<Py_ssize_t>(decl.doc.size()))) ||
        !setItem(d, "__annotations__", annotations.release()) || !setItem(d, "__defaults__", defaults) ||
        !setItem(d, "__signature__", buildSignature(decl)))
        return nullptr;
    return self.release();
}

}  // namespace quorvel::py::argbind
