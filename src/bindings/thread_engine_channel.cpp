// The road of one command: the sender posts it into the tree's command slot and waits, the
// worker takes it, has it dispatched to the tree's SequentialEngine and posts the answer.
//
// Slots and records are the Python objects that everybody can see; the waiting happens on
// the native condition. The GIL is given up before every wait and before every wake-up of
// the other side, so a woken thread finds it free instead of queueing for it.

#include "thread_engine.hpp"

namespace quorvel::py::te {

namespace {

Ref u(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

// Why a sender is refused without an answer from the worker.
const char* const kWorkerEnded = "行为树线程已结束";
const char* const kStopping = "行为树正在停止";
const char* const kOwnThread = "不能在行为树自己的线程中等待它执行命令";
const char* const kNested = "不能在等待该行为树的命令时向它发送命令";

PyObject* failCommand(PyObject* id, PyObject* type, PyObject* reason) {
    return raiseWithLog(PyExc_RuntimeError, Ref::steal(join({u("行为树 ").get(), id, u(" 执行命令 ").get(), type,
                                                              u(" 失败: ").get(), reason}))
                                                .get());
}

// Unpacks exactly three values, with the errors of a Python unpacking assignment.
bool unpack3(PyObject* seq, Ref out[3]) {
    if (PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == 3) {
        for (int i = 0; i < 3; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(seq, i));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(seq)->tp_name);
        }
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return false;
    }
    return !PyErr_Occurred();
}

// Scoped holds that never block on the way out.
struct HeldCond {
    sync::Condition& c;
    bool held = true;
    ~HeldCond() {
        if (held) c.release();
    }
};
struct HeldTurn {
    CondObject* c;
    ~HeldTurn() {
        c->sender_token.store(0, std::memory_order_relaxed);
        c->turn.unlock();
    }
};

// A signal handler raised while we waited for our answer: it will still come, and whoever
// sends next must throw it away (unless it is here already). The lock is not held here;
// the GIL alone keeps this look at the slot whole.
void abandonAnswer(CondObject* c, PyObject* resultSlot) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref late = Ref::steal(slotGet(resultSlot));
    if (late && late.get() != Py_None && slotSet(resultSlot, Py_None))
        c->orphaned = false;
    else
        c->orphaned = !c->worker_ended.load();
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

// One command through our own condition. Senders take turns, so each finds an empty
// result slot (or a worker's unclaimed error) and takes its own answer. Returns the
// answer triple; *refused is set instead when no worker will ever answer.
PyObject* exchangeNative(CondObject* c, PyObject* commandRecord, PyObject* commandSlot, PyObject* resultSlot,
                         const char** refused) {
    if (!lockTurn(c)) return nullptr;
    HeldTurn turn{c};
    c->sender_token.store(sync::currentThreadToken(), std::memory_order_relaxed);
    if (!lockCond(c)) return nullptr;
    HeldCond held{c->cond};
    while (c->orphaned) {
        Ref stale = Ref::steal(slotGet(resultSlot));
        if (!stale) return nullptr;
        if (stale.get() != Py_None) {
            if (!slotSet(resultSlot, Py_None)) return nullptr;
            c->orphaned = false;
        } else if (c->worker_ended.load()) {
            c->orphaned = false;
        } else if (!waitNotified(c, &held.held)) {
            return nullptr;
        }
    }
    Ref answer = Ref::steal(slotGet(resultSlot));
    if (!answer) return nullptr;
    if (answer.get() == Py_None) {
        if (c->worker_ended.load()) {
            *refused = kWorkerEnded;
            return nullptr;
        }
        if (c->stop_requested.load()) {
            *refused = kStopping;
            return nullptr;
        }
    }
    if (!slotSet(commandSlot, commandRecord)) return nullptr;
    c->cond.notifyAll();
    while (answer.get() == Py_None) {
        if (!waitNotified(c, &held.held)) {
            abandonAnswer(c, resultSlot);
            return nullptr;
        }
        answer = Ref::steal(slotGet(resultSlot));
        if (!answer) return nullptr;
        if (answer.get() == Py_None && c->worker_ended.load()) {
            *refused = kWorkerEnded;
            return nullptr;
        }
    }
    if (!slotSet(resultSlot, Py_None)) return nullptr;
    return answer.release();
}

// Calls __exit__ of a context manager entered before, keeping any pending error.
bool exitContext(PyObject* manager) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref r = Ref::steal(PyObject_CallMethodObjArgs(manager, N.exit, Py_None, Py_None, Py_None, nullptr));
    if (type) {
        if (!r) PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return false;
    }
    return static_cast<bool>(r);
}

