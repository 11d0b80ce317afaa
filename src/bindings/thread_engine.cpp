// ThreadEngine: a class that Python code uses, subclasses and inspects like one written in
// Python (a plain heap type whose methods are argbind functions), with its command channel
// in C++. This file assembles the class and holds the operations off the command path:
// construction, registration, creation, lookup and stopping.

#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "thread_engine.hpp"

namespace quorvel::py {

namespace te {

Names N;
OwnMethods own;
OwnDecls decls;

PyObject* text(const char* utf8) { return PyUnicode_InternFromString(utf8); }

bool initNames() {
    if (N.module_name) return true;
    struct Entry {
        PyObject** slot;
        const char* value;
    };
    const Entry entries[] = {
        {&N.module_name, "quorvel.engine.trigger.mthread"},
        {&N.main, "__main__"},
        {&N.dunder_spec, "__spec__"},
        {&N.name, "name"},
        {&N.trees, "trees"},
        {&N.action_registrations, "action_registrations"},
        {&N.factory, "factory"},
        {&N.cond, "cond"},
        {&N.command, "command"},
        {&N.result, "result"},
        {&N.thread, "thread"},
        {&N.type, "type"},
        {&N.params, "params"},
        {&N.n, "n"},
        {&N.key, "key"},
        {&N.value, "value"},
        {&N.get, "get"},
        {&N.SequentialEngine, "SequentialEngine"},
        {&N.BehaviorTreeFactory, "BehaviorTreeFactory"},
        {&N.SimpleActionNode, "SimpleActionNode"},
        {&N.logger, "logger"},
        {&N.info, "info"},
        {&N.error, "error"},
        {&N.register_action_behavior_, "register_action_behavior"},
        {&N.create_tree_from_text_, "create_tree_from_text"},
        {&N.interrupt, "interrupt"},
        {&N._run_tree, "_run_tree"},
        {&N._process_command, "_process_command"},
        {&N._check_tree_exists, "_check_tree_exists"},
        {&N._send_command, "_send_command"},
        {&N.stop_tree_, "stop_tree"},
        {&N.stop_all_trees_, "stop_all_trees"},
        {&N.tick_once, "tick_once"},
        {&N.tick_until_failure, "tick_until_failure"},
        {&N.tick_until_success, "tick_until_success"},
        {&N.tick_n_times, "tick_n_times"},
        {&N.get_status, "get_status"},
        {&N.get_tree_status, "get_tree_status"},
        {&N.get_blackboard_data, "get_blackboard_data"},
        {&N.set_blackboard_data, "set_blackboard_data"},
        {&N.get_all_blackboard_data, "get_all_blackboard_data"},
        {&N.reset, "reset"},
        {&N.reset_tree, "reset_tree"},
        {&N.error_type, "error"},
        {&N.empty, ""},
        {&N.tick, "tick"},
        {&N.ports, "ports"},
        {&N.dunder_name, "__name__"},
        {&N.threading, "threading"},
        {&N.Thread, "Thread"},
        {&N.target, "target"},
        {&N.args, "args"},
        {&N.start, "start"},
        {&N.join, "join"},
        {&N.current_thread, "current_thread"},
        {&N.read, "read"},
        {&N.close, "close"},
        {&N.open, "open"},
        {&N.utf8, "utf-8"},
        {&N.mode_r, "r"},
        {&N.encoding, "encoding"},
        {&N.enter, "__enter__"},
        {&N.exit, "__exit__"},
        {&N.wait, "wait"},
        {&N.notify, "notify"},
    };
    for (const Entry& e : entries)
        if (!(*e.slot = text(e.value))) return false;
    N.kw_target_args = PyTuple_Pack(2, N.target, N.args);
    N.kw_encoding = PyTuple_Pack(1, N.encoding);
    return N.kw_target_args && N.kw_encoding;
}

PyObject* mthreadModule() {
    PyObject* m = PyImport_GetModule(N.module_name);
    if (m || PyErr_Occurred()) return m;
    // `python -m quorvel.engine.trigger.mthread` runs the module as __main__ and never
    // registers it under its own name; its globals are then those of __main__.
    Ref main = Ref::steal(PyImport_GetModule(N.main));
    if (main) {
        Ref found = Ref::steal(PyObject_GetAttr(main.get(), N.dunder_spec));
        Ref name = found && found.get() != Py_None ? Ref::steal(PyObject_GetAttr(found.get(), N.name)) : Ref();
        if (name && PyUnicode_Check(name.get()) && PyUnicode_Compare(name.get(), N.module_name) == 0)
            return main.release();
    }
    PyErr_Clear();
    return PyImport_Import(N.module_name);
}

PyObject* mthreadAttr(PyObject* name) {
    Ref m = Ref::steal(mthreadModule());
    return m ? PyObject_GetAttr(m.get(), name) : nullptr;
}

namespace {
void logAt(PyObject* level, PyObject* message) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref logger = Ref::steal(mthreadAttr(N.logger));
    Ref r = logger ? Ref::steal(PyObject_CallMethodOneArg(logger.get(), level, message)) : Ref();
    if (!r) {
        // An engine finalised while the interpreter shuts down may find no logger left.
#if PY_VERSION_HEX >= 0x030D0000
        const bool finalizing = Py_IsFinalizing();
#else
        const bool finalizing = _Py_IsFinalizing();
#endif
        if (finalizing)
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(logger ? logger.get() : Py_None);
    }
    PyErr_Restore(type, value, tb);
}
}  // namespace

void logInfo(PyObject* message) { logAt(N.info, message); }
void logError(PyObject* message) { logAt(N.error, message); }

PyObject* join(std::initializer_list<PyObject*> parts) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* p : parts) {
        if (!p) return nullptr;
        PyObject* s = PyUnicode_CheckExact(p) ? Py_NewRef(p) : PyObject_Str(p);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, s);
    }
    return PyUnicode_Join(N.empty, tuple.get());
}

