#pragma once

// Pieces shared by every binding file: the status enum on the Python side, the exception
// classes and translation, the scope of one engine call (which carries a Python exception
// raised inside an action back out of the engine), and the guard that keeps two threads
// from using one tree at once.

#include <nanobind/nanobind.h>

#include <cxxabi.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "quorvel/embedder_lock.hpp"
#include "quorvel/status.hpp"

namespace quorvel::py {

namespace nb = nanobind;

// ---- NodeStatus ----
void bindNodeStatus(nb::module_& m);
// The members, by status value: a status travels to Python on every tick, and identity
// comparison is the cheapest way back. Borrowed: the enum type owns them.
extern PyObject* g_status_members[5];
// The enum member (a borrowed, immortal-for-our-purposes reference).
inline nb::handle statusObject(NodeStatus status) { return g_status_members[static_cast<int>(status)]; }
// True and sets `out` when `object` is a NodeStatus member; identity checks only, the usual
// answer first.
inline bool statusFromObject(nb::handle object, NodeStatus& out) {
    for (int i : {2, 1, 3, 4, 0}) {  // SUCCESS, RUNNING, FAILURE, SKIPPED, IDLE
        if (object.ptr() == g_status_members[i]) {
            out = static_cast<NodeStatus>(i);
            return true;
        }
    }
    return false;
}

// ---- exceptions ----
// BehaviorTreeError (a RuntimeError) and its subclasses LoadError, PortError, TickError;
// engine exceptions are translated to them.
void bindErrors(nb::module_& m);
[[noreturn]] void raiseRuntimeError(const std::string& message);
// For functions CPython calls directly (not through nanobind): sets the Python error for the
// C++ exception being handled, as nanobind's translation would. Call inside a catch block.
void setErrorFromCurrentException() noexcept;

// ---- one engine call ----
// While an engine call runs with the GIL released, a Python action that raises stores the
// exception here and throws a C++ error through the engine. When the engine call has
// returned or thrown, the original Python exception is raised again, type, message and
// traceback intact, whatever the engine made of the C++ error on its way.
class CallScope {
public:
    CallScope() : previous_(current_) { current_ = this; }
    ~CallScope() { current_ = previous_; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // The innermost scope on this thread, or nullptr outside any engine call.
    static CallScope* current() { return current_; }

    // Keeps the first error of the call; later ones (a halt hook failing while the tree
    // unwinds from the first) are reported as unraisable. GIL held.
    void store(nb::python_error&& error);
    bool hasError() const { return pending_.has_value(); }
    // Raises the stored Python exception, if any (GIL held).
    void raisePending();

private:
    static thread_local CallScope* current_;
    CallScope* previous_;
    std::optional<nb::python_error> pending_;
};

// ---- interpreter shutdown ----
// Whether this thread may take the GIL now (callable without it). Once the interpreter has
// begun to shut down, it ends any other thread that asks for the GIL by unwinding its stack,
// which std::terminate()s the process as soon as that unwinding meets a C++ destructor.
// Such a thread must leave Python alone: drop nothing, call nothing.
bool mayEnterPython() noexcept;
bool interpreterFinalizing() noexcept;
// For a thread that can neither enter Python nor return into it: waits for the process to
// end, as the interpreter itself would have it wait.
[[noreturn]] void parkForever() noexcept;

// Taking the GIL while the interpreter shuts down ends the calling thread by unwinding its
// stack (abi::__forced_unwind), and the check above cannot rule that out: the thread may
// already be queued for the GIL when shutdown begins. Our frames cannot be unwound that way
// (noexcept destructors; nanobind's dispatch would swallow the unwind), so such a thread
// parks where it stands and the process ends around it.
inline void restoreThreadOrPark(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        parkForever();
    }
}

// Holds the GIL for its scope (nesting is fine), parking instead of unwinding at shutdown.
class GilAcquire {
public:
    GilAcquire() noexcept {
        try {
            state_ = PyGILState_Ensure();
        } catch (abi::__forced_unwind&) {
            parkForever();
        }
    }
    ~GilAcquire() { PyGILState_Release(state_); }
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the GIL for its scope; on the way back parks the thread instead of entering an
// interpreter that is shutting down.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() {
        if (!mayEnterPython()) parkForever();
        restoreThreadOrPark(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// The GIL inside an engine call. The call keeps the GIL it was made with until the engine
// says that it pays to let go (before a tick of a tree that ran no Python node last time, or
// before a sleep between ticks, see quorvel/embedder_lock.hpp); a Python node takes it back
// with the thread state it already has, and keeps it for the nodes after it. So consecutive Python nodes cost no GIL
// traffic, trees of built-in nodes still tick in parallel, and other threads get the GIL
// whenever the running Python code offers it (the interpreter's switch interval) or the
// engine lets go. Scopes nest: a Python node may call another engine.
class LazyGil {
public:
    LazyGil() noexcept : previous_saved_(saved_), previous_inside_(inside_), hook_(&letGo) {
        saved_ = nullptr;
        inside_ = true;
    }
    ~LazyGil() {
        ensureHeld();
        saved_ = previous_saved_;
        inside_ = previous_inside_;
    }
    LazyGil(const LazyGil&) = delete;
    LazyGil& operator=(const LazyGil&) = delete;

    // Inside an engine call on this thread.
    static bool inside() noexcept { return inside_; }
    // Inside an engine call that holds the GIL right now.
    static bool holding() noexcept { return inside_ && !saved_; }
    // Takes the GIL back if the engine let it go; parks at interpreter shutdown.
    static void ensureHeld() noexcept {
        noteEmbedderNode();
        if (PyThreadState* state = saved_) {
            saved_ = nullptr;
            if (!mayEnterPython()) parkForever();
            restoreThreadOrPark(state);
        }
    }

    // Lets the GIL go now, for engine work known to be long (loading a document).
    static void letGo() noexcept {
        if (inside_ && !saved_) saved_ = PyEval_SaveThread();
    }

private:
    // Read by every Python node: in the static TLS block, so no lookup call per access.
    static thread_local PyThreadState* saved_ __attribute__((tls_model("initial-exec")));  // non-null while let go
    static thread_local bool inside_ __attribute__((tls_model("initial-exec")));
    PyThreadState* previous_saved_;
    bool previous_inside_;
    ScopedLetGoHook hook_;
};

// Runs `fn` (Python code run by a node) holding the GIL: inside an engine call the GIL the
// call holds lazily, taken back if the engine let it go; elsewhere (a tree destroyed from C++,
// say) taken for the call. Unlike nb::gil_scoped_acquire it leaves the thread state alone when
// the interpreter ends this thread during shutdown (unwinding it with abi::__forced_unwind):
// releasing then is a fatal error, and nothing needs it any more.
template <class Fn>
auto withPython(Fn&& fn) -> decltype(fn()) {
    if (LazyGil::inside()) {
        LazyGil::ensureHeld();
        return fn();
    }
    PyGILState_STATE state;
    try {
        state = PyGILState_Ensure();
    } catch (abi::__forced_unwind&) {
        parkForever();  // see restoreThreadOrPark
    }
    try {
        if constexpr (std::is_void_v<decltype(fn())>) {
            fn();
            PyGILState_Release(state);
        } else {
            auto result = fn();
            PyGILState_Release(state);
            return result;
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        PyGILState_Release(state);
        throw;
    }
}

// Runs `fn` (engine work) inside a CallScope with the GIL held lazily, and translates what
// comes out.
template <class Fn>
auto runEngineCall(Fn&& fn) -> decltype(fn()) {
    CallScope scope;
    try {
        if constexpr (std::is_void_v<decltype(fn())>) {
            {
                LazyGil gil;
                fn();
            }
            scope.raisePending();
        } else {
            auto result = [&] {
                LazyGil gil;
                return fn();
            }();
            scope.raisePending();
            return result;
        }
    } catch (nb::python_error&) {
        throw;
    } catch (...) {
        scope.raisePending();
        throw;
    }
}

// ---- one user at a time ----
// A tree and its blackboards belong to one thread at a time. Calls that release the GIL
// take this flag; a second call that arrives meanwhile (another thread, or an action of the
// tree calling back into its own engine) is refused with a RuntimeError instead of racing.
class BusyFlag {
public:
    // `owner` names what is busy in messages ("tree", "factory").
    explicit BusyFlag(const char* owner = "tree") : owner_name_(owner) {}
    bool busy() const { return busy_.load(std::memory_order_acquire); }
    // Whether the call that holds the flag runs on this thread (an action calling back in).
    bool heldByThisThread() const {
        return busy() && owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
    }

    class Guard {
    public:
        Guard(BusyFlag& flag, const char* what);
        ~Guard() {
            flag_.owner_.store(std::thread::id(), std::memory_order_release);
            flag_.busy_.store(false, std::memory_order_release);
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        BusyFlag& flag_;
    };

private:
    const char* owner_name_;
    std::atomic<bool> busy_{false};
    std::atomic<std::thread::id> owner_{};
};

// True on the interpreter's main thread (where signal handlers run). GIL held.
bool onMainThread();

}  // namespace quorvel::py