// The same exchange through any object with the interface of threading.Condition.
PyObject* exchangeGeneric(PyObject* cond, PyObject* commandRecord, PyObject* commandSlot, PyObject* resultSlot) {
    Ref entered = Ref::steal(PyObject_CallMethodNoArgs(cond, N.enter));
    if (!entered) return nullptr;
    Ref answer;
    bool ok = slotSet(commandSlot, commandRecord);
    ok = ok && Ref::steal(PyObject_CallMethodNoArgs(cond, N.notify)).get();
    while (ok) {
        answer = Ref::steal(slotGet(resultSlot));
        if (!answer || answer.get() != Py_None) break;
        ok = Ref::steal(PyObject_CallMethodNoArgs(cond, N.wait)).get();
    }
    ok = ok && answer && slotSet(resultSlot, Py_None);
    if (!exitContext(cond) || !ok) return nullptr;
    return answer.release();
}

}  // namespace

bool postGeneric(PyObject* cond, PyObject* slot, PyObject* value) {
    Ref entered = Ref::steal(PyObject_CallMethodNoArgs(cond, N.enter));
    if (!entered) return false;
    bool ok = slotSet(slot, value);
    ok = ok && Ref::steal(PyObject_CallMethodNoArgs(cond, N.notify)).get();
    return exitContext(cond) && ok;
}

PyObject* sendCommand(PyObject* const* a) {
    PyObject *self = a[0], *id = a[1], *type = a[2], *params = a[3];
    Ref checked = Ref::steal(callOwn(self, N._check_tree_exists, own._check_tree_exists, decls._check_tree_exists, {id}));
    if (!checked) return nullptr;
    Ref trees = Ref::steal(PyObject_GetAttr(self, N.trees));
    Ref record = trees ? Ref::steal(getItem(trees.get(), id)) : Ref();
    Ref cond = record ? Ref::steal(getItem(record.get(), N.cond)) : Ref();
    Ref commandSlot = cond ? Ref::steal(getItem(record.get(), N.command)) : Ref();
    Ref resultSlot = commandSlot ? Ref::steal(getItem(record.get(), N.result)) : Ref();
    if (!resultSlot) return nullptr;

    const int hasParams = PyObject_IsTrue(params);
    if (hasParams < 0) return nullptr;
    Ref commandRecord = Ref::steal(PyDict_New());
    Ref paramMap = hasParams ? Ref::borrow(params) : Ref::steal(PyDict_New());
    if (!commandRecord || !paramMap || PyDict_SetItem(commandRecord.get(), N.type, type) < 0 ||
        PyDict_SetItem(commandRecord.get(), N.params, paramMap.get()) < 0)
        return nullptr;

    Ref triple;
    if (CondObject* c = asNativeCond(cond.get())) {
        // On the tree's own worker (an action sending to its own tree) the answer could
        // only come from this very thread.
        const std::uintptr_t me = sync::currentThreadToken();
        if (c->worker_token.load(std::memory_order_relaxed) == me)
            return failCommand(id, type, u(kOwnThread).get());
        if (c->sender_token.load(std::memory_order_relaxed) == me)
            return failCommand(id, type, u(kNested).get());
        const char* refused = nullptr;
        triple = Ref::steal(exchangeNative(c, commandRecord.get(), commandSlot.get(), resultSlot.get(), &refused));
        if (refused) return failCommand(id, type, u(refused).get());
    } else {
        triple = Ref::steal(exchangeGeneric(cond.get(), commandRecord.get(), commandSlot.get(), resultSlot.get()));
    }
    if (!triple) return nullptr;

    Ref parts[3];
    if (!unpack3(triple.get(), parts)) return nullptr;
    const int isError = PyUnicode_CheckExact(parts[0].get())
                            ? PyUnicode_Compare(parts[0].get(), N.error_type) == 0
                            : PyObject_RichCompareBool(parts[0].get(), N.error_type, Py_EQ);
    if (isError < 0) return nullptr;
    if (isError) return failCommand(id, type, parts[2].get());
    return parts[2].release();
}

// ---- the worker ----

namespace {

class Worker {
public:
    Worker(PyObject* self, PyObject* id, PyObject* xml) : self_(self), id_(id), xml_(xml) {}

