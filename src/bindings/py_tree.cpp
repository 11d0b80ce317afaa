#include "py_tree.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <unistd.h>
#include <chrono>
#include <set>
#include <vector>

#include "py_control_node.hpp"
#include "py_node.hpp"
#include "py_value.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/limits.hpp"
#include "quorvel/observe.hpp"

namespace quorvel::py {

std::string_view kindName(NodeKind kind) {
    switch (kind) {
        case NodeKind::Action: return "action";
        case NodeKind::Condition: return "condition";
        case NodeKind::Control: return "control";
        case NodeKind::Decorator: return "decorator";
        case NodeKind::SubTree: return "subtree";
    }
    return "unknown";
}

namespace {

// On the main thread a long tick loop still lets Ctrl-C through: every so often it takes the
// GIL back and runs the pending signal handlers.
class SignalCheck {
public:
    SignalCheck() : enabled_(onMainThread()), next_(Clock::now() + kPeriod) {}
    // `waited`: the loop slept before this tick, so ticks may be far apart.
    void operator()(bool waited = false) {
        if (!enabled_ || (!waited && ++calls_ % 64 != 0)) return;
        auto now = Clock::now();
        if (now < next_) return;
        next_ = now + kPeriod;
        LazyGil::ensureHeld();
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }

private:
    static constexpr std::chrono::milliseconds kPeriod{50};
    bool enabled_;
    unsigned calls_ = 0;
    Clock::time_point next_;
};

}  // namespace

TreeHost::~TreeHost() {
    unlist();
    std::unique_ptr<Tree> tree;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        tree = std::move(tree_);
    }
    // Destroyed here, outside the lock: halting it may call Python halt hooks.
}

int TreeHost::traverse(visitproc visit, void* arg) const {
    // While another thread runs or swaps the tree, leave it alone; a later collection sees it.
    if (!tree_ || (busy_.busy() && !busy_.heldByThisThread())) return 0;
    std::vector<const Blackboard*> boards{tree_->rootBlackboard().get()};
    for (const auto& node : tree_->nodes()) {
        if (auto* action = dynamic_cast<const PyActionNode*>(node.get())) Py_VISIT(action->handleObject());
        else if (int r = traverseControlNode(*node, visit, arg)) return r;
        const Blackboard* board = node->blackboard().get();
        if (board && std::find(boards.begin(), boards.end(), board) == boards.end()) boards.push_back(board);
    }
    // Python objects stored in the blackboards. Each PyOpaque holds one reference, and one
    // may sit in several entries (a script copying an entry), so each is reported once:
    // reporting a reference twice could make the collector free a live object.
    std::set<const PyOpaque*> seen;
    for (const Blackboard* board : boards) {
        if (!board) continue;
        for (const auto& entry : board->localEntries()) {
            auto* py = dynamic_cast<const PyOpaque*>(entry.second.object().get());
            if (py && seen.insert(py).second) Py_VISIT(py->object().ptr());
        }
    }
    return 0;
}

void TreeHost::clear() {
    std::unique_ptr<Tree> tree;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        tree = std::move(tree_);
    }
    // Destroyed here, outside the lock: halting it may call Python halt hooks.
}

Tree& TreeHost::requireTree() {
    if (!tree_) raiseRuntimeError(std::string(what_) + ": no tree is loaded (call create_tree_from_text first)");
    return *tree_;
}

void TreeHost::checkBlackboardAccess() {
    if (busy_.busy() && !busy_.heldByThisThread())
        raiseRuntimeError(std::string(what_) + ": the blackboard cannot be used while another thread ticks the tree");
}

void TreeHost::checkInterrupt() const {
    if (interrupted()) raiseRuntimeError(std::string(what_) + ": the tick loop was interrupted");
}

void TreeHost::interrupt() noexcept {
    interrupted_.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (tree_) tree_->wakeSignal().notify();
}

namespace {
std::atomic<uint64_t> g_next_serial{1};  // a loaded tree's serial: observers of a replaced tree are gone
}  // namespace

void TreeHost::load(const std::function<Tree()>& build) {
    BusyFlag::Guard guard(busy_, "loading a tree");
    std::unique_ptr<Tree> old;
    runEngineCall([&] {
        LazyGil::letGo();  // parsing needs no Python and may take long
        auto fresh = std::make_unique<Tree>(build());
        std::shared_ptr<const LayoutData> previous_layout;
        SubTreePorts ports = published(*fresh);  // nobody else sees the tree yet
        {
            std::lock_guard<std::mutex> lock(tree_mutex_);
            old = std::move(tree_);
            previous_layout = std::move(layout_);
            subtree_ports_ = std::move(ports);
            serial_.store(g_next_serial.fetch_add(1), std::memory_order_release);
            tree_ = std::move(fresh);
        }
        old.reset();  // outside the lock: halting it may call Python halt hooks
    });
}

nb::object TreeHost::tickOnce() {
    BusyFlag::Guard guard(busy_, "tick_once()");
    Tree& tree = requireTree();
    NodeStatus status = runEngineCall([&] { return tree.tickOnce(); });
    return nb::borrow(statusObject(status));
}

long long tickCount(nb::handle n) {
    if (!PyLong_Check(n.ptr()) || PyBool_Check(n.ptr()))
        throw nb::type_error((std::string("n must be an int, not ") + nb::type_name(n.type()).c_str()).c_str());
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow < 0) return 0;
    if (overflow > 0 || count > limits::kMaxTicksPerCall) {
        nb::str text = nb::str(n);
        throw TickError(std::string("tick_n_times: n=") + text.c_str() + " is more than the limit of " +
                        std::to_string(limits::kMaxTicksPerCall) + " ticks per call");
    }
    return count;
}

nb::list TreeHost::tickNTimes(long long n) {
    BusyFlag::Guard guard(busy_, "tick_n_times()");
    Tree& tree = requireTree();
    std::vector<NodeStatus> statuses;
    if (n > 0) {
        statuses.reserve(static_cast<size_t>(std::min<long long>(n, 1 << 20)));
        runEngineCall([&] {
            SignalCheck signals;
            for (long long i = 0; i < n; ++i) {
                // The same check as the tick loops: a stop must not wait for millions of ticks.
                checkInterrupt();
                statuses.push_back(tree.tickOnce());
                signals();
            }
        });
    }
    nb::list result;
    for (NodeStatus s : statuses) result.append(statusObject(s));
    return result;
}

