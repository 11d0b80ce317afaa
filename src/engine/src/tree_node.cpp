#include "quorvel/tree_node.hpp"

#include <algorithm>

#include "quorvel/script.hpp"

namespace quorvel {

std::string_view toString(NodeKind kind) {
    switch (kind) {
        case NodeKind::Action: return "Action";
        case NodeKind::Condition: return "Condition";
        case NodeKind::Control: return "Control";
        case NodeKind::Decorator: return "Decorator";
        case NodeKind::SubTree: return "SubTree";
    }
    return "Unknown";
}

namespace {

constexpr size_t slotIndex(ConditionSlot s) { return static_cast<size_t>(s); }

const char* conditionAttribute(ConditionSlot s) {
    switch (s) {
        case ConditionSlot::FailureIf: return "_failureIf";
        case ConditionSlot::SuccessIf: return "_successIf";
        case ConditionSlot::SkipIf: return "_skipIf";
        case ConditionSlot::While: return "_while";
        case ConditionSlot::OnSuccess: return "_onSuccess";
        case ConditionSlot::OnFailure: return "_onFailure";
        case ConditionSlot::Post: return "_post";
        case ConditionSlot::OnHalted: return "_onHalted";
        case ConditionSlot::Count: break;
    }
    return "?";
}

const Value& emptyValue() {
    static const Value empty;
    return empty;
}

char portTypeCode(const std::string& type) {
    if (type == "int") return 'i';
    if (type == "double") return 'd';
    if (type == "bool") return 'b';
    if (type == "string") return 's';
    if (type == "object") return 'o';
    return 'a';
}

}  // namespace

TreeNode::TreeNode(NodeConfig config)
    : uid_(config.uid),
      blackboard_(std::move(config.blackboard)),
      wake_(config.wake),
      manifest_ports_(config.manifest_ports),
      kind_(config.kind),
      line_(config.line),
      type_id_(std::move(config.type_id)),
      name_(std::move(config.name)),
      tree_id_(std::move(config.tree_id)) {
    ports_.reserve(config.ports.size());
    for (auto& [name, binding] : config.ports) {
        Port p;
        p.name = name;
        p.direction = PortDirection::InOut;
        if (manifest_ports_) {
            for (const PortInfo& info : *manifest_ports_) {
                if (info.name == name) {
                    p.direction = info.direction;
                    p.type = portTypeCode(info.type);
                    break;
                }
            }
        }
        p.binding = std::move(binding);
        if (!p.binding.is_entry) {
            // Literals are converted once here, so a tick reads them without parsing,
            // and a literal that can never convert is reported when the tree loads.
            const std::string& literal = p.binding.text;
            Value text(literal);
            if (p.type == 'i') {
                auto i = parseInt(literal);
                if (!i) conversionError(p, text, "an integer");
                p.literal = std::make_unique<const Value>(*i);
            } else if (p.type == 'd') {
                auto d = parseReal(literal);
                if (!d) conversionError(p, text, "a number");
                p.literal = std::make_unique<const Value>(*d);
            } else if (p.type == 'b') {
                auto b = text.toBool();
                if (!b) conversionError(p, text, "a Boolean");
                p.literal = std::make_unique<const Value>(*b);
            } else {
                p.literal = std::make_unique<const Value>(std::move(text));
            }
        }
        ports_.push_back(std::move(p));
    }
    // In name order, as the map's order is no order at all: layouts and messages list them.
    std::sort(ports_.begin(), ports_.end(), [](const Port& a, const Port& b) { return a.name < b.name; });
    bool any_condition = false;
    for (size_t i = 0; i < slotIndex(ConditionSlot::Count); ++i) {
        if (!config.conditions[i]) continue;
        any_condition = true;
        if (i <= slotIndex(ConditionSlot::While)) {
            has_pre_ = true;
        } else if (i == slotIndex(ConditionSlot::OnHalted)) {
            has_halted_script_ = true;
        } else {
            has_post_ = true;
        }
    }
    if (any_condition || !config.metadata.empty()) {
        extras_ = std::make_unique<Extras>();
        extras_->conditions = std::move(config.conditions);
        extras_->metadata = std::move(config.metadata);
    }
}

const std::string& TreeNode::treeId() const {
    static const std::string none;
    return tree_id_ ? *tree_id_ : none;
}

const std::vector<std::pair<std::string, std::string>>& TreeNode::metadata() const {
    static const std::vector<std::pair<std::string, std::string>> none;
    return extras_ ? extras_->metadata : none;
}

TreeNode::~TreeNode() = default;

std::string TreeNode::describe() const {
    std::string out = "'" + name_ + "' (" + type_id_;
    if (line_ > 0) out += ", line " + std::to_string(line_);
    return out + ")";
}

// ---- ticking ----

bool TreeNode::runCondition(ConditionSlot slot) {
    const auto& script = condition(slot);
    try {
        return script->runCondition(*blackboard_);
    } catch (const ScriptError& e) {
        throw TickError("node " + describe() + ", " + conditionAttribute(slot) + " \"" + script->source() +
                        "\": " + e.what());
    }
}

void TreeNode::runScript(ConditionSlot slot) {
    const auto& script = condition(slot);
    if (!script) return;
    try {
        script->run(*blackboard_);
    } catch (const ScriptError& e) {
        throw TickError("node " + describe() + ", " + conditionAttribute(slot) + " \"" + script->source() +
                        "\": " + e.what());
    }
}

void TreeNode::runPostScripts(NodeStatus s) {
    if (s == NodeStatus::SUCCESS) runScript(ConditionSlot::OnSuccess);
    if (s == NodeStatus::FAILURE) runScript(ConditionSlot::OnFailure);
    if (isCompleted(s)) runScript(ConditionSlot::Post);
}

void TreeNode::noteChange(NodeStatus previous, NodeStatus now) {
    if (previous == NodeStatus::RUNNING || now == NodeStatus::RUNNING) {
        // Wall time in RUNNING, measured in tick times: one clock read per tick serves them all.
        int64_t at = monitor_ ? monitor_->tickTime() : 0;
        if (now == NodeStatus::RUNNING) counters_.running_since = at;
        else counters_.running_ns += at - counters_.running_since;
    }
    if (observed_ && monitor_) monitor_->reportTransition(uid_, previous, now);
}

NodeStatus TreeNode::executeTick() {
    ++counters_.ticks;
    if (has_pre_) {
        const auto& c = extras_->conditions;
        if (status_ != NodeStatus::RUNNING) {
            // Checked in a fixed order; the first that holds decides.
            if (c[slotIndex(ConditionSlot::FailureIf)] && runCondition(ConditionSlot::FailureIf))
                return finishTick(NodeStatus::FAILURE);
            if (c[slotIndex(ConditionSlot::SuccessIf)] && runCondition(ConditionSlot::SuccessIf))
                return finishTick(NodeStatus::SUCCESS);
            if (c[slotIndex(ConditionSlot::SkipIf)] && runCondition(ConditionSlot::SkipIf))
                return finishTick(NodeStatus::SKIPPED);
            if (c[slotIndex(ConditionSlot::While)] && !runCondition(ConditionSlot::While))
                return finishTick(NodeStatus::SKIPPED);
        } else if (c[slotIndex(ConditionSlot::While)] && !runCondition(ConditionSlot::While)) {
            haltNode();
            return finishTick(NodeStatus::SKIPPED);
        }
    }

    NodeStatus s;
    try {
        s = tick();
    } catch (...) {
        // Leave the node and everything below it as if halted, so that the caller can
        // reset or tick the tree again after the error. Errors while cleaning up are
        // dropped: the original one is what the caller needs to see.
        try {
            if (status_ == NodeStatus::RUNNING || !children().empty()) halt();
        } catch (...) {
        }
        changeStatus(NodeStatus::IDLE);
        throw;
    }
    if (s == NodeStatus::IDLE) {
        try {
            halt();
        } catch (...) {
        }
        changeStatus(NodeStatus::IDLE);
        throw TickError("node " + describe() + " returned IDLE from its tick");
    }
    return finishTick(s);
}

void TreeNode::haltRunning() {
    // IDLE whatever happens below, so a failing halt hook cannot leave the tree
    // believing the node still runs.
    struct ToIdle {
        TreeNode& node;
        ~ToIdle() { node.changeStatus(NodeStatus::IDLE); }
    } to_idle{*this};
    halt();
    if (has_halted_script_) runScript(ConditionSlot::OnHalted);
}

// ---- ports ----

const TreeNode::Port* TreeNode::findPort(std::string_view name) const {
    for (const Port& p : ports_) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

const TreeNode::Port& TreeNode::requirePort(std::string_view name) const {
    if (const Port* p = findPort(name)) return *p;
    if (manifest_ports_) {
        for (const PortInfo& info : *manifest_ports_) {
            if (info.name == name) {
                throw PortError("node " + describe() + ": port '" + std::string(name) +
                                "' has no value (no attribute and no default)");
            }
        }
    }
    throw PortError("node " + describe() + " has no port '" + std::string(name) + "'");
}

void TreeNode::conversionError(const Port& port, const Value& v, const char* what) const {
    throw PortError("node " + describe() + ": port '" + port.name + "': " + v.describe() + " is not " + what);
}

int TreeNode::portIndex(std::string_view name) const {
    for (size_t i = 0; i < ports_.size(); ++i) {
        if (ports_[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

const Value& TreeNode::inputRef(std::string_view name) const { return read(requirePort(name)); }

const Value& TreeNode::read(const Port& p) const {
    if (!p.binding.is_entry) return *p.literal;
    if (!p.slot) p.slot = &blackboard_->slot(p.binding.text);
    if (!p.slot->present) {
        if (p.type == 'o') return emptyValue();
        throw PortError("node " + describe() + ": port '" + p.name + "': blackboard entry '" + p.binding.text +
                        "' was never written");
    }
    return p.slot->value;
}

Value TreeNode::getInput(std::string_view port) const { return inputRef(port); }

std::string TreeNode::getInputText(std::string_view port) const {
    const Value& v = inputRef(port);
    if (const std::string* t = v.asText()) return *t;
    if (auto t = v.toText()) return *t;
    conversionError(requirePort(port), v, "a text");
}

int64_t TreeNode::getInputInt(std::string_view port) const {
    const Value& v = inputRef(port);
    if (const int64_t* i = v.asInt()) return *i;
    if (auto i = v.toInt()) return *i;
    conversionError(requirePort(port), v, "an integer");
}

double TreeNode::getInputReal(std::string_view port) const {
    const Value& v = inputRef(port);
    if (const double* d = v.asReal()) return *d;
    if (auto d = v.toReal()) return *d;
    conversionError(requirePort(port), v, "a number");
}

bool TreeNode::getInputBool(std::string_view port) const {
    const Value& v = inputRef(port);
    if (const bool* b = v.asBool()) return *b;
    if (auto b = v.toBool()) return *b;
    conversionError(requirePort(port), v, "a Boolean");
}

void TreeNode::setOutput(std::string_view name, Value value) {
    const Port* p = findPort(name);
    if (!p) {
        if (manifest_ports_) {
            for (const PortInfo& info : *manifest_ports_) {
                if (info.name == name && info.direction != PortDirection::Input) {
                    throw PortError("node " + describe() + ": output port '" + std::string(name) +
                                    "' is not connected to a blackboard entry");
                }
            }
        }
        throw PortError("node " + describe() + " has no output port '" + std::string(name) + "'");
    }
    write(*p, std::move(value));
}

Blackboard::Slot& TreeNode::outputSlot(const Port& p) {
    if (p.direction == PortDirection::Input)
        throw PortError("node " + describe() + ": port '" + p.name + "' is an input port");
    if (!p.binding.is_entry)
        throw PortError("node " + describe() + ": port '" + p.name + "' is not connected to a blackboard entry");
    if (!p.slot) p.slot = &blackboard_->slot(p.binding.text);
    return *p.slot;
}

void TreeNode::write(const Port& p, Value value) {
    Blackboard::Slot& slot = outputSlot(p);
    slot.value = std::move(value);
    slot.present = true;
}

const PortBinding* TreeNode::portBinding(std::string_view port) const {
    const Port* p = findPort(port);
    return p ? &p->binding : nullptr;
}

// ---- waiting ----

void TreeNode::requestWakeAt(Clock::time_point deadline) const {
    if (wake_) wake_->requestWakeAt(deadline);
}

void TreeNode::requestImmediateTick() const {
    if (wake_) wake_->requestImmediate();
}

void TreeNode::requestWaitForNotify() const {
    if (wake_) wake_->requestWaitForNotify();
}

// ---- SimpleActionNode ----

NodeStatus SimpleActionNode::tick() {
    NodeStatus s = functor_(*this);
    // A plain action has no other way to say when it wants to be looked at again.
    if (s == NodeStatus::RUNNING) requestImmediateTick();
    return s;
}

}  // namespace quorvel