    PyObject* run() {
        adopt(peekCond());
        const bool ok = setUp() && serve();
        PyObject* outcome = nullptr;
        if (ok)
            outcome = Py_NewRef(Py_None);
        else if (PyErr_ExceptionMatches(PyExc_Exception))
            outcome = report();
        finish();
        return outcome;
    }

private:
    // The record's condition before setup, when it is ours: from then on a stop can
    // interrupt this worker's engine and a sender on this thread is recognised. A quiet
    // look that runs no Python code; the visible lookup comes after setup.
    PyObject* peekCond() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* found = nullptr;
        Ref trees = Ref::steal(PyObject_GetAttr(self_, N.trees));
        if (trees && PyDict_CheckExact(trees.get())) {
            PyObject* record = PyDict_GetItemWithError(trees.get(), id_);
            if (record && PyDict_CheckExact(record)) found = PyDict_GetItemWithError(record, N.cond);
        }
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return found && asNativeCond(found) ? found : nullptr;
    }

    void adopt(PyObject* cond) {
        CondObject* c = cond ? asNativeCond(cond) : nullptr;
        if (c == native_) return;
        if (native_) {
            native_->worker_token.store(0);
            Py_CLEAR(native_->engine);
        }
        nativeRef_ = Ref::borrow(cond);
        native_ = c;
        if (!c) return;
        c->worker_token.store(sync::currentThreadToken());
        if (engine_) {
            Py_XSETREF(c->engine, Py_NewRef(engine_.get()));
            if (c->stop_requested.load()) interruptEngine(engine_.get());
        }
    }

    bool setUp() {
        Ref engineType = Ref::steal(mthreadAttr(N.SequentialEngine));
        if (!engineType) return false;
        engine_ = Ref::steal(PyObject_CallNoArgs(engineType.get()));
        if (!engine_) return false;
        if (native_) {
            Py_XSETREF(native_->engine, Py_NewRef(engine_.get()));
            if (native_->stop_requested.load()) interruptEngine(engine_.get());
        }

        // The list as it stands while we walk it: appends made meanwhile may be seen.
        Ref registrations = Ref::steal(PyObject_GetAttr(self_, N.action_registrations));
        if (!registrations) return false;
        if (PyList_CheckExact(registrations.get())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(registrations.get()); ++i) {
                Ref item = Ref::borrow(PyList_GET_ITEM(registrations.get(), i));
                if (!registerAction(item.get())) return false;
            }
        } else {
            Ref it = Ref::steal(PyObject_GetIter(registrations.get()));
            if (!it) return false;
            while (Ref item = Ref::steal(PyIter_Next(it.get())))
                if (!registerAction(item.get())) return false;
            if (PyErr_Occurred()) return false;
        }