long long TreeHost::tickUntil(NodeStatus target) {
    BusyFlag::Guard guard(busy_, target == NodeStatus::SUCCESS ? "tick_until_success()" : "tick_until_failure()");
    Tree& tree = requireTree();
    return runEngineCall([&] {
        SignalCheck signals;
        RetryBackoff backoff;
        long long count = 0;
        for (;;) {
            checkInterrupt();
            NodeStatus status = tree.tickOnce();
            ++count;
            if (status == target) return count;
            checkInterrupt();
            if (status == NodeStatus::RUNNING) {
                backoff.reset();
                tree.waitBetweenTicks();
            } else if (tree.waitBeforeRetry(backoff.pause())) {
                // The other status, and nothing asked to be ticked again at once: the tree
                // starts over, but pauses longer each time it ends the same way.
                backoff.grow();
            } else {
                backoff.reset();
            }
            signals(true);
        }
    });
}

nb::object TreeHost::tickWhileRunning() {
    BusyFlag::Guard guard(busy_, "tick_while_running()");
    Tree& tree = requireTree();
    NodeStatus status = runEngineCall([&] {
        SignalCheck signals;
        for (;;) {
            checkInterrupt();
            NodeStatus s = tree.tickOnce();
            if (s != NodeStatus::RUNNING) return s;
            checkInterrupt();
            tree.waitBetweenTicks();
            signals(true);
        }
    });
    return nb::borrow(statusObject(status));
}

void TreeHost::halt() {
    BusyFlag::Guard guard(busy_, "reset_tree()");
    Tree& tree = requireTree();
    runEngineCall([&] { tree.haltTree(); });
}

nb::object TreeHost::status() {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    return nb::borrow(statusObject(tree.root() ? tree.root()->status() : NodeStatus::IDLE));
}

nb::dict TreeHost::treeStatus() {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    nb::list nodes;
    std::vector<uint32_t> parents;  // uid of the last node seen at each depth
    tree.visit([&](TreeNode& node, int depth) {
        nb::dict entry;
        entry["uid"] = node.uid();
        entry["name"] = node.name();
        entry["type"] = node.typeId();
        entry["kind"] = nb::str(kindName(node.kind()).data(), kindName(node.kind()).size());
        entry["status"] = statusObject(node.status());
        entry["depth"] = depth;
        entry["parent"] = depth > 0 && static_cast<size_t>(depth) <= parents.size() ? nb::object(nb::int_(parents[depth - 1]))
                                                                                      : nb::none();
        parents.resize(static_cast<size_t>(depth) + 1);
        parents[depth] = node.uid();
        nodes.append(entry);
    });
    nb::dict result;
    result["status"] = statusObject(tree.root() ? tree.root()->status() : NodeStatus::IDLE);
    result["nodes"] = nodes;
    return result;
}

nb::object TreeHost::get(nb::handle key) {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    if (key.is_none()) return nb::none();
    if (!PyUnicode_Check(key.ptr()))
        throw nb::type_error((std::string("blackboard keys are str, not ") + nb::type_name(key.type()).c_str()).c_str());
    const Value* value = tree.rootBlackboard()->find(utf8Of(key, "the blackboard key"));
    return value ? fromValue(*value) : nb::none();
}

void TreeHost::set(nb::handle key, nb::handle value) {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    if (!PyUnicode_Check(key.ptr()))
        throw nb::type_error((std::string("blackboard keys are str, not ") + nb::type_name(key.type()).c_str()).c_str());
    tree.rootBlackboard()->set(utf8Of(key, "the blackboard key"), toValue(value));
}

nb::dict TreeHost::all() {
    Tree& tree = requireTree();
    checkBlackboardAccess();
    nb::dict result;
    for (const auto& [key, value] : tree.rootBlackboard()->localEntries()) result[key.c_str()] = fromValue(value);
    return result;
}

}  // namespace quorvel::py

// ---- observation ----

namespace quorvel::py {

// What a loaded tree looks like, computed on the loading thread before the tree first ticks:
// layouts read from other threads then touch nothing the tick changes.
struct LayoutData {
    struct Node {
        uint32_t uid = 0;
        std::string name, type, kind, tree;
        int64_t parent = -1;
        std::vector<uint32_t> children;
        std::vector<std::pair<std::string, std::string>> ports;  // sorted by name
        std::vector<std::pair<std::string, std::string>> metadata;
        int line = 0;
        // Pieces of the recording's tick lines that never change for this node.
        std::string transition_json;  // {"uid":N,"name":"...","previous":"  (+16 zero bytes)
        std::string counters_json;    // "N":["  (+16 zero bytes)
        size_t transition_size = 0, counters_size = 0;
    };
    uint32_t root = 0;
    std::vector<Node> nodes;  // by uid
};

namespace {

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<TreeHost*>& registry() {
    static auto* hosts = new std::vector<TreeHost*>;  // never destroyed: hosts may outlive statics
    return *hosts;
}

std::string entryText(const std::string& key) { return "{" + key + "}"; }

void appendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    out += '"';
}

template <class Int>
void appendInt(std::string& out, Int v) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, end);
}

// A SubTree's ports are the entries its blackboard was connected with.
std::vector<std::pair<std::string, std::string>> subTreePorts(const TreeNode& node) {
    std::vector<std::pair<std::string, std::string>> ports;
    const Blackboard& board = *node.children().front()->blackboard();
    for (const auto& [internal, external] : board.remaps()) ports.emplace_back(internal, entryText(external));
    for (const std::string& key : board.pinned()) {
        const Value* v = board.find(key);
        auto text = v ? v->toText() : std::nullopt;
        ports.emplace_back(key, text ? *text : std::string());
    }
    if (board.autoRemap()) ports.emplace_back("_autoremap", "true");
    return ports;
}

