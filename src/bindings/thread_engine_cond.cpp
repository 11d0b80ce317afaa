// The condition object stored under a record's "cond": threading.Condition's interface on
// top of sync::Condition. Every blocking step gives up the GIL first, so a thread holding
// the native lock can always get the GIL it may need to finish.

#include <cmath>
#include <new>

#include "thread_engine.hpp"

namespace quorvel::py::te {

PyTypeObject CondType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

CondObject* self_(PyObject* o) { return reinterpret_cast<CondObject*>(o); }

PyObject* condNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if ((args && PyTuple_GET_SIZE(args) != 0) || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "ThreadCondition() takes no arguments");
        return nullptr;
    }
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    CondObject* c = self_(o);
    new (&c->cond) sync::Condition();
    new (&c->turn) sync::FairMutex();
    new (&c->sender_token) std::atomic<std::uintptr_t>(0);
    new (&c->stop_requested) std::atomic<bool>(false);
    new (&c->orphaned) std::atomic<bool>(false);
    new (&c->worker_ended) std::atomic<bool>(false);
    new (&c->worker_token) std::atomic<std::uintptr_t>(0);
    new (&c->created) sync::Gate();
    c->engine = nullptr;
    return o;
}

int condTraverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(self_(o)->engine);
    return 0;
}

int condClear(PyObject* o) {
    Py_CLEAR(self_(o)->engine);
    return 0;
}

void condDealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    CondObject* c = self_(o);
    Py_CLEAR(c->engine);
    c->created.~Gate();
    c->turn.~FairMutex();
    c->cond.~Condition();
    Py_TYPE(o)->tp_free(o);
}

bool notOwned(CondObject* c, const char* what) {
    if (c->cond.isOwned()) return false;
    PyErr_Format(PyExc_RuntimeError, "cannot %s un-acquired lock", what);
    return true;
}

// A timeout in seconds (None: no limit) as a deadline; false with an error for a bad value.
bool deadlineFrom(PyObject* timeout, bool* limited, sync::Clock::time_point* deadline) {
    *limited = timeout && timeout != Py_None;
    if (!*limited) return true;
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(seconds)) {
        PyErr_SetString(PyExc_ValueError, "Invalid value NaN (not a number)");
        return false;
    }
    // A non-positive timeout only polls, as with threading.Condition.
    const double capped = seconds > 0 ? std::fmin(seconds, 1e9) : 0.0;
    *deadline = sync::Clock::now() + std::chrono::duration_cast<sync::Clock::duration>(
                                         std::chrono::duration<double>(capped));
    return true;
}

PyObject* condAcquire(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"blocking", "timeout", nullptr};
    int blocking = 1;
    double timeout = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|pd:acquire", const_cast<char**>(kwlist), &blocking,
                                     &timeout))
        return nullptr;
    if (!blocking && timeout != -1) {
        PyErr_SetString(PyExc_ValueError, "can't specify a timeout for a non-blocking call");
        return nullptr;
    }
    if (timeout < 0 && timeout != -1) {
        PyErr_SetString(PyExc_ValueError, "timeout value must be a non-negative number");
        return nullptr;
    }
    CondObject* c = self_(o);
    bool got = c->cond.tryAcquire();
    if (!got && blocking) {
        GilRelease g;
        if (timeout < 0) {
            c->cond.acquire();
            got = true;
        } else {
            got = c->cond.acquireUntil(sync::Clock::now() + std::chrono::duration_cast<sync::Clock::duration>(
                                                                std::chrono::duration<double>(std::fmin(timeout, 1e9))));
        }
    }
    return PyBool_FromLong(got);
}

PyObject* condEnter(PyObject* o, PyObject*) {
    acquireReleasingGil(self_(o)->cond);
    Py_RETURN_TRUE;
}

PyObject* condRelease(PyObject* o, PyObject*) {
    CondObject* c = self_(o);
    if (notOwned(c, "release")) return nullptr;
    c->cond.release();
    Py_RETURN_NONE;
}

PyObject* condExit(PyObject* o, PyObject*) { return condRelease(o, nullptr); }

PyObject* condWait(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"timeout", nullptr};
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:wait", const_cast<char**>(kwlist), &timeout)) return nullptr;
    CondObject* c = self_(o);
    if (notOwned(c, "wait on")) return nullptr;
    bool limited;
    sync::Clock::time_point deadline;
    if (!deadlineFrom(timeout, &limited, &deadline)) return nullptr;
    bool woken;
    {
        GilRelease g;
        woken = c->cond.wait(limited ? &deadline : nullptr);
    }
    return PyBool_FromLong(woken);
}

PyObject* condWaitFor(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"predicate", "timeout", nullptr};
    PyObject* predicate;
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:wait_for", const_cast<char**>(kwlist), &predicate, &timeout))
        return nullptr;
    CondObject* c = self_(o);
    bool limited;
    sync::Clock::time_point deadline;
    if (!deadlineFrom(timeout, &limited, &deadline)) return nullptr;
    for (;;) {
        PyObject* result = PyObject_CallNoArgs(predicate);
        if (!result) return nullptr;
        const int truth = PyObject_IsTrue(result);
        if (truth != 0) {
            if (truth < 0) Py_CLEAR(result);
            return result;
        }
        if (limited && sync::Clock::now() >= deadline) return result;
        Py_DECREF(result);
        if (notOwned(c, "wait on")) return nullptr;
        GilRelease g;
        c->cond.wait(limited ? &deadline : nullptr);
    }
}