        Ref loaded = Ref::steal(PyObject_CallMethodOneArg(engine_.get(), N.create_tree_from_text_, xml_));
        return loaded && lookUpRecord();
    }

    bool registerAction(PyObject* registration) {
        Ref parts[3];
        if (!unpack3(registration, parts)) return false;
        Ref r = Ref::steal(PyObject_CallMethodObjArgs(engine_.get(), N.register_action_behavior_, parts[0].get(),
                                                      parts[1].get(), parts[2].get(), nullptr));
        return static_cast<bool>(r);
    }

    bool lookUpRecord() {
        Ref trees = Ref::steal(PyObject_GetAttr(self_, N.trees));
        record_ = trees ? Ref::steal(getItem(trees.get(), id_)) : Ref();
        cond_ = record_ ? Ref::steal(getItem(record_.get(), N.cond)) : Ref();
        commandSlot_ = cond_ ? Ref::steal(getItem(record_.get(), N.command)) : Ref();
        resultSlot_ = commandSlot_ ? Ref::steal(getItem(record_.get(), N.result)) : Ref();
        if (!resultSlot_) return false;
        adopt(asNativeCond(cond_.get()) ? cond_.get() : nullptr);
        return true;
    }

    bool process(PyObject* command) {
        bool isOwn = false;
        Ref method = Ref::steal(argbind::lookup(self_, N._process_command, own._process_command, &isOwn));
        if (!method) return false;
        PyObject* args[] = {self_, engine_.get(), command, id_, resultSlot_.get()};
        Ref r = Ref::steal(isOwn ? argbind::invoke(*decls._process_command, args)
                                 : PyObject_Vectorcall(method.get(), args + 1, 4, nullptr));
        return static_cast<bool>(r);
    }

    bool serve() { return native_ ? serveNative() : serveGeneric(); }

    bool serveNative() {
        CondObject* c = native_;
        acquireReleasingGil(c->cond);
        holding_ = true;
        Ref command = Ref::steal(slotGet(commandSlot_.get()));
        while (command) {
            if (command.get() == Py_None) {
                {
                    GilRelease g;
                    c->cond.wait();
                }
                command = Ref::steal(slotGet(commandSlot_.get()));
                continue;
            }
            if (command.get() == Py_False) {  // the stop request, by identity
                c->cond.release();
                holding_ = false;
                return true;
            }
            if (!process(command.get())) return false;
            if (!slotSet(commandSlot_.get(), Py_None)) return false;
            command.reset();
            {
                // Give up the GIL before the wake-up, so the sender finds it free; then
                // sleep until the next command (nobody can post while we hold the lock).
                GilRelease g;
                c->cond.notifyAll();
                c->cond.wait();
            }
            command = Ref::steal(slotGet(commandSlot_.get()));
        }
        return false;
    }

    bool serveGeneric() {
        PyObject* cond = cond_.get();
        for (;;) {
            Ref entered = Ref::steal(PyObject_CallMethodNoArgs(cond, N.enter));
            if (!entered) return false;
            Ref command = Ref::steal(slotGet(commandSlot_.get()));
            while (command && command.get() == Py_None) {
                if (!Ref::steal(PyObject_CallMethodNoArgs(cond, N.wait))) command.reset();
                else command = Ref::steal(slotGet(commandSlot_.get()));
            }
            bool ok = static_cast<bool>(command);
            if (ok && command.get() == Py_False) return exitContext(cond);
            ok = ok && process(command.get()) && slotSet(commandSlot_.get(), Py_None);
            ok = ok && Ref::steal(PyObject_CallMethodNoArgs(cond, N.notify)).get();
            if (!exitContext(cond) || !ok) return false;
        }
    }

    // A failure of the worker itself: logged, and left in the result slot as an error
    // triple for whoever waits or sends next.
    PyObject* report() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref excType = Ref::steal(type), excValue = Ref::steal(value), excTb = Ref::steal(tb);
        Ref message = Ref::steal(join({u("行为树线程 ").get(), id_, u(" 发生错误: ").get(), excValue.get()}));
        if (!message) return nullptr;
        logError(message.get());
        if (!resultSlot_ && !lookUpRecord()) return nullptr;
        Ref triple = Ref::steal(PyTuple_Pack(3, N.error_type, id_, message.get()));
        if (!triple) return nullptr;
        if (native_) {
            acquireReleasingGil(native_->cond);
            const bool stored = slotSet(resultSlot_.get(), triple.get());
            native_->cond.notifyAll();
            native_->cond.release();
            if (!stored) return nullptr;
        } else if (!postGeneric(cond_.get(), resultSlot_.get(), triple.get())) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    // Whatever the way out: senders waiting now or later learn that nobody will answer,
    // and the engine is released here, on its own thread.
    void finish() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (CondObject* c = native_) {
            if (holding_) c->cond.release();
            holding_ = false;
            endWorker(c);
            c->worker_token.store(0);
            Py_CLEAR(c->engine);
        }
        engine_.reset();
        PyErr_Restore(type, value, tb);
    }

    PyObject *self_, *id_, *xml_;
    Ref nativeRef_;
    CondObject* native_ = nullptr;
    bool holding_ = false;
    Ref engine_, record_, cond_, commandSlot_, resultSlot_;
};

}  // namespace

PyObject* runTree(PyObject* const* a) { return Worker(a[0], a[1], a[2]).run(); }

// ---- dispatch ----

namespace {

enum Kind { TickOnce, TickUntilFailure, TickUntilSuccess, TickNTimes, GetStatus, GetBlackboard, SetBlackboard,
            GetAllBlackboard, Reset, Unknown };

PyObject* Names::* const kTypes[] = {&Names::tick_once,           &Names::tick_until_failure,
                                     &Names::tick_until_success,  &Names::tick_n_times,
                                     &Names::get_status,          &Names::get_blackboard_data,
                                     &Names::set_blackboard_data, &Names::get_all_blackboard_data,
                                     &Names::reset};

// The first command type equal to `type`, in table order; -1 on a failing comparison.
int match(PyObject* type) {
    for (int k = 0; k < Unknown; ++k) {
        PyObject* name = N.*kTypes[k];
        if (type == name) return k;
        const int eq = PyUnicode_CheckExact(type) ? PyUnicode_Compare(type, name) == 0
                                                  : PyObject_RichCompareBool(type, name, Py_EQ);
        if (eq < 0) return -1;
        if (eq) return k;
    }
    return Unknown;
}

// params.get(key, fallback), through the mapping's own get unless it is a plain dict.
PyObject* param(PyObject* params, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(params)) {
        PyObject* v = PyDict_GetItemWithError(params, key);
        if (v) return Py_NewRef(v);
        return PyErr_Occurred() ? nullptr : Py_NewRef(fallback);
    }
    return PyObject_CallMethodObjArgs(params, N.get, key, fallback, nullptr);
}