std::shared_ptr<const LayoutData> computeLayout(const Tree& tree, const TreeHost::SubTreePorts& subtree_ports) {
    auto layout = std::make_shared<LayoutData>();
    if (tree.empty()) return layout;
    layout->root = tree.root()->uid();
    layout->nodes.resize(tree.nodes().size());
    for (const auto& owned : tree.nodes()) {
        const TreeNode& node = *owned;
        LayoutData::Node& out = layout->nodes[node.uid()];
        out.uid = node.uid();
        out.name = node.name();
        out.type = node.typeId();
        out.kind = std::string(kindName(node.kind()));
        out.tree = node.treeId();
        out.line = node.line();
        out.metadata = node.metadata();
        for (TreeNode* child : node.children()) out.children.push_back(child->uid());
        for (size_t i = 0; i < node.portCount(); ++i) {
            const PortBinding& binding = node.portBindingAt(i);
            out.ports.emplace_back(node.portNameAt(i), binding.is_entry ? entryText(binding.text) : binding.text);
        }
        if (auto sub = subtree_ports.find(node.uid()); sub != subtree_ports.end())
            out.ports.insert(out.ports.end(), sub->second.begin(), sub->second.end());
        std::sort(out.ports.begin(), out.ports.end());
    }
    for (const auto& node : layout->nodes)
        for (uint32_t child : node.children) layout->nodes[child].parent = node.uid;
    for (auto& node : layout->nodes) {
        node.transition_json = "{\"uid\":" + std::to_string(node.uid) + ",\"name\":";
        appendJsonString(node.transition_json, node.name);
        node.transition_json += ",\"previous\":\"";
        node.counters_json = "\"" + std::to_string(node.uid) + "\":[\"";
        // LineWriter::addPadded reads whole blocks past the end.
        node.transition_size = node.transition_json.size();
        node.counters_size = node.counters_json.size();
        node.transition_json.append(16, '\0');
        node.counters_json.append(16, '\0');
    }
    // Where the loader did not name the BehaviorTree of a node: the SubTree above it (whose
    // name is its ID unless renamed).
    for (auto& node : layout->nodes) {
        if (!node.tree.empty() || node.parent < 0) continue;
        const LayoutData::Node& parent = layout->nodes[node.parent];
        node.tree = parent.kind == "subtree" ? parent.name : parent.tree;
    }
    return layout;
}

nb::str text(std::string_view s) { return nb::str(s.data(), s.size()); }

nb::object nodeStatusName(NodeStatus s) { return text(toString(s)); }

// Time a node has run, as snapshots report it: closed stretches plus an open one up to `now`.
int64_t runningNs(const NodeCounters& c, int64_t now) {
    return c.running_ns + (c.status == NodeStatus::RUNNING ? now - c.running_since : 0);
}

}  // namespace

// One tick as an observer sees it: a sequence of Transition, plus what the tick wrote.
struct PyTickReport {
    std::shared_ptr<const TickReport> report;
    std::shared_ptr<const LayoutData> layout;
    bool writes = false;  // the observer asked for the blackboard writes
};

struct PyTransition {
    uint32_t uid;
    std::string name;
    NodeStatus previous, status;
    int64_t time_ns;
    uint64_t tick;
};

namespace {

struct PyCallback {
    nb::object fn;
    explicit PyCallback(nb::object f) : fn(std::move(f)) {}
    ~PyCallback() {
        if (!mayEnterPython()) {
            fn.release();  // leaked rather than touched without the interpreter
            return;
        }
        GilAcquire gil;
        fn.reset();
    }
};

// GIL held. The error goes to the `quorvel` logger through Python, so that it is attributed
// to quorvel.observe and `logger.disable("quorvel")` silences it.
void reportObserverError(nb::handle callback) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *exc = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &exc, &traceback);
    PyErr_NormalizeException(&type, &exc, &traceback);
    if (exc && traceback) PyException_SetTraceback(exc, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    try {
        nb::module_::import_("quorvel.observe").attr("_observer_failed")(callback, nb::steal(exc));
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("reporting an observer's error");
    }
}

void deliver(PyCallback& callback, const std::shared_ptr<const LayoutData>& layout,
             const std::shared_ptr<const TickReport>& report, bool writes) {
    if (!mayEnterPython()) return;
    auto call = [&] {
        auto* copy = new PyTickReport{report, layout, writes};
        nb::object arg = nb::cast(copy, nb::rv_policy::take_ownership);
        PyObject* result = PyObject_CallOneArg(callback.fn.ptr(), arg.ptr());
        if (result) Py_DECREF(result);
        else reportObserverError(callback.fn);
    };
    if (LazyGil::inside()) {
        LazyGil::ensureHeld();
        call();
    } else {
        GilAcquire gil;
        call();
    }
}

}  // namespace

void TreeHost::listOwner(void* owner, nb::object (*find)(void*)) {
    owner_ = owner;
    find_owner_ = find;
    std::lock_guard<std::mutex> lock(registryMutex());
    registry().push_back(this);
}

void TreeHost::unlist() noexcept {
    if (!owner_) return;
    std::lock_guard<std::mutex> lock(registryMutex());
    auto& hosts = registry();
    hosts.erase(std::remove(hosts.begin(), hosts.end(), this), hosts.end());
    owner_ = nullptr;
}

std::vector<std::pair<TreeHost*, nb::object>> TreeHost::liveHosts() {
    std::vector<std::pair<TreeHost*, nb::object>> result;
    std::lock_guard<std::mutex> lock(registryMutex());
    for (TreeHost* host : registry()) {
        {
            std::lock_guard<std::mutex> tree_lock(host->tree_mutex_);
            if (!host->tree_) continue;
        }
        nb::object owner = host->find_owner_(host->owner_);
        if (owner.is_valid() && !owner.is_none() && Py_REFCNT(owner.ptr()) > 1) result.emplace_back(host, std::move(owner));
    }
    return result;
}

TreeHost::SubTreePorts TreeHost::published(Tree& tree) {
    // Before the tree is handed out, so that its first tick and any reader find it built.
    tree.monitor();
    SubTreePorts ports;
    for (const auto& node : tree.nodes())
        if (node->kind() == NodeKind::SubTree && !node->children().empty()) ports[node->uid()] = subTreePorts(*node);
    return ports;
}