PyObject* slotGet(PyObject* slot) {
    if (PyList_CheckExact(slot) && PyList_GET_SIZE(slot) > 0) return Py_NewRef(PyList_GET_ITEM(slot, 0));
    return PySequence_GetItem(slot, 0);
}

bool slotSet(PyObject* slot, PyObject* value) {
    if (PyList_CheckExact(slot) && PyList_GET_SIZE(slot) > 0)
        return PyList_SetItem(slot, 0, Py_NewRef(value)) == 0;
    return PySequence_SetItem(slot, 0, value) == 0;
}

PyObject* getItem(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return Py_NewRef(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return PyObject_GetItem(mapping, key);
}

PyObject* callOwn(PyObject* self, PyObject* name, PyObject* ours, const argbind::Method* decl,
                  std::initializer_list<PyObject*> args) {
    bool isOwn = false;
    Ref method = Ref::steal(argbind::lookup(self, name, ours, &isOwn));
    if (!method) return nullptr;
    if (isOwn) {
        PyObject* values[argbind::kMaxParams] = {self};
        std::size_t i = 1;
        for (PyObject* a : args) values[i++] = a;
        for (; i < decl->params.size(); ++i) values[i] = Py_None;
        return argbind::invoke(*decl, values);
    }
    return PyObject_Vectorcall(method.get(), args.begin(), args.size(), nullptr);
}

PyObject* raiseWithLog(PyObject* exc_type, PyObject* message) {
    if (!message) return nullptr;
    logError(message);
    PyErr_SetObject(exc_type, message);
    return nullptr;
}

int getOptionalAttr(PyObject* obj, PyObject* name, Ref* out) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int rc = PyObject_GetOptionalAttr(obj, name, &value);
#else
    const int rc = _PyObject_LookupAttr(obj, name, &value);
#endif
    *out = Ref::steal(value);
    return rc;
}

void interruptEngine(PyObject* engine) {
    Ref keep = Ref::borrow(engine);
    Ref method;
    if (getOptionalAttr(engine, N.interrupt, &method) < 0) {
        PyErr_WriteUnraisable(engine);
        return;
    }
    if (!method) return;
    Ref r = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!r) PyErr_WriteUnraisable(method.get());
}