PyObject* condNotify(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"n", nullptr};
    Py_ssize_t n = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|n:notify", const_cast<char**>(kwlist), &n)) return nullptr;
    CondObject* c = self_(o);
    if (notOwned(c, "notify on")) return nullptr;
    if (n > 0) c->cond.notify(static_cast<std::size_t>(n));
    Py_RETURN_NONE;
}

PyObject* condNotifyAll(PyObject* o, PyObject*) {
    CondObject* c = self_(o);
    if (notOwned(c, "notify on")) return nullptr;
    c->cond.notifyAll();
    Py_RETURN_NONE;
}

PyObject* condIsOwned(PyObject* o, PyObject*) { return PyBool_FromLong(self_(o)->cond.isOwned()); }

PyObject* condRepr(PyObject* o) {
    CondObject* c = self_(o);
    if (c->cond.isOwned())
        return PyUnicode_FromFormat("<ThreadCondition(owned by this thread, %zu waiting)>", c->cond.waiterCount());
    return PyUnicode_FromFormat("<ThreadCondition at %p>", o);
}

PyMethodDef condMethods[] = {
    {"acquire", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(condAcquire)),
     METH_VARARGS | METH_KEYWORDS,
     "acquire(blocking=True, timeout=-1)\n--\n\nAcquire the lock (re-entrant); True when acquired."},
    {"release", condRelease, METH_NOARGS, "Release one level of the lock."},
    {"__enter__", condEnter, METH_NOARGS, nullptr},
    {"__exit__", condExit, METH_VARARGS, nullptr},
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(condWait)), METH_VARARGS | METH_KEYWORDS,
     "wait(timeout=None)\n--\n\nRelease the lock, sleep until notified or timed out, take the lock back."},
    {"wait_for", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(condWaitFor)),
     METH_VARARGS | METH_KEYWORDS, "wait_for(predicate, timeout=None)\n--\n\nWait until predicate() is true."},
    {"notify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(condNotify)),
     METH_VARARGS | METH_KEYWORDS, "notify(n=1)\n--\n\nWake up to n waiters, oldest first."},
    {"notify_all", condNotifyAll, METH_NOARGS, "Wake every waiter."},
    {"_is_owned", condIsOwned, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool readyCondType() {
    if (CondType.tp_flags & Py_TPFLAGS_READY) return true;
    CondType.tp_name = "quorvel._native.ThreadCondition";
    CondType.tp_basicsize = sizeof(CondObject);
    CondType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CondType.tp_doc =
        "ThreadCondition()\n--\n\n"
        "A re-entrant lock with wait and notify, used like threading.Condition. A waiting\n"
        "thread spins briefly, then sleeps; waiting never holds the GIL.";
    CondType.tp_new = condNew;
    CondType.tp_dealloc = condDealloc;
    CondType.tp_traverse = condTraverse;
    CondType.tp_clear = condClear;
    CondType.tp_repr = condRepr;
    CondType.tp_methods = condMethods;
    return PyType_Ready(&CondType) == 0;
}

PyObject* newCond() { return condNew(&CondType, nullptr, nullptr); }

namespace {

constexpr std::chrono::milliseconds kSignalSlice{100};

template <class TryUntil>
bool blockInterruptibly(TryUntil tryUntil) {
    const bool main = onMainThread();
    for (;;) {
        bool done;
        {
            GilRelease g;
            if (main) {
                const auto deadline = sync::Clock::now() + kSignalSlice;
                done = tryUntil(&deadline);
            } else {
                done = tryUntil(nullptr);
            }
        }
        if (done || !main) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

}  // namespace

bool lockTurn(CondObject* c) {
    if (c->turn.tryLock()) return true;
    return blockInterruptibly([c](const sync::Clock::time_point* d) { return c->turn.lockUntil(d); });
}

bool lockCond(CondObject* c) {
    if (c->cond.tryAcquire()) return true;
    return blockInterruptibly([c](const sync::Clock::time_point* d) {
        if (!d) {
            c->cond.acquire();
            return true;
        }
        return c->cond.acquireUntil(*d);
    });
}

bool waitNotified(CondObject* c, bool* held) {
    // Interruptible only when the caller holds the lock once: with more levels (code that
    // holds the condition around the call) there would be levels to give back on the way out.
    if (!onMainThread() || c->cond.depth() != 1) {
        GilRelease g;
        c->cond.wait();
        return true;
    }
    std::uint32_t depth;
    const std::uint32_t seen = c->cond.releaseForWatch(&depth);
    for (;;) {
        bool moved;
        {
            GilRelease g;
            const auto deadline = sync::Clock::now() + kSignalSlice;
            moved = c->cond.watch(seen, &deadline);
        }
        if (moved) break;
        if (PyErr_CheckSignals() < 0) {
            *held = false;
            return false;
        }
    }
    if (!c->cond.tryReacquire(depth)) {
        GilRelease g;
        c->cond.reacquire(depth);
    }
    return true;
}

}  // namespace quorvel::py::te