std::shared_ptr<const LayoutData> TreeHost::layoutLocked() {
    if (!layout_ && tree_) layout_ = computeLayout(*tree_, subtree_ports_);
    return layout_;
}

nb::object TreeHost::layout() {
    std::shared_ptr<const LayoutData> layout;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        if (!tree_ || tree_->empty()) return nb::none();
        layout = layoutLocked();
    }
    nb::list nodes;
    for (const LayoutData::Node& n : layout->nodes) {
        nb::dict d;
        d["uid"] = n.uid;
        d["name"] = text(n.name);
        d["type"] = text(n.type);
        d["kind"] = text(n.kind);
        d["parent"] = n.parent < 0 ? nb::none() : nb::object(nb::int_(n.parent));
        nb::list children;
        for (uint32_t c : n.children) children.append(c);
        d["children"] = children;
        nb::dict ports;
        for (const auto& [k, v] : n.ports) ports[text(k)] = text(v);
        d["ports"] = ports;
        d["line"] = n.line;
        d["tree"] = n.tree.empty() ? nb::none() : nb::object(text(n.tree));
        nb::dict metadata;
        for (const auto& [k, v] : n.metadata) metadata[text(k)] = text(v);
        d["metadata"] = metadata;
        nodes.append(d);
    }
    nb::dict result;
    result["schema"] = "quorvel.layout/1";
    result["root"] = layout->root;
    result["nodes"] = nodes;
    return result;
}

nb::object TreeHost::snapshot() {
    TreeSnapshot s;
    {
        std::lock_guard<std::mutex> lock(tree_mutex_);
        if (!tree_ || tree_->empty()) return nb::none();
        s = tree_->snapshot();
    }
    nb::dict nodes;
    nb::str k_status("status"), k_last("last"), k_ticks("ticks"), k_success("success"), k_failure("failure"),
        k_running("running_ns");
    for (size_t uid = 0; uid < s.nodes.size(); ++uid) {
        const NodeCounters& c = s.nodes[uid];
        nb::dict d;
        d[k_status] = nodeStatusName(c.status);
        d[k_last] = nodeStatusName(c.last);
        d[k_ticks] = c.ticks;
        d[k_success] = c.success;
        d[k_failure] = c.failure;
        d[k_running] = c.running_ns;
        nodes[nb::int_(uid)] = d;
    }
    nb::dict result;
    result["schema"] = "quorvel.snapshot/1";
    result["tick"] = s.tick;
    result["status"] = nodeStatusName(s.status);
    result["nodes"] = nodes;
    return result;
}

uint64_t TreeHost::observe(nb::handle callback, bool blackboard) {
    if (!PyCallable_Check(callback.ptr()))
        throw nb::type_error((std::string("the observer must be callable, not ") + nb::type_name(callback.type()).c_str()).c_str());
    auto cb = std::make_shared<PyCallback>(nb::borrow(callback));
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (!tree_) raiseRuntimeError(std::string(what_) + ": no tree is loaded (call create_tree_from_text first)");
    auto layout = layoutLocked();
    return tree_->monitor().addObserver(
        [cb, layout, blackboard](const std::shared_ptr<const TickReport>& r) { deliver(*cb, layout, r, blackboard); },
        blackboard);
}

uint64_t TreeHost::observeWith(TreeObserver observer, bool blackboard) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (!tree_) raiseRuntimeError(std::string(what_) + ": no tree is loaded (call create_tree_from_text first)");
    return tree_->monitor().addObserver(std::move(observer), blackboard);
}

std::shared_ptr<const LayoutData> TreeHost::layoutData() {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    return layoutLocked();
}

bool TreeHost::unobserve(uint64_t serial, uint64_t id) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (!tree_ || serial != serial_.load(std::memory_order_acquire)) return false;
    return tree_->monitor().removeObserver(id);
}

nb::object treeView(TreeHost& host, nb::handle owner) {
    if (!host.loaded()) return nb::none();
    return nb::cast(new PyTree(host, nb::borrow(owner)), nb::rv_policy::take_ownership);
}

// ---- the Python classes ----

namespace {

struct PyObserver {
    nb::object tree;  // the Tree object, which keeps the host alive
    uint64_t serial = 0;
    uint64_t id = 0;
    bool closed = false;

    void close() {
        if (closed) return;
        closed = true;
        nb::inst_ptr<PyTree>(tree)->host().unobserve(serial, id);
    }
};

int treeTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyTree* t = nb::inst_ptr<PyTree>(self);
    if (t->isView()) {
        Py_VISIT(t->owner().ptr());
        return 0;
    }
    return t->host().traverse(visit, arg);
}

int treeClear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyTree* t = nb::inst_ptr<PyTree>(self);
    if (t->isView()) t->dropOwner();
    else t->host().clear();
    return 0;
}

PyType_Slot tree_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(treeTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(treeClear)},
    {0, nullptr},
};

TreeHost& hostOf(PyTree& t) {
    if (t.isView() && !t.owner().is_valid()) raiseRuntimeError("Tree: its engine is gone");
    return t.host();
}

PyTransition transitionAt(const PyTickReport& r, Py_ssize_t i) {
    Py_ssize_t n = static_cast<Py_ssize_t>(r.report->transitions.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) throw nb::index_error("transition index out of range");
    const Transition& t = r.report->transitions[static_cast<size_t>(i)];
    const std::string& name = t.uid < r.layout->nodes.size() ? r.layout->nodes[t.uid].name : std::string();
    return PyTransition{t.uid, name, t.previous, t.status, r.report->time_ns, r.report->tick};
}