bool store(PyObject* result, PyObject* kind, PyObject* id, PyObject* value) {
    Ref triple = Ref::steal(PyTuple_Pack(3, kind, id, value));
    return triple && slotSet(result, triple.get());
}

bool dispatch(PyObject* engine, PyObject* type, PyObject* params, PyObject* id, PyObject* result) {
    const int kind = match(type);
    if (kind < 0) return false;
    Ref answer;
    switch (kind) {
        case TickOnce:
            answer = Ref::steal(PyObject_CallMethodNoArgs(engine, N.tick_once));
            break;
        case TickUntilFailure:
            answer = Ref::steal(PyObject_CallMethodNoArgs(engine, N.tick_until_failure));
            break;
        case TickUntilSuccess:
            answer = Ref::steal(PyObject_CallMethodNoArgs(engine, N.tick_until_success));
            break;
        case TickNTimes: {
            Ref one = Ref::steal(PyLong_FromLong(1));
            Ref n = one ? Ref::steal(param(params, N.n, one.get())) : Ref();
            if (!n) return false;
            answer = Ref::steal(PyObject_CallMethodOneArg(engine, N.tick_n_times, n.get()));
            break;
        }
        case GetStatus:
            answer = Ref::steal(PyObject_CallMethodNoArgs(engine, N.get_tree_status));
            break;
        case GetBlackboard: {
            Ref key = Ref::steal(param(params, N.key, Py_None));
            if (!key) return false;
            answer = Ref::steal(PyObject_CallMethodOneArg(engine, N.get_blackboard_data, key.get()));
            break;
        }
        case SetBlackboard: {
            Ref key = Ref::steal(param(params, N.key, Py_None));
            Ref value = key ? Ref::steal(param(params, N.value, Py_None)) : Ref();
            if (!value) return false;
            Ref r = Ref::steal(
                PyObject_CallMethodObjArgs(engine, N.set_blackboard_data, key.get(), value.get(), nullptr));
            if (!r) return false;
            answer = Ref::borrow(Py_None);
            break;
        }
        case GetAllBlackboard:
            answer = Ref::steal(PyObject_CallMethodNoArgs(engine, N.get_all_blackboard_data));
            break;
        case Reset: {
            Ref r = Ref::steal(PyObject_CallMethodNoArgs(engine, N.reset_tree));
            if (!r) return false;
            answer = Ref::borrow(Py_None);
            break;
        }
        default: {
            Ref message = Ref::steal(join({u("未知命令类型: ").get(), type}));
            if (!message) return false;
            logError(message.get());
            return store(result, N.error_type, id, message.get());
        }
    }
    return answer && store(result, N.*kTypes[kind], id, answer.get());
}

}  // namespace

PyObject* processCommand(PyObject* const* a) {
    PyObject *engine = a[1], *command = a[2], *id = a[3], *result = a[4];
    PyObject* found = PyDict_GetItemWithError(command, N.type);
    if (!found && PyErr_Occurred()) return nullptr;
    Ref type = Ref::borrow(found ? found : Py_None);
    found = PyDict_GetItemWithError(command, N.params);
    if (!found && PyErr_Occurred()) return nullptr;
    Ref params = found ? Ref::borrow(found) : Ref::steal(PyDict_New());
    if (!params) return nullptr;

    if (dispatch(engine, type.get(), params.get(), id, result)) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyObject *excType, *excValue, *excTb;
    PyErr_Fetch(&excType, &excValue, &excTb);
    PyErr_NormalizeException(&excType, &excValue, &excTb);
    Ref t = Ref::steal(excType), v = Ref::steal(excValue), tb = Ref::steal(excTb);
    Ref message = Ref::steal(join({u("处理命令 ").get(), type.get(), u(" 时发生错误: ").get(), v.get()}));
    if (!message) return nullptr;
    logError(message.get());
    if (!store(result, N.error_type, id, message.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace quorvel::py::te