namespace {

Ref u(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

// ---- construction and registration ----

PyObject* init(PyObject* const* a) {
    PyObject* self = a[0];
    Ref factoryType = Ref::steal(mthreadAttr(N.BehaviorTreeFactory));
    Ref factory = factoryType ? Ref::steal(PyObject_CallNoArgs(factoryType.get())) : Ref();
    if (!factory || PyObject_SetAttr(self, N.factory, factory.get()) < 0) return nullptr;
    Ref trees = Ref::steal(PyDict_New());
    if (!trees || PyObject_SetAttr(self, N.trees, trees.get()) < 0) return nullptr;
    Ref registrations = Ref::steal(PyList_New(0));
    if (!registrations || PyObject_SetAttr(self, N.action_registrations, registrations.get()) < 0) return nullptr;
    logInfo(u("初始化线程引擎").get());
    Py_RETURN_NONE;
}

PyObject* registerActionBehavior(PyObject* const* a) {
    Ref message = Ref::steal(join({u("注册动作节点: ").get(), a[1]}));
    if (!message) return nullptr;
    logInfo(message.get());
    Ref registration = Ref::steal(PyTuple_Pack(3, a[1], a[2], a[3]));
    Ref list = registration ? Ref::steal(PyObject_GetAttr(a[0], N.action_registrations)) : Ref();
    if (!list) return nullptr;
    // One append is one indivisible step, so a worker reading the list sees a whole record.
    if (PyList_CheckExact(list.get())) {
        if (PyList_Append(list.get(), registration.get()) < 0) return nullptr;
    } else {
        Ref r = Ref::steal(PyObject_CallMethod(list.get(), "append", "O", registration.get()));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* registerActionClass(PyObject* const* a) {
    PyObject *self = a[0], *cls = a[1];
    Ref base = Ref::steal(mthreadAttr(N.SimpleActionNode));
    if (!base) return nullptr;
    const int derived = PyObject_IsSubclass(cls, base.get());
    if (derived < 0) return nullptr;
    if (!derived) {
        Ref name = Ref::steal(PyObject_GetAttr(cls, N.dunder_name));
        if (!name) return nullptr;
        return raiseWithLog(PyExc_TypeError,
                            Ref::steal(join({u("节点类 ").get(), name.get(), u(" 必须继承自SimpleActionNode").get()})).get());
    }
    Ref actionId = a[2] == Py_None ? Ref::steal(PyObject_GetAttr(cls, N.dunder_name)) : Ref::borrow(a[2]);
    if (!actionId) return nullptr;
    Ref tick = Ref::steal(PyObject_GetAttr(cls, N.tick));
    if (!tick) return nullptr;
    Ref ports;
    if (getOptionalAttr(cls, N.ports, &ports) < 0) return nullptr;
    if (!ports && !(ports = Ref::steal(PyList_New(0)))) return nullptr;
    Ref r = Ref::steal(callOwn(self, N.register_action_behavior_, own.register_action_behavior,
                               decls.register_action_behavior, {actionId.get(), tick.get(), ports.get()}));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---- creation and lookup ----

// Registers record under key unless the key is taken; 1 registered, 0 taken, -1 error.
// On a dict this is one indivisible step, so concurrent creators never share an id.
int registerIfAbsent(PyObject* trees, PyObject* key, PyObject* record) {
    if (PyDict_CheckExact(trees)) {
        PyObject* current = PyDict_SetDefault(trees, key, record);
        if (!current) return -1;
        return current == record ? 1 : 0;
    }
    const int present = PySequence_Contains(trees, key);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyObject_SetItem(trees, key, record) < 0 ? -1 : 1;
}

// Removes key from trees if it still holds record. 1 removed, 0 absent or another record.
int unregister(PyObject* trees, PyObject* key, PyObject* record) {
    Ref current = Ref::steal(getItem(trees, key));
    if (!current) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (current.get() != record) return 0;
    return PyObject_DelItem(trees, key) < 0 ? -1 : 1;
}

// Creation could not start the worker: no record stays behind, and anyone who found the
// record meanwhile learns that no worker will ever answer.
void abandonRecord(PyObject* trees, PyObject* id, PyObject* record, CondObject* c) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (unregister(trees, id, record) < 0) PyErr_WriteUnraisable(trees);
    if (PyDict_SetItem(record, N.thread, Py_None) < 0) PyErr_WriteUnraisable(record);
    endWorker(c);
    c->created.open();
    PyErr_Restore(type, value, tb);
}

PyObject* createTreeFromText(PyObject* const* a) {
    PyObject *self = a[0], *xml = a[1];
    Ref trees = Ref::steal(PyObject_GetAttr(self, N.trees));
    if (!trees) return nullptr;
    Ref condObj = Ref::steal(newCond());
    Ref command = condObj ? Ref::steal(PyList_New(1)) : Ref();
    Ref result = command ? Ref::steal(PyList_New(1)) : Ref();
    Ref record = result ? Ref::steal(PyDict_New()) : Ref();
    if (!record) return nullptr;
    PyList_SET_ITEM(command.get(), 0, Py_NewRef(Py_None));
    PyList_SET_ITEM(result.get(), 0, Py_NewRef(Py_None));
    if (PyDict_SetItem(record.get(), N.cond, condObj.get()) < 0 ||
        PyDict_SetItem(record.get(), N.command, command.get()) < 0 ||
        PyDict_SetItem(record.get(), N.result, result.get()) < 0 || PyDict_SetItem(record.get(), N.thread, Py_None) < 0)
        return nullptr;
    auto* c = reinterpret_cast<CondObject*>(condObj.get());

    Ref id;
    if (a[2] == Py_None) {
        // Count on from the number of trees to the first free name: a stopped tree frees
        // its number, so the count alone could name a tree that still runs.
        Py_ssize_t n = PyObject_Length(trees.get());
        if (n < 0) return nullptr;
        for (;; ++n) {
            id = Ref::steal(PyUnicode_FromFormat("tree_%zd", n));
            if (!id) return nullptr;
            const int r = registerIfAbsent(trees.get(), id.get(), record.get());
            if (r < 0) return nullptr;
            if (r == 1) break;
        }
    } else {
        id = Ref::borrow(a[2]);
        const int r = registerIfAbsent(trees.get(), id.get(), record.get());
        if (r < 0) return nullptr;
        if (r == 0)
            return raiseWithLog(PyExc_ValueError,
                                Ref::steal(join({u("行为树ID ").get(), id.get(), u(" 已存在").get()})).get());
    }

    Ref threading = Ref::steal(PyImport_Import(N.threading));
    Ref threadType = threading ? Ref::steal(PyObject_GetAttr(threading.get(), N.Thread)) : Ref();
    Ref target = threadType ? Ref::steal(PyObject_GetAttr(self, N._run_tree)) : Ref();
    Ref args = target ? Ref::steal(PyTuple_Pack(2, id.get(), xml)) : Ref();
    Ref thread;
    if (args) {
        PyObject* kwvalues[] = {target.get(), args.get()};
        thread = Ref::steal(PyObject_Vectorcall(threadType.get(), kwvalues, 0, N.kw_target_args));
    }
    Ref started;
    if (thread && PyDict_SetItem(record.get(), N.thread, thread.get()) == 0)
        started = Ref::steal(PyObject_CallMethodNoArgs(thread.get(), N.start));
    if (!started) {
        abandonRecord(trees.get(), id.get(), record.get(), c);
        return nullptr;
    }
    c->created.open();
    Ref message = Ref::steal(join({u("创建行为树: ").get(), id.get()}));
    if (!message) return nullptr;
    logInfo(message.get());
    return id.release();
}

PyObject* createTreeFromFile(PyObject* const* a) {
    PyObject *self = a[0], *path = a[1];
    PyObject* open = PyDict_GetItemWithError(PyEval_GetBuiltins(), N.open);
    if (!open) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
        return nullptr;
    }
    PyObject* openArgs[] = {path, N.mode_r, N.utf8};
    Ref file = Ref::steal(PyObject_Vectorcall(open, openArgs, 2, N.kw_encoding));
    if (!file) return nullptr;
    Ref content = Ref::steal(PyObject_CallMethodNoArgs(file.get(), N.read));
    {
        // Close on every way out; a failed read keeps its own error.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref closed = Ref::steal(PyObject_CallMethodNoArgs(file.get(), N.close));
        if (type) {
            if (!closed) PyErr_Clear();
            PyErr_Restore(type, value, tb);
            return nullptr;
        }
        if (!closed) return nullptr;
    }
    return callOwn(self, N.create_tree_from_text_, own.create_tree_from_text, decls.create_tree_from_text,
                   {content.get(), a[2]});
}

PyObject* checkTreeExists(PyObject* const* a) {
    Ref trees = Ref::steal(PyObject_GetAttr(a[0], N.trees));
    if (!trees) return nullptr;
    const int present = PySequence_Contains(trees.get(), a[1]);
    if (present < 0) return nullptr;
    if (present) Py_RETURN_NONE;
    return raiseWithLog(PyExc_ValueError, Ref::steal(join({u("行为树ID ").get(), a[1], u(" 不存在").get()})).get());
}

PyObject* getTreeIds(PyObject* const* a) {
    Ref trees = Ref::steal(PyObject_GetAttr(a[0], N.trees));
    if (!trees) return nullptr;
    if (PyDict_CheckExact(trees.get())) return PyDict_Keys(trees.get());
    Ref keys = Ref::steal(PyMapping_Keys(trees.get()));
    return keys ? PySequence_List(keys.get()) : nullptr;
}

// ---- tree operations: one command each ----

enum class Params { None, N, Key, KeyValue };
struct Operation {
    PyObject* Names::*type;
    Params params;
    bool dropAnswer;
};

template <const Operation& op>
PyObject* treeOperation(PyObject* const* a) {
    PyObject *self = a[0], *id = a[1];
    PyObject* type = N.*op.type;
    Ref params;
    if (op.params != Params::None) {
        params = Ref::steal(PyDict_New());
        if (!params) return nullptr;
        if (op.params == Params::N && PyDict_SetItem(params.get(), N.n, a[2]) < 0) return nullptr;
        if (op.params != Params::N && PyDict_SetItem(params.get(), N.key, a[2]) < 0) return nullptr;
        if (op.params == Params::KeyValue && PyDict_SetItem(params.get(), N.value, a[3]) < 0) return nullptr;
    }
    Ref answer = Ref::steal(params ? callOwn(self, N._send_command, own._send_command, decls._send_command,
                                             {id, type, params.get()})
                                   : callOwn(self, N._send_command, own._send_command, decls._send_command, {id, type}));
    if (!answer) return nullptr;
    if (op.dropAnswer) Py_RETURN_NONE;
    return answer.release();
}

constexpr Operation kTickOnce{&Names::tick_once, Params::None, false};
constexpr Operation kTickUntilFailure{&Names::tick_until_failure, Params::None, false};
constexpr Operation kTickUntilSuccess{&Names::tick_until_success, Params::None, false};
constexpr Operation kTickNTimes{&Names::tick_n_times, Params::N, false};
constexpr Operation kGetStatus{&Names::get_status, Params::None, false};
constexpr Operation kGetBlackboard{&Names::get_blackboard_data, Params::Key, false};
constexpr Operation kSetBlackboard{&Names::set_blackboard_data, Params::KeyValue, true};
constexpr Operation kGetAllBlackboard{&Names::get_all_blackboard_data, Params::None, false};
constexpr Operation kReset{&Names::reset, Params::None, true};

// ---- stopping ----

bool isCurrentThread(PyObject* thread) {
    if (thread == Py_None) return false;
    Ref threading = Ref::steal(PyImport_Import(N.threading));
    Ref current = threading ? Ref::steal(PyObject_CallMethodNoArgs(threading.get(), N.current_thread)) : Ref();
    if (!current) {
        PyErr_Clear();
        return false;
    }
    return current.get() == thread;
}

PyObject* stopTree(PyObject* const* a) {
    PyObject *self = a[0], *id = a[1];
    Ref checked = Ref::steal(callOwn(self, N._check_tree_exists, own._check_tree_exists, decls._check_tree_exists, {id}));
    if (!checked) return nullptr;
    Ref trees = Ref::steal(PyObject_GetAttr(self, N.trees));
    Ref record = trees ? Ref::steal(getItem(trees.get(), id)) : Ref();
    Ref cond = record ? Ref::steal(getItem(record.get(), N.cond)) : Ref();
    Ref command = cond ? Ref::steal(getItem(record.get(), N.command)) : Ref();
    if (!command) return nullptr;
    CondObject* c = asNativeCond(cond.get());

    // A worker cannot wait for its own end: it would wait forever.
    Ref thread = Ref::steal(getItem(record.get(), N.thread));
    if (!thread) return nullptr;
    if ((c && c->worker_token.load() == sync::currentThreadToken()) || isCurrentThread(thread.get()))
        return raiseWithLog(PyExc_RuntimeError,
                            Ref::steal(join({u("行为树 ").get(), id, u(" 不能在自己的线程中停止").get()})).get());
    if (c && c->sender_token.load() == sync::currentThreadToken())
        return raiseWithLog(PyExc_RuntimeError,
                            Ref::steal(join({u("行为树 ").get(), id, u(" 不能在等待它的命令时停止").get()})).get());

    if (c) {
        // Senders queued behind us are refused from now on, and a tick loop that would
        // never end stops at its next check, so the wait for our turn has an end.
        c->stop_requested.store(true);
        if (c->engine) interruptEngine(c->engine);
        if (!lockTurn(c)) return nullptr;
        if (!lockCond(c)) {
            c->turn.unlock();
            return nullptr;
        }
        const bool stored = slotSet(command.get(), Py_False);
        c->cond.notifyAll();
        c->cond.release();
        c->turn.unlock();
        if (!stored) return nullptr;
        // The record may be younger than its thread: wait until creation has stored and
        // started it (or given up).
        if (!c->created.isOpen()) {
            GilRelease g;
            c->created.wait();
        }
        thread = Ref::steal(getItem(record.get(), N.thread));
        if (!thread) return nullptr;
    } else if (!postGeneric(cond.get(), command.get(), Py_False)) {
        return nullptr;
    }

    if (thread.get() != Py_None) {
        Ref joined = Ref::steal(PyObject_CallMethodNoArgs(thread.get(), N.join));
        if (!joined) return nullptr;
    }
    trees = Ref::steal(PyObject_GetAttr(self, N.trees));
    if (!trees) return nullptr;
    const int removed = unregister(trees.get(), id, record.get());
    if (removed < 0) return nullptr;
    if (removed == 0) {
        // Gone already, or the id now names a newer tree that this stop must not touch.
        PyErr_SetObject(PyExc_KeyError, id);
        return nullptr;
    }
    Ref message = Ref::steal(join({u("停止行为树: ").get(), id}));
    if (!message) return nullptr;
    logInfo(message.get());
    Py_RETURN_NONE;
}

PyObject* stopAllTrees(PyObject* const* a) {
    PyObject* self = a[0];
    Ref trees = Ref::steal(PyObject_GetAttr(self, N.trees));
    Ref ids = trees ? Ref::steal(PySequence_List(trees.get())) : Ref();
    if (!ids) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        Ref r = Ref::steal(
            callOwn(self, N.stop_tree_, own.stop_tree, decls.stop_tree, {PyList_GET_ITEM(ids.get(), i)}));
        if (!r) return nullptr;
    }
    logInfo(u("停止所有行为树").get());
    Py_RETURN_NONE;
}

PyObject* finalize(PyObject* const* a) {
    Ref r = Ref::steal(callOwn(a[0], N.stop_all_trees_, own.stop_all_trees, decls.stop_all_trees, {}));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---- the class ----

// Documentation texts as the class body of a Python source would hold them: the text
// starts on the line after the quotes, every line is indented, and a blank line keeps the
// indentation of the line before it.
std::string doc(const char* summary,
                std::initializer_list<std::pair<const char*, std::vector<const char*>>> sections = {}) {
    const std::string outer = "        ", inner = "            ";
    std::string s = "\n" + outer + summary + "\n";
    const std::string* previous = &outer;
    for (const auto& [header, lines] : sections) {
        s += *previous + "\n" + outer + header + "\n";
        for (const char* line : lines) s += inner + line + "\n";
        previous = &inner;
    }
    return s + outer;
}

using argbind::Check;
using argbind::Method;
using argbind::Param;
using argbind::ResultCheck;

const Param kSelf{"self", nullptr};
const Param kTreeId{"tree_id", "str", Check::Str};

std::vector<Method>& methods() {
    static std::vector<Method> all = [] {
        std::vector<Method> m;
        auto treeOp = [&m](const char* name, std::vector<Param> extra, const char* result, ResultCheck check,
                           const char* summary, std::vector<const char*> argLines, const char* returns,
                           argbind::Impl impl) {
            std::vector<Param> params{kSelf, kTreeId};
            params.insert(params.end(), extra.begin(), extra.end());
            argLines.insert(argLines.begin(), "tree_id: 行为树ID");
            m.push_back({name, params, result, check,
                         returns ? doc(summary, {{"Args:", argLines}, {"Returns:", {returns}}})
                                 : doc(summary, {{"Args:", argLines}}),
                         impl});
        };
        m.push_back({"__init__", {kSelf}, nullptr, ResultCheck::Any, doc("初始化线程引擎"), init});
        m.push_back({"register_action_behavior",
                     {kSelf,
                      {"action_id", "str", Check::Str},
                      {"tick_functor", "Callable[[TreeNode], NodeStatus]"},
                      {"ports_list", "List[Dict[str, str]]", Check::List}},
                     "None",
                     ResultCheck::Any,
                     "\n        注册动作节点\n        \n"
                     "        该方法封装了动作节点的注册过程，将节点注册信息存储起来，供后续创建行为树线程时使用。\n"
                     "        \n        Args:\n            action_id: 动作节点ID\n"
                     "            tick_functor: 节点的tick函数\n            ports_list: 节点的端口列表\n        ",
                     registerActionBehavior});
        m.push_back({"register_action_class",
                     {kSelf, {"action_class", "Type[SimpleActionNode]"}, {"action_id", "Optional[str]", Check::OptStr, true}},
                     "None",
                     ResultCheck::Any,
                     "\n        通过类注册动作节点\n        \n"
                     "        该方法通过传入节点类来注册动作节点，自动获取tick函数和ports列表。\n"
                     "        \n        Args:\n            action_class: 动作节点类，必须继承自SimpleActionNode\n"
                     "            action_id: 动作节点ID，如果为None则使用类名\n        ",
                     registerActionClass});
        m.push_back({"_run_tree",
                     {kSelf, kTreeId, {"xml_text", "str", Check::Str}},
                     "None",
                     ResultCheck::Any,
                     doc("运行行为树线程", {{"Args:", {"tree_id: 行为树ID", "xml_text: XML文本描述的行为树"}}}),
                     runTree});
        m.push_back({"_process_command",
                     {kSelf,
                      {"engine", "SequentialEngine"},
                      {"command", "Dict[str, Any]", Check::Dict},
                      {"tree_id", "str", Check::Str},
                      {"result", "List[Any]", Check::List}},
                     "None",
                     ResultCheck::Any,
                     doc("处理命令", {{"Args:",
                                   {"engine: 顺序引擎实例", "command: 命令字典", "tree_id: 行为树ID", "result: 结果列表"}}}),
                     processCommand});
        m.push_back({"create_tree_from_text",
                     {kSelf, {"xml_text", "str", Check::Str}, {"tree_id", "Optional[str]", Check::OptStr, true}},
                     "str",
                     ResultCheck::Any,
                     doc("从XML文本创建行为树",
                         {{"Args:", {"xml_text: XML文本描述的行为树", "tree_id: 行为树ID，如果为None则自动生成"}},
                          {"Returns:", {"str: 行为树ID"}}}),
                     createTreeFromText});
        m.push_back({"create_tree_from_file",
                     {kSelf, {"file_path", "str", Check::Str}, {"tree_id", "Optional[str]", Check::OptStr, true}},
                     "str",
                     ResultCheck::Any,
                     doc("从XML文件创建行为树",
                         {{"Args:", {"file_path: XML文件路径", "tree_id: 行为树ID，如果为None则自动生成"}},
                          {"Returns:", {"str: 行为树ID"}}}),
                     createTreeFromFile});
        m.push_back({"_check_tree_exists",
                     {kSelf, kTreeId},
                     "None",
                     ResultCheck::Any,
                     doc("检查行为树是否存在", {{"Args:", {"tree_id: 行为树ID"}}, {"Raises:", {"ValueError: 如果行为树不存在"}}}),
                     checkTreeExists});
        m.push_back({"get_tree_ids", {kSelf}, "List[str]", ResultCheck::List,
                     doc("获取所有行为树ID", {{"Returns:", {"List[str]: 行为树ID列表"}}}), getTreeIds});
        m.push_back({"_send_command",
                     {kSelf,
                      kTreeId,
                      {"command_type", "str", Check::Str},
                      {"params", "Dict[str, Any]", Check::OptDict, true}},
                     "Any",
                     ResultCheck::Any,
                     doc("发送命令到行为树线程",
                         {{"Args:", {"tree_id: 行为树ID", "command_type: 命令类型", "params: 命令参数"}},
                          {"Returns:", {"Any: 命令执行结果"}},
                          {"Raises:", {"ValueError: 如果行为树不存在", "RuntimeError: 如果命令执行失败"}}}),
                     sendCommand});
        treeOp("tick_once", {}, "NodeStatus", ResultCheck::Any, "执行一次行为树tick", {}, "NodeStatus: 执行状态",
               treeOperation<kTickOnce>);
        treeOp("tick_until_failure", {}, "int", ResultCheck::Int, "执行行为树直到失败", {}, "int: 执行次数",
               treeOperation<kTickUntilFailure>);
        treeOp("tick_until_success", {}, "int", ResultCheck::Int, "执行行为树直到成功", {}, "int: 执行次数",
               treeOperation<kTickUntilSuccess>);
        treeOp("tick_n_times", {{"n", "int", Check::Int}}, "List[NodeStatus]", ResultCheck::List, "执行行为树n次",
               {"n: 执行次数"}, "List[NodeStatus]: 执行状态列表", treeOperation<kTickNTimes>);
        treeOp("get_tree_status", {}, "Dict[str, Any]", ResultCheck::Dict, "获取行为树状态", {},
               "Dict[str, Any]: 行为树状态", treeOperation<kGetStatus>);
        treeOp("get_blackboard_data", {{"key", "str", Check::Str}}, "Any", ResultCheck::Any, "获取黑板数据",
               {"key: 数据键"}, "Any: 数据值", treeOperation<kGetBlackboard>);
        treeOp("set_blackboard_data", {{"key", "str", Check::Str}, {"value", "Any"}}, "None", ResultCheck::Any,
               "设置黑板数据", {"key: 数据键", "value: 数据值"}, nullptr, treeOperation<kSetBlackboard>);
        treeOp("get_all_blackboard_data", {}, "Dict[str, Any]", ResultCheck::Dict, "获取所有黑板数据", {},
               "Dict[str, Any]: 所有黑板数据", treeOperation<kGetAllBlackboard>);
        treeOp("reset_tree", {}, "None", ResultCheck::Any, "重置行为树", {}, nullptr, treeOperation<kReset>);
        m.push_back({"stop_tree",
                     {kSelf, kTreeId},
                     "None",
                     ResultCheck::Any,
                     doc("停止行为树线程", {{"Args:", {"tree_id: 行为树ID"}}, {"Raises:", {"ValueError: 如果行为树不存在"}}}),
                     stopTree});
        m.push_back({"stop_all_trees", {kSelf}, "None", ResultCheck::Any, doc("停止所有行为树线程"), stopAllTrees});
        m.push_back({"__del__", {kSelf}, nullptr, ResultCheck::Any, doc("析构函数，确保所有线程被正确停止"), finalize});
        return m;
    }();
    return all;
}

const Method* findDecl(const char* name) {
    for (const Method& m : methods())
        if (std::string(m.name) == name) return &m;
    return nullptr;
}

}  // namespace
}  // namespace te

void bindThreadEngine(nb::module_& m) {
    using namespace te;
    if (!initNames() || !argbind::ready(m.ptr()) || !readyCondType()) throw nb::python_error();

    const char* const module = "quorvel.engine.trigger.mthread";
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) throw nb::python_error();
    auto put = [&](const char* key, PyObject* value) {
        if (!value || PyDict_SetItemString(ns.get(), key, value) < 0) {
            Py_XDECREF(value);
            throw nb::python_error();
        }
        Py_DECREF(value);
    };
    put("__module__", PyUnicode_FromString(module));
    put("__qualname__", PyUnicode_FromString("ThreadEngine"));
    put("__doc__", PyUnicode_FromString("\n    线程B树引擎类\n    "));
    for (const argbind::Method& decl : methods()) put(decl.name, argbind::makeMethod(decl, module, "ThreadEngine"));

    // Our code compares against these objects to recognise a method that nobody replaced;
    // they live as long as the process, whatever happens to the class namespace.
    auto keep = [&](const char* name) { return Py_NewRef(PyDict_GetItemString(ns.get(), name)); };
    own = {keep("register_action_behavior"), keep("_run_tree"), keep("_process_command"),
           keep("create_tree_from_text"), keep("_check_tree_exists"), keep("_send_command"),
           keep("stop_tree"), keep("stop_all_trees")};
    decls = {findDecl("register_action_behavior"), findDecl("_process_command"), findDecl("create_tree_from_text"),
             findDecl("_check_tree_exists"), findDecl("_send_command"), findDecl("stop_tree"),
             findDecl("stop_all_trees")};

    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "ThreadEngine",
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    if (!cls) throw nb::python_error();
    m.attr("ThreadEngine") = nb::borrow(cls.get());
    m.attr("ThreadCondition") = nb::borrow(reinterpret_cast<PyObject*>(&CondType));
}

}  // namespace quorvel::py