// Writes into a buffer sized beforehand for the worst case, with at least 16 bytes to spare
// after every piece: copies are then fixed-size moves (a variable-size memcpy of a few bytes
// costs more than the bytes themselves) that may write past a piece's end, into space the
// next piece overwrites.
class LineWriter {
public:
    static constexpr size_t kSlack = 16;
    explicit LineWriter(char* at) : at_(at) {}
    template <size_t N>
    void add(const char (&literal)[N]) {
        std::memcpy(at_, literal, N - 1);
        at_ += N - 1;
    }
    void add(char c) { *at_++ = c; }
    // `padded` has kSlack readable bytes after its `size` bytes.
    void addPadded(const char* padded, size_t size) {
        for (size_t i = 0; i < size; i += kSlack) std::memcpy(at_ + i, padded + i, kSlack);
        at_ += size;
    }
    void status(NodeStatus s) {
        static constexpr char names[5][8] = {"IDLE", "RUNNING", "SUCCESS", "FAILURE", "SKIPPED"};
        static constexpr uint8_t sizes[5] = {4, 7, 7, 7, 7};
        auto i = static_cast<size_t>(s);
        std::memcpy(at_, names[i], 8);
        at_ += sizes[i];
    }
    template <class Int>
    void number(Int v) {
        at_ = std::to_chars(at_, at_ + 24, v).ptr;
    }
    char* end() const { return at_; }

private:
    char* at_;
};

// The tick as one JSON object (the recording's tick line, without blackboard entries). A
// recorder writes one for every tick, so it is assembled from pieces made when the tree
// loaded, copied into a buffer sized for the worst case.
// Equal as a recording writes them: the start of a RUNNING stretch that ended does not count.
bool sameRecorded(const NodeCounters& a, const NodeCounters& b) {
    return a.ticks == b.ticks && a.success == b.success && a.failure == b.failure && a.running_ns == b.running_ns &&
           a.status == b.status && a.last == b.last &&
           (a.status != NodeStatus::RUNNING || a.running_since == b.running_since);
}

// What a reader of the recording expects of a node after a tick from its counters before and
// the tick's transitions of it (docs/recording-schema.md, "implied counters"): only nodes
// that differ need their counters written.
void applyTransition(NodeCounters& c, const Transition& t, int64_t time_ns) {
    switch (t.status) {
        case NodeStatus::SUCCESS: ++c.ticks, ++c.success, c.last = t.status; break;
        case NodeStatus::FAILURE: ++c.ticks, ++c.failure, c.last = t.status; break;
        case NodeStatus::SKIPPED: ++c.ticks, c.last = t.status; break;
        case NodeStatus::RUNNING: ++c.ticks; break;
        case NodeStatus::IDLE: break;
    }
    if (t.previous == NodeStatus::RUNNING && t.status != NodeStatus::RUNNING) c.running_ns += time_ns - c.running_since;
    if (t.status == NodeStatus::RUNNING) c.running_since = time_ns;
    c.status = t.status;
}

// One tick line. With `previous` (the counters after the line before), only the counters that
// differ from what the transitions imply are written, and nodes reset to IDLE without a
// transition are listed as uid ranges in "idle"; without it, the counters of every changed
// node. Blackboard entries are added by the caller. Planned first (`plan`), then written
// (`write`) into room of `bound()` bytes.
class TickLine {
public:
    TickLine(const TickReport& rep, const LayoutData& layout, std::vector<NodeCounters>* previous)
        : rep_(rep), nodes_(layout.nodes), implied_(previous != nullptr) {
        if (!previous) {
            emit_ = &rep.changed;
            return;
        }
        std::vector<NodeCounters>& expected = *previous;  // becomes the expectation, then the truth
        for (const Transition& t : rep.transitions)
            if (t.uid < expected.size()) applyTransition(expected[t.uid], t, rep.time_ns);
        for (uint32_t uid = 0; uid < rep.counters.size() && uid < expected.size(); ++uid) {
            const NodeCounters& actual = rep.counters[uid];
            NodeCounters& e = expected[uid];
            if (actual.status == NodeStatus::IDLE && e.status != NodeStatus::IDLE) {
                e.status = NodeStatus::IDLE;
                if (!idle_.empty() && idle_.back().second + 1 == uid) idle_.back().second = uid;
                else idle_.emplace_back(uid, uid);
            }
            if (!sameRecorded(e, actual)) own_emit_.push_back(uid);
            copyCounters(e, actual);
        }
        emit_ = &own_emit_;
    }

    size_t bound() const {
        constexpr size_t kPiece = 32 + LineWriter::kSlack, kNumber = 24;
        size_t bound = 256 + idle_.size() * 2 * kNumber;
        for (const Transition& t : rep_.transitions)
            bound += (t.uid < nodes_.size() ? nodes_[t.uid].transition_json.size() : 0) + 3 * kPiece;
        for (uint32_t uid : *emit_)
            bound += (uid < nodes_.size() ? nodes_[uid].counters_json.size() : 0) + 3 * kPiece + 5 * kNumber;
        return bound;
    }

    // The end of what was written.
    char* write(char* at) const {
        LineWriter w(at);
        w.add("{\"tick\":");
        w.number(rep_.tick);
        w.add(",\"time_ns\":");
        w.number(rep_.time_ns);
        w.add(",\"status\":\"");
        w.status(rep_.root);
        if (rep_.halt) w.add("\",\"halt\":true,\"transitions\":[");
        else w.add("\",\"transitions\":[");
        bool first = true;
        for (const Transition& t : rep_.transitions) {
            if (!first) w.add(',');
            first = false;
            if (t.uid < nodes_.size()) w.addPadded(nodes_[t.uid].transition_json.data(), nodes_[t.uid].transition_size);
            w.status(t.previous);
            w.add("\",\"status\":\"");
            w.status(t.status);
            w.add("\"}");
        }
        w.add("]");
        if (implied_) {
            w.add(",\"idle\":[");
            first = true;
            for (auto [from, to] : idle_) {
                if (!first) w.add(',');
                first = false;
                w.add('[');
                w.number(from);
                w.add(',');
                w.number(to);
                w.add(']');
            }
            w.add("]");
        }
        w.add(",\"counters\":{");
        first = true;
        for (uint32_t uid : *emit_) {
            const NodeCounters& c = rep_.counters[uid];
            if (!first) w.add(',');
            first = false;
            if (uid < nodes_.size()) w.addPadded(nodes_[uid].counters_json.data(), nodes_[uid].counters_size);
            w.status(c.status);
            w.add("\",\"");
            w.status(c.last);
            w.add("\",");
            w.number(c.ticks);
            w.add(',');
            w.number(c.success);
            w.add(',');
            w.number(c.failure);
            w.add(',');
            w.number(c.running_ns);
            w.add(',');
            w.number(c.status == NodeStatus::RUNNING ? c.running_since : 0);
            w.add(']');
        }
        w.add("}}\n");
        return w.end();
    }

private:
    const TickReport& rep_;
    const std::vector<LayoutData::Node>& nodes_;
    bool implied_;
    std::vector<uint32_t> own_emit_;
    const std::vector<uint32_t>* emit_ = nullptr;
    std::vector<std::pair<uint32_t, uint32_t>> idle_;
};

