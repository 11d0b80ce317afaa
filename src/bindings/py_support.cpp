#include "py_support.hpp"

#include <pythread.h>

#include <chrono>

#include "quorvel/errors.hpp"
#include "quorvel/script.hpp"

namespace quorvel::py {

// ---- NodeStatus ----

namespace {

unsigned long g_main_thread = 0;

}  // namespace

PyObject* g_status_members[5] = {};

void bindNodeStatus(nb::module_& m) {
    nb::enum_<NodeStatus> status(m, "NodeStatus", "The status of a node or of a whole tree after a tick.");
    status.value("IDLE", NodeStatus::IDLE, "Not ticked yet, or halted.")
        .value("RUNNING", NodeStatus::RUNNING, "Still working: tick it again.")
        .value("SUCCESS", NodeStatus::SUCCESS, "Finished successfully.")
        .value("FAILURE", NodeStatus::FAILURE, "Finished unsuccessfully.")
        .value("SKIPPED", NodeStatus::SKIPPED, "Chose not to run; neither success nor failure.");
    // Borrowed: the enum type owns its members and the module owns the type.
    for (auto s : {NodeStatus::IDLE, NodeStatus::RUNNING, NodeStatus::SUCCESS, NodeStatus::FAILURE,
                   NodeStatus::SKIPPED}) {
        g_status_members[static_cast<int>(s)] = nb::cast(s).ptr();
    }
    g_main_thread = nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
}


thread_local PyThreadState* LazyGil::saved_ __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local bool LazyGil::inside_ __attribute__((tls_model("initial-exec"))) = false;

bool onMainThread() { return PyThread_get_thread_ident() == g_main_thread; }

bool interpreterFinalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

bool mayEnterPython() noexcept {
    if (!nb::is_alive()) return false;
    // The thread that finalizes (the main thread) keeps the GIL and may go on.
    return !interpreterFinalizing() || onMainThread();
}

void parkForever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// ---- exceptions ----

namespace {

PyObject* g_base_error = nullptr;
PyObject* g_load_error = nullptr;
PyObject* g_port_error = nullptr;
PyObject* g_tick_error = nullptr;

PyObject* newException(nb::module_& m, const char* name, PyObject* base, const char* doc) {
    std::string qualified = std::string("quorvel._native.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (!type) throw nb::python_error();
    m.attr(name) = nb::handle(type);
    return type;  // the module keeps a reference; this one is kept for the process
}

}  // namespace

void bindErrors(nb::module_& m) {
    g_base_error = newException(m, "BehaviorTreeError", PyExc_RuntimeError,
                                "Base of the errors raised by the behavior-tree engine.");
    g_load_error = newException(m, "LoadError", g_base_error,
                                "The XML (or a script in it) cannot become a tree; the message names "
                                "the line and the node.");
    g_port_error = newException(m, "PortError", g_base_error,
                                "A port could not be read or written: undeclared, unbound, never "
                                "written, or not convertible.");
    g_tick_error = newException(m, "TickError", g_base_error,
                                "A tick could not complete (a script error at run time, a node misused).");

    // Only the engine's errors: everything else goes on to nanobind's own translation.
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Error&) {
            setErrorFromCurrentException();
        }
    });
}

void setErrorFromCurrentException() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const ScriptSyntaxError& e) {
        PyErr_SetString(g_load_error, e.what());
    } catch (const ScriptError& e) {
        PyErr_SetString(g_tick_error, e.what());
    } catch (const LoadError& e) {
        PyErr_SetString(g_load_error, e.what());
    } catch (const PortError& e) {
        PyErr_SetString(g_port_error, e.what());
    } catch (const TickError& e) {
        PyErr_SetString(g_tick_error, e.what());
    } catch (const Error& e) {
        PyErr_SetString(g_base_error, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "an unknown C++ exception");
    }
}

void raiseRuntimeError(const std::string& message) { throw nb::builtin_exception(nb::exception_type::runtime_error, message.c_str()); }

// ---- CallScope ----

thread_local CallScope* CallScope::current_ = nullptr;

void CallScope::store(nb::python_error&& error) {
    if (!pending_) {
        pending_.emplace(std::move(error));
        return;
    }
    error.restore();
    PyErr_WriteUnraisable(nullptr);
}

void CallScope::raisePending() {
    if (!pending_) return;
    nb::python_error error = std::move(*pending_);
    pending_.reset();
    throw error;
}

// ---- BusyFlag ----

BusyFlag::Guard::Guard(BusyFlag& flag, const char* what) : flag_(flag) {
    bool expected = false;
    if (!flag.busy_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        bool reentrant = flag.owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
        raiseRuntimeError(std::string(what) + (reentrant ? " cannot run from inside one of the " : " cannot run while another thread is using the same ") +
                          flag.owner_name_ + (reentrant ? "'s own actions" : ""));
    }
    flag.owner_.store(std::this_thread::get_id(), std::memory_order_release);
}

}  // namespace quorvel::py
