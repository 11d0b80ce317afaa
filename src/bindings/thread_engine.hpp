#pragma once

// Internals of ThreadEngine shared by its source files. The class itself is assembled in
// thread_engine.cpp; the command path (sender, worker, dispatch) is in
// thread_engine_channel.cpp; the record's condition object in thread_engine_cond.cpp.

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "argbind.hpp"
#include "py_support.hpp"
#include "quorvel/sync.hpp"

namespace quorvel::py::te {

// Interned texts: attribute, key and method names, and the command types.
struct Names {
    PyObject* module_name;  // "quorvel.engine.trigger.mthread"
    PyObject *main, *dunder_spec, *name;
    PyObject *trees, *action_registrations, *factory;
    PyObject *cond, *command, *result, *thread;
    PyObject *type, *params, *n, *key, *value, *get;
    PyObject *SequentialEngine, *BehaviorTreeFactory, *SimpleActionNode, *logger, *info, *error;
    PyObject *register_action_behavior_, *create_tree_from_text_, *interrupt;
    PyObject *_run_tree, *_process_command, *_check_tree_exists, *_send_command, *stop_tree_, *stop_all_trees_;
    PyObject *tick_once, *tick_until_failure, *tick_until_success, *tick_n_times, *get_status, *get_tree_status,
        *get_blackboard_data, *set_blackboard_data, *get_all_blackboard_data, *reset, *reset_tree;
    PyObject *error_type, *empty, *tick, *ports, *dunder_name, *threading, *Thread, *target, *args, *start, *join,
        *current_thread, *read, *close, *open, *utf8, *mode_r, *encoding, *enter, *exit, *wait, *notify;
    PyObject* kw_target_args;  // ("target", "args")
    PyObject* kw_encoding;     // ("encoding",)
};
extern Names N;
bool initNames();

// Our own method objects (the values in the class namespace), for override checks.
struct OwnMethods {
    PyObject *register_action_behavior, *_run_tree, *_process_command, *create_tree_from_text,
        *_check_tree_exists, *_send_command, *stop_tree, *stop_all_trees;
};
extern OwnMethods own;

// Declarations of the methods that our own code calls without the binding step.
struct OwnDecls {
    const argbind::Method *register_action_behavior, *_process_command, *create_tree_from_text,
        *_check_tree_exists, *_send_command, *stop_tree, *stop_all_trees;
};
extern OwnDecls decls;

// ---- the record's condition ----

// The object under a record's "cond": the API of threading.Condition (re-entrant lock,
// wait, notify) on a native condition, plus what the engine needs to keep senders, the
// worker and stoppers of one tree apart. Python code sees only the condition.
struct CondObject {
    PyObject_HEAD
    sync::Condition cond;
    // One sender at a time, first come first served; stopping queues here too.
    sync::FairMutex turn;
    // The thread that holds `turn` (a signal handler on it must not queue behind itself).
    std::atomic<std::uintptr_t> sender_token{0};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> worker_ended{false};
    // A sender gave up waiting (a signal handler raised): the answer to its command will
    // still come and belongs to nobody. Read and written by the holder of `turn`.
    std::atomic<bool> orphaned;
    // The thread running _run_tree for this record while it runs.
    std::atomic<std::uintptr_t> worker_token{0};
    // Open once creation has started the worker thread or given up.
    sync::Gate created;
    // The worker's SequentialEngine, so that a stop can interrupt a never-ending tick
    // loop. Only touched with the GIL held.
    PyObject* engine;
};
extern PyTypeObject CondType;
inline CondObject* asNativeCond(PyObject* o) {
    return Py_TYPE(o) == &CondType ? reinterpret_cast<CondObject*>(o) : nullptr;
}
bool readyCondType();
PyObject* newCond();

// Locks without blocking while the GIL is held: try first, and only if that fails give up
// the GIL for the blocking part.
inline void acquireReleasingGil(sync::Condition& c) {
    if (c.tryAcquire()) return;
    GilRelease g;
    c.acquire();
}

// Tells senders waiting now or later that no worker will ever answer.
inline void endWorker(CondObject* c) {
    acquireReleasingGil(c->cond);
    c->worker_ended.store(true);
    c->cond.notifyAll();
    c->cond.release();
}

// The waits of a caller. On the main thread they wake now and then to run signal handlers,
// so that Ctrl-C reaches a program waiting for a long command; they return false with the
// handler's exception set. Elsewhere they simply wait. Called with the GIL held.
bool lockTurn(CondObject* c);
bool lockCond(CondObject* c);
// Waits for a notify on c->cond, which the caller holds. When a signal handler raises,
// returns false and the lock is no longer held (*held becomes false): the holder of the
// lock may be busy for long, and taking it back would make the caller wait for that.
bool waitNotified(CondObject* c, bool* held);

// ---- helpers ----

// The module that holds the names our code looks up at call time (SequentialEngine,
// BehaviorTreeFactory, SimpleActionNode, logger): quorvel.engine.trigger.mthread, or the
// main program when that module runs as one.
PyObject* mthreadModule();
PyObject* mthreadAttr(PyObject* name);

// logger.info / logger.error through the module's logger. A logging failure is reported
// as unraisable and never changes the outcome of the operation that logs.
void logInfo(PyObject* message);
void logError(PyObject* message);

// Concatenates texts; non-text parts are converted with str().
PyObject* join(std::initializer_list<PyObject*> parts);
PyObject* text(const char* utf8);  // interned

// Element 0 of a one-element slot list (new reference), and storing into it.
PyObject* slotGet(PyObject* slot);
bool slotSet(PyObject* slot, PyObject* value);
// obj[key] with the mapping's own lookup (new reference, KeyError when missing).
PyObject* getItem(PyObject* mapping, PyObject* key);

// Calls a method of the engine object: the C++ implementation when it is ours and not
// overridden, otherwise whatever the instance yields for the name. nargs excludes self.
PyObject* callOwn(PyObject* self, PyObject* name, PyObject* ours, const argbind::Method* decl,
                  std::initializer_list<PyObject*> args);

PyObject* raiseWithLog(PyObject* exc_type, PyObject* message);  // logs at error level, returns nullptr

void interruptEngine(PyObject* engine);  // engine.interrupt() if it has one

// Through an object with the interface of threading.Condition (not ours): stores value in
// the slot and notifies, within the condition's lock. False with the first error.
bool postGeneric(PyObject* cond, PyObject* slot, PyObject* value);

// ---- implementations (args[0] is self) ----
PyObject* runTree(PyObject* const* args);
PyObject* processCommand(PyObject* const* args);
PyObject* sendCommand(PyObject* const* args);

}  // namespace quorvel::py::te