nb::bytes reportJson(const PyTickReport& r) {
    TickLine line(*r.report, *r.layout, nullptr);
    std::unique_ptr<char[]> buffer(new char[line.bound()]);
    char* end = line.write(buffer.get());
    return nb::bytes(buffer.get(), static_cast<size_t>(end - buffer.get()));
}

// Writes the tick lines of a recording to a file descriptor the caller owns, from the
// ticking thread, through a buffer; Python is entered only for blackboard values that are
// Python objects (their JSON or repr comes from quorvel.record).
class RecordingSink {
public:
    RecordingSink(int fd, std::shared_ptr<const LayoutData> layout) : fd_(fd), layout_(std::move(layout)) {}
    ~RecordingSink() { flushQuietly(); }

    void write(const TickReport& report) {
        TickLine line(report, *layout_, started_ ? &previous_ : nullptr);
        if (!started_) {
            previous_.resize(report.counters.size());
            for (size_t i = 0; i < previous_.size(); ++i) copyCounters(previous_[i], report.counters[i]);
            started_ = true;
        }
        std::string entries = report.writes.empty() ? std::string() : blackboardJson(report.writes);
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return;
        size_t bound = line.bound() + entries.size() + 32;
        if (used_ + bound > capacity_) {
            if (used_ >= kFlushAt) flushLocked();
            if (used_ + bound > capacity_) grow(used_ + bound);
        }
        char* end = line.write(buffer_.get() + used_);
        if (!entries.empty()) {
            end -= 2;  // reopen the object: "}\n"
            std::memcpy(end, ",\"blackboard\":[", 15);
            end += 15;
            std::memcpy(end, entries.data(), entries.size());
            end += entries.size();
            std::memcpy(end, "]}\n", 3);
            end += 3;
        }
        used_ = static_cast<size_t>(end - buffer_.get());
        if (used_ >= kFlushAt) flushLocked();
    }

    // Writes what is buffered; the errno of a write that failed since the last call, or 0.
    int flush() {
        std::lock_guard<std::mutex> lock(mutex_);
        flushLocked();
        return std::exchange(error_, 0);
    }
    // Flushes and stops writing: the caller may close the descriptor afterwards.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        flushLocked();
        fd_ = -1;
    }

private:
    static constexpr size_t kFlushAt = 1 << 18;

    void grow(size_t needed) {
        size_t capacity = std::max(needed, 2 * kFlushAt);
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (used_) std::memcpy(bigger.get(), buffer_.get(), used_);
        buffer_ = std::move(bigger);
        capacity_ = capacity;
    }

    void flushLocked() {
        size_t done = 0;
        while (fd_ >= 0 && done < used_) {
            ssize_t n = ::write(fd_, buffer_.get() + done, used_ - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                error_ = errno;  // reported by the next flush from Python; the lines are lost
                break;
            }
            done += static_cast<size_t>(n);
        }
        used_ = 0;
    }
    void flushQuietly() noexcept {
        try {
            finish();
        } catch (...) {
        }
    }

    std::string blackboardJson(const std::vector<BlackboardWrite>& writes) {
        std::string out;
        bool first = true;
        for (const BlackboardWrite& w : writes) {
            if (!first) out += ',';
            first = false;
            out += "{\"blackboard\":";
            out += w.board < 0 ? "null" : std::to_string(w.board);
            out += ",\"key\":";
            appendJsonString(out, w.key);
            out += ',';
            out += valueJson(w.value);
            out += '}';
        }
        return out;
    }

    // "value":... or "repr":"..."; Python objects (and reals JSON cannot carry) through Python.
    std::string valueJson(const Value& v) {
        switch (v.kind()) {
            case Value::Kind::Empty: return "\"value\":null";
            case Value::Kind::Bool: return *v.asBool() ? "\"value\":true" : "\"value\":false";
            case Value::Kind::Int: return "\"value\":" + std::to_string(*v.asInt());
            case Value::Kind::Text: {
                std::string out = "\"value\":";
                appendJsonString(out, *v.asText());
                return out;
            }
            default: break;
        }
        if (!mayEnterPython()) return "\"repr\":\"?\"";
        auto viaPython = [&] {
            try {
                nb::object text = nb::module_::import_("quorvel.record").attr("_entry_json")(fromValue(v));
                return std::string(nb::cast<std::string>(text));
            } catch (nb::python_error& e) {
                e.discard_as_unraisable("recording a blackboard value");
                return std::string("\"repr\":\"?\"");
            }
        };
        if (LazyGil::inside()) {
            LazyGil::ensureHeld();
            return viaPython();
        }
        GilAcquire gil;
        return viaPython();
    }

    std::mutex mutex_;
    int fd_;
    int error_ = 0;
    std::unique_ptr<char[]> buffer_;  // no initialisation: every byte is written before it is sent
    size_t used_ = 0, capacity_ = 0;
    std::shared_ptr<const LayoutData> layout_;
    std::vector<NodeCounters> previous_;
    bool started_ = false;
};

// A Recorder's native half: the observer that writes the tick lines.
struct PyRecordingSink {
    PyObserver observer;
    std::shared_ptr<RecordingSink> sink;

    void flush() {
        int error = sink->flush();
        if (error) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
    }
    void close() {
        observer.close();
        sink->finish();
    }
};

}  // namespace

void bindTree(nb::module_& m) {
    nb::class_<PyTransition>(m, "Transition", "One status change of one node during a tick (or a halt).")
        .def_ro("uid", &PyTransition::uid, "The node's uid (TreeNode.uid, the layout's \"uid\").")
        .def_ro("name", &PyTransition::name, "The node's name.")
        .def_prop_ro("previous", [](const PyTransition& t) { return nb::borrow(statusObject(t.previous)); },
                     nb::sig("def previous(self) -> NodeStatus"), "The status before.")
        .def_prop_ro("status", [](const PyTransition& t) { return nb::borrow(statusObject(t.status)); },
                     nb::sig("def status(self) -> NodeStatus"), "The status after.")
        .def_ro("time_ns", &PyTransition::time_ns, "The tick's time (time.monotonic_ns clock), read once per tick.")
        .def_ro("tick", &PyTransition::tick, "The tick number, as the snapshot right after that tick gives it.")
        .def("__repr__", [](const PyTransition& t) {
            return "Transition(uid=" + std::to_string(t.uid) + ", name='" + t.name + "', " +
                   std::string(toString(t.previous)) + " -> " + std::string(toString(t.status)) +
                   ", tick=" + std::to_string(t.tick) + ")";
        });

    nb::class_<PyTickReport>(
        m, "TickReport",
        "What an observer gets after each tick: a sequence of the tick's Transition objects in the\n"
        "order they happened, with the tick's number, time and root status, and (for observers that\n"
        "asked) the blackboard entries whose value changed.")
        .def("__len__", [](const PyTickReport& r) { return r.report->transitions.size(); })
        .def("__getitem__", &transitionAt, nb::arg("index"))
        .def_prop_ro("tick", [](const PyTickReport& r) { return r.report->tick; }, "The tick number.")
        .def_prop_ro("time_ns", [](const PyTickReport& r) { return r.report->time_ns; }, "The tick's time.")
        .def_prop_ro("halt", [](const PyTickReport& r) { return r.report->halt; },
                     "True for a halt of the whole tree (reset), which is no tick.")
        .def_prop_ro("status", [](const PyTickReport& r) { return nb::borrow(statusObject(r.report->root)); },
                     nb::sig("def status(self) -> NodeStatus"), "The root's status after the tick.")
        .def_prop_ro(
            "writes",
            [](const PyTickReport& r) {
                nb::list out;
                if (!r.writes) return out;
                for (const BlackboardWrite& w : r.report->writes)
                    out.append(nb::make_tuple(w.board < 0 ? nb::none() : nb::object(nb::int_(w.board)), text(w.key),
                                              fromValue(w.value)));
                return out;
            },
            nb::sig("def writes(self) -> list[tuple[int | None, str, typing.Any]]"),
            "(blackboard, key, value) of each entry whose value changed in the tick; blackboard is the\n"
            "uid of the SubTree owning it, None for the tree's own. Empty unless the observer asked.")
        .def_prop_ro(
            "counters",
            [](const PyTickReport& r) {
                nb::dict out;
                for (uint32_t uid : r.report->changed) {
                    const NodeCounters& c = r.report->counters[uid];
                    nb::dict d;
                    d["status"] = nodeStatusName(c.status);
                    d["last"] = nodeStatusName(c.last);
                    d["ticks"] = c.ticks;
                    d["success"] = c.success;
                    d["failure"] = c.failure;
                    d["running_ns"] = runningNs(c, r.report->time_ns);
                    out[nb::int_(uid)] = d;
                }
                return out;
            },
            nb::sig("def counters(self) -> dict[int, dict[str, typing.Any]]"),
            "The snapshot entries of the nodes whose counters or status changed since the observer's\n"
            "previous report (every node in its first one).")
        .def("to_json", &reportJson,
             "The tick as one line of JSON in UTF-8, ending with a newline, as a recording stores it\n"
             "(without blackboard entries).");

    nb::class_<PyObserver>(m, "Observer", "An observer attached by Tree.observe; close() detaches it.")
        .def("close", &PyObserver::close, "Detaches the observer; it gets no further ticks. Closing twice is fine.")
        .def_prop_ro("closed", [](const PyObserver& o) { return o.closed; })
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); }, nb::sig("def __enter__(self) -> Observer"))
        .def("__exit__", [](PyObserver& o, nb::args) { o.close(); }, nb::sig("def __exit__(self, *args: object) -> None"));

    nb::class_<PyRecordingSink>(m, "RecordingSink",
                                "Writes a tree's tick lines to a file descriptor (quorvel.record.Recorder uses it).")
        .def("flush", &PyRecordingSink::flush, "Writes what is buffered; OSError when a write failed.")
        .def("close", &PyRecordingSink::close, "Detaches from the tree and writes what is buffered; the\n"
             "descriptor is the caller's to close afterwards.");

    nb::class_<PyTree>(m, "Tree", nb::type_slots(tree_slots), nb::is_weak_referenceable(),
                       "A loaded behavior tree: one built by a BehaviorTreeFactory, or the tree of a\n"
                       "SequentialEngine (SequentialEngine.tree). Used by one thread at a time, except\n"
                       "layout(), snapshot() and observe(), which any thread may call at any time; ticks run\n"
                       "without the GIL.")
        .def("tick_once", [](PyTree& t) { return hostOf(t).tickOnce(); }, nb::sig("def tick_once(self) -> NodeStatus"),
             "Ticks the root once; returns its NodeStatus.")
        .def("tick_while_running", [](PyTree& t) { return hostOf(t).tickWhileRunning(); },
             nb::sig("def tick_while_running(self) -> NodeStatus"),
             "Ticks until the root is no longer RUNNING, sleeping between ticks until something the tree\n"
             "waits for can change; returns the final NodeStatus.")
        .def(
            "tick_until_success", [](PyTree& t) { return hostOf(t).tickUntil(NodeStatus::SUCCESS); },
            "Ticks until the root returns SUCCESS; returns the number of ticks.")
        .def(
            "tick_until_failure", [](PyTree& t) { return hostOf(t).tickUntil(NodeStatus::FAILURE); },
            "Ticks until the root returns FAILURE; returns the number of ticks.")
        .def(
            "tick_n_times",
            [](PyTree& t, nb::handle n) { return hostOf(t).tickNTimes(tickCount(n)); }, nb::arg("n"),
            nb::sig("def tick_n_times(self, n: int) -> list[NodeStatus]"),
            "Ticks n times; returns the list of statuses (empty for n <= 0). More than 10,000,000 ticks\n"
            "are refused with TickError before the first; interrupt() ends it between ticks.")
        .def("halt_tree", [](PyTree& t) { hostOf(t).halt(); }, "Halts every running node; all nodes end IDLE.")
        .def_prop_ro("status", [](PyTree& t) { return hostOf(t).status(); }, nb::sig("def status(self) -> NodeStatus"),
                     "The root's current NodeStatus.")
        .def("get_tree_status", [](PyTree& t) { return hostOf(t).treeStatus(); },
             "{\"status\": root NodeStatus, \"nodes\": [{\"uid\", \"name\", \"type\", \"kind\", \"status\",\n"
             "\"depth\", \"parent\"}, ...]} in depth-first order.")
        .def("get_blackboard_data", [](PyTree& t, nb::handle key) { return hostOf(t).get(key); }, nb::arg("key").none(),
             nb::sig("def get_blackboard_data(self, key: str | None) -> typing.Any"),
             "The root blackboard's entry `key`; None when never written.")
        .def("set_blackboard_data", [](PyTree& t, nb::handle key, nb::handle value) { hostOf(t).set(key, value); },
             nb::arg("key"), nb::arg("value").none(), nb::sig("def set_blackboard_data(self, key: str, value: typing.Any) -> None"), "Stores `value` under `key` in the root blackboard.")
        .def("get_all_blackboard_data", [](PyTree& t) { return hostOf(t).all(); },
             nb::sig("def get_all_blackboard_data(self) -> dict[str, typing.Any]"),
             "A new dict of every entry of the root blackboard.")
        .def("interrupt", [](PyTree& t) { hostOf(t).interrupt(); },
             "Makes the running and every later tick loop raise RuntimeError between ticks; any thread.")
        .def("layout", [](PyTree& t) { return hostOf(t).layout(); },
             nb::sig("def layout(self) -> dict[str, typing.Any]"),
             "The tree's structure, JSON-serialisable: {\"schema\": \"quorvel.layout/1\", \"root\": uid,\n"
             "\"nodes\": [{\"uid\", \"name\", \"type\", \"kind\", \"parent\", \"children\", \"ports\", \"line\",\n"
             "\"tree\", \"metadata\"}, ...]} with nodes in uid order (depth-first). Any thread, never waits.")
        .def("snapshot", [](PyTree& t) { return hostOf(t).snapshot(); },
             nb::sig("def snapshot(self) -> dict[str, typing.Any]"),
             "{\"schema\": \"quorvel.snapshot/1\", \"tick\": n, \"status\": root status name, \"nodes\": {uid:\n"
             "{\"status\", \"last\", \"ticks\", \"success\", \"failure\", \"running_ns\"}}}, counted since the tree\n"
             "was created. Any thread: while another thread is inside a tick it gives the state published\n"
             "at an earlier tick boundary, never a half-done tick, and never waits.")
        .def(
            "observe",
            [](nb::handle self, nb::handle callback, bool blackboard) {
                PyTree& t = *nb::inst_ptr<PyTree>(self);
                TreeHost& host = hostOf(t);
                auto* o = new PyObserver;
                nb::object result = nb::cast(o, nb::rv_policy::take_ownership);
                o->tree = nb::borrow(self);
                o->id = host.observe(callback, blackboard);
                o->serial = host.serial();
                return result;
            },
            nb::arg("callback"), nb::kw_only(), nb::arg("blackboard") = false,
            nb::sig("def observe(self, callback: collections.abc.Callable[[TickReport], object], *, blackboard: bool = False) -> Observer"),
            "Calls callback(report) after each tick and after each halt of the whole tree, on the ticking\n"
            "thread; report is a TickReport, a sequence of that tick's Transition objects in order. A\n"
            "finished node returning to IDLE because its parent resets it is not reported (its next\n"
            "transition starts from IDLE); a halted RUNNING node is. With blackboard=True the report's\n"
            "`writes` lists the entries whose value changed. An exception raised by the callback is\n"
            "logged through the quorvel logger and the tick goes on. The callback must not tick, halt\n"
            "or reload the tree it observes. The observer lasts until close() (or the end of a with\n"
            "block), or until another tree is loaded in its place.")
        .def(
            "_record_to",
            [](nb::handle self, int fd) {
                PyTree& t = *nb::inst_ptr<PyTree>(self);
                TreeHost& host = hostOf(t);
                auto layout = host.layoutData();
                if (!layout) raiseRuntimeError("Tree: no tree is loaded");
                auto* r = new PyRecordingSink;
                nb::object result = nb::cast(r, nb::rv_policy::take_ownership);
                r->sink = std::make_shared<RecordingSink>(fd, layout);
                r->observer.tree = nb::borrow(self);
                auto sink = r->sink;
                r->observer.id =
                    host.observeWith([sink](const std::shared_ptr<const TickReport>& rep) { sink->write(*rep); }, true);
                r->observer.serial = host.serial();
                return result;
            },
            nb::arg("fd"), nb::sig("def _record_to(self, fd: int) -> RecordingSink"),
            "Writes a recording's tick lines to the open file descriptor fd, from the ticking thread.")
        .def_prop_rw(
            "label", [](PyTree& t) { return t.host().label; },
            [](PyTree& t, const std::string& label) { t.host().label = label; },
            "What quorvel.observe.live_trees() calls the tree (a ThreadEngine sets its tree id).")
        .def_prop_ro("serial", [](PyTree& t) { return t.host().serial(); },
                     "A number that changes with every load: the same for views of the same loaded tree.");

    m.def(
        "live_trees",
        [] {
            nb::list out;
            for (auto& [host, owner] : TreeHost::liveHosts()) {
                nb::object tree = nb::isinstance<PyTree>(owner) ? owner : treeView(*host, owner);
                if (!tree.is_none()) out.append(nb::make_tuple(text(host->label), tree));
            }
            return out;
        },
        nb::sig("def live_trees() -> list[tuple[str, Tree]]"),
        "(label, Tree) for every loaded tree of the process; see quorvel.observe.live_trees.");
}

}  // namespace quorvel::py
