// Building a tree from registered definitions: node types, ports, scripts, subtrees.

#include "tree_builder.hpp"

#include <algorithm>
#include <map>

#include "../nodes/builtin.hpp"
#include "quorvel/limits.hpp"
#include "quorvel/script.hpp"

namespace quorvel {

namespace {

using loader::position;
using loader::TreeDefinition;
using loader::XmlElement;

bool isCategory(std::string_view tag) {
    return tag == "Action" || tag == "Condition" || tag == "Control" || tag == "Decorator";
}

std::optional<ConditionSlot> conditionSlot(std::string_view attr) {
    static const std::pair<std::string_view, ConditionSlot> table[] = {
        {"_failureIf", ConditionSlot::FailureIf}, {"_successIf", ConditionSlot::SuccessIf},
        {"_skipIf", ConditionSlot::SkipIf},       {"_while", ConditionSlot::While},
        {"_onSuccess", ConditionSlot::OnSuccess}, {"_onFailure", ConditionSlot::OnFailure},
        {"_post", ConditionSlot::Post},           {"_onHalted", ConditionSlot::OnHalted},
    };
    for (const auto& [name, slot] : table) {
        if (name == attr) return slot;
    }
    return std::nullopt;
}


// `_` attributes editors write on every node; the engine keeps them quietly. Any other
// unknown one is kept too, but named in a warning: it may be a misspelt condition.
bool isUsualEditorAttribute(std::string_view attr) { return attr == "_description" || attr == "_uid"; }

bool isBadReference(std::string_view text) { return text == "{}" || text == "{@}"; }

}  // namespace

TreeBuilder::TreeBuilder(const loader::Registry& registry) : registry_(registry) {}

template <class... Parts>
void TreeBuilder::fail(const TreeDefinition& def, const XmlElement& el, const Parts&... parts) const {
    std::string message = position(def.origin, el.line(), el.column());
    (message.append(std::string_view(parts)), ...);
    throw LoadError(message);
}

const TreeDefinition& TreeBuilder::definition(const std::string& id) const {
    auto it = registry_.trees.find(id);
    if (it == registry_.trees.end()) {
        std::string known;
        for (const auto& [name, def] : registry_.trees) known += (known.empty() ? "" : ", ") + name;
        throw LoadError("no BehaviorTree with ID '" + id + "' (known: " + (known.empty() ? "none" : known) + ")");
    }
    return it->second;
}

// ---- size check ----

TreeBuilder::Extent TreeBuilder::measureTree(const TreeDefinition& def, int depth) {
    auto memo = extents_.find(def.id);
    if (memo != extents_.end()) {
        if (depth + memo->second.depth > limits::kMaxTreeDepth) {
            throw LoadError("tree '" + def.id + "' nests nodes and subtrees deeper than " + std::to_string(limits::kMaxTreeDepth));
        }
        return memo->second;
    }
    stack_.push_back(def.id);
    Extent e = measureElement(def, def.element.children().front(), depth + 1);
    stack_.pop_back();
    extents_[def.id] = e;
    return e;
}

TreeBuilder::Extent TreeBuilder::measureElement(const TreeDefinition& def, const XmlElement& el, int depth) {
    if (depth > limits::kMaxTreeDepth) fail(def, el, "nodes and subtrees nest deeper than ", std::to_string(limits::kMaxTreeDepth));
    Extent e{1, 1};
    if (el.name() == "SubTree") {
        auto id_attr = el.attribute("ID");
        if (!id_attr) fail(def, el, "<SubTree> without an ID");
        const std::string id(*id_attr);
        if (registry_.trees.find(id) == registry_.trees.end()) {
            fail(def, el, "SubTree refers to unknown BehaviorTree '", id, "'");
        }
        if (std::find(stack_.begin(), stack_.end(), id) != stack_.end()) {
            std::string chain;
            for (const auto& s : stack_) chain += s + " -> ";
            fail(def, el, "SubTree recursion: ", chain, id);
        }
        Extent inner = measureTree(registry_.trees.at(id), depth);
        e.nodes += inner.nodes;
        e.depth += inner.depth;
    }
    for (const XmlElement& child : el.children()) {
        Extent c = measureElement(def, child, depth + 1);
        e.nodes += c.nodes;
        e.depth = std::max(e.depth, c.depth + 1);
        if (e.nodes > limits::kMaxTreeNodes) fail(def, el, "the tree would have more than ", std::to_string(limits::kMaxTreeNodes), " nodes");
    }
    if (e.nodes > limits::kMaxTreeNodes) fail(def, el, "the tree would have more than ", std::to_string(limits::kMaxTreeNodes), " nodes");
    return e;
}

// ---- building ----

Tree TreeBuilder::build(const std::string& tree_id, Blackboard::Ptr blackboard) {
    const TreeDefinition& def = definition(tree_id);
    measureTree(def, 0);
    tree_ = Tree();
    tree_.blackboard_ = blackboard ? std::move(blackboard) : Blackboard::create();
    tree_.nodes_.reserve(extents_[def.id].nodes);
    TreeNode* root = buildNode(def, def.element.children().front(), tree_.blackboard_);
    tree_.root_ = root;
    if (!unknown_attributes_.empty()) {
        std::string text = "attributes the engine does not know, kept as editor metadata:";
        for (const auto& [attr, seen] : unknown_attributes_) {
            text += " '" + attr + "' on " + (seen.nodes == 1 ? "" : std::to_string(seen.nodes) + " nodes, first ") +
                    seen.first + ";";
        }
        text.back() = '.';
        warnings_.push_back(std::move(text));
    }
    return std::move(tree_);
}

std::shared_ptr<const PortList> TreeBuilder::portsOf(const std::string& type_id, const loader::Registry::Type& type) {
    auto cached = ports_.find(type_id);
    if (cached != ports_.end()) return cached->second;
    std::shared_ptr<const PortList> ports = type.ports;
    auto model = registry_.model_ports.find(type_id);
    if (model != registry_.model_ports.end()) {
        auto merged = std::make_shared<PortList>(*type.ports);
        for (const PortInfo& p : model->second) {
            auto same = [&](const PortInfo& q) { return q.name == p.name; };
            if (std::none_of(merged->begin(), merged->end(), same)) merged->push_back(p);
        }
        ports = merged;
    }
    tree_.keep_alive_.push_back(ports);
    ports_[type_id] = ports;
    return ports;
}

void TreeBuilder::readConditions(const TreeDefinition& def, const XmlElement& el, const std::string& what,
                                 NodeConfig& config) {
    for (const auto& [attr, value] : el.attributes()) {
        if (attr.empty() || attr.front() != '_') continue;
        if (attr == "_autoremap") {
            if (config.kind == NodeKind::SubTree) continue;
            fail(def, el, what, ": only a SubTree takes _autoremap");
        }
        auto slot = conditionSlot(attr);
        if (!slot) {
            // Editors write attributes of their own (_collapsed, _uid, ...): the node keeps
            // them for whoever shows the tree, and the engine does nothing with them.
            config.metadata.emplace_back(attr, value);
            if (!isUsualEditorAttribute(attr)) {
                Unknown& seen = unknown_attributes_[std::string(attr)];
                if (seen.nodes++ == 0)
                    seen.first = what + " at " + (def.origin.empty() ? "" : def.origin + ", ") + "line " + std::to_string(el.line());
            }
            continue;
        }
        try {
            config.conditions[static_cast<size_t>(*slot)] = Script::compile(value);
        } catch (const ScriptSyntaxError& e) {
            fail(def, el, what, ": attribute '", attr, "', column ", std::to_string(e.column()), ": ", e.what());
        }
    }
}

std::shared_ptr<const std::string> TreeBuilder::treeIdOf(const TreeDefinition& def) {
    auto& id = tree_ids_[def.id];
    if (!id) id = std::make_shared<const std::string>(def.id);
    return id;
}

TreeNode* TreeBuilder::buildNode(const TreeDefinition& def, const XmlElement& el, const Blackboard::Ptr& blackboard) {
    if (el.name() == "SubTree") return buildSubTree(def, el, blackboard);

    const std::string_view tag = el.name();
    std::string type_id(tag);
    if (isCategory(tag)) {
        auto id = el.attribute("ID");
        if (!id || id->empty()) fail(def, el, "<", tag, "> without an ID");
        type_id = *id;
    }
    auto found = registry_.types.find(type_id);
    if (found == registry_.types.end()) fail(def, el, "unknown node type '", type_id, "'");
    const loader::Registry::Type& type = found->second;
    const NodeKind kind = type.manifest.kind;

    auto name_attr = el.attribute("name");
    const std::string name = name_attr ? std::string(*name_attr) : type_id;
    const std::string what = "node '" + name + "' (" + type_id + ")";

    if (isCategory(tag) && tag != toString(kind)) {
        bool leaf_alias = (tag == "Action" || tag == "Condition") &&
                          (kind == NodeKind::Action || kind == NodeKind::Condition);
        if (!leaf_alias) fail(def, el, what, ": ", type_id, " is a ", toString(kind), ", not a ", tag);
    }

    // Child count.
    int min_children = type.manifest.min_children;
    int max_children = type.manifest.max_children;
    if (min_children < 0) min_children = kind == NodeKind::Control || kind == NodeKind::Decorator ? 1 : 0;
    if (max_children < 0) max_children = kind == NodeKind::Control ? -1 : (kind == NodeKind::Decorator ? 1 : 0);
    const int count = static_cast<int>(el.children().size());
    if (count < min_children || (max_children >= 0 && count > max_children)) {
        std::string expected;
        if (max_children == 0) expected = "no children";
        else if (min_children == max_children) expected = "exactly " + std::to_string(min_children) + (min_children == 1 ? " child" : " children");
        else if (max_children < 0) expected = "at least " + std::to_string(min_children) + (min_children == 1 ? " child" : " children");
        else expected = std::to_string(min_children) + " to " + std::to_string(max_children) + " children";
        fail(def, el, what, " takes ", expected, ", not ", std::to_string(count));
    }

    NodeConfig config;
    config.type_id = type_id;
    config.name = name;
    config.kind = kind;
    config.blackboard = blackboard;
    config.line = el.line();
    config.tree_id = treeIdOf(def);
    config.wake = tree_.wake_.get();
    auto ports = portsOf(type_id, type);
    config.manifest_ports = ports.get();
    readConditions(def, el, what, config);

    // Ports: every attribute names a declared port; undeclared ones are mistakes.
    for (const auto& [attr, value] : el.attributes()) {
        if (attr == "ID" || attr == "name" || (!attr.empty() && attr.front() == '_')) continue;
        auto declared = std::find_if(ports->begin(), ports->end(), [&name = attr](const PortInfo& p) { return p.name == name; });
        if (declared == ports->end()) fail(def, el, what, ": port '", attr, "' not declared by node type '", type_id, "'");
        if (isBadReference(value)) fail(def, el, what, ": port '", attr, "': '", value, "' names no blackboard entry");
        PortBinding binding;
        if (auto key = parseEntryReference(value, attr)) {
            binding.is_entry = true;
            binding.text = std::move(*key);
        } else {
            if (declared->direction == PortDirection::Output) {
                fail(def, el, what, ": output port '", attr, "' must name a blackboard entry, like {", attr, "}");
            }
            binding.text = value;
        }
        config.ports.emplace(attr, std::move(binding));
    }
    for (const PortInfo& p : *ports) {
        if (config.ports.count(p.name) || !p.default_value) continue;
        PortBinding binding;
        if (auto key = parseEntryReference(*p.default_value, p.name)) {
            binding.is_entry = true;
            binding.text = std::move(*key);
        } else {
            binding.text = *p.default_value;
        }
        config.ports.emplace(p.name, std::move(binding));
    }

    const size_t uid = tree_.nodes_.size();
    config.uid = static_cast<uint32_t>(uid);
    tree_.nodes_.emplace_back();  // keeps parents before children in the list
    std::unique_ptr<TreeNode> node;
    try {
        node = type.builder(std::move(config));
    } catch (const LoadError& e) {
        throw LoadError(position(def.origin, el.line(), el.column()) + e.what());
    } catch (const Error& e) {
        throw LoadError(position(def.origin, el.line(), el.column()) + e.what());
    }
    if (!node) fail(def, el, what, ": the type's builder made no node");
    TreeNode* raw = node.get();
    tree_.nodes_[uid] = std::move(node);

    if (!el.children().empty()) {
        auto* control = dynamic_cast<ControlNode*>(raw);
        auto* decorator = dynamic_cast<DecoratorNode*>(raw);
        if (!control && !decorator) fail(def, el, what, " cannot have children");
        for (const XmlElement& child_el : el.children()) {
            TreeNode* child = buildNode(def, child_el, blackboard);
            if (control) control->addChild(child);
            else decorator->setChild(child);
        }
    }
    return raw;
}

TreeNode* TreeBuilder::buildSubTree(const TreeDefinition& def, const XmlElement& el, const Blackboard::Ptr& parent_bb) {
    const std::string id(*el.attribute("ID"));  // measureTree checked it
    auto name_attr = el.attribute("name");
    const std::string name = name_attr ? std::string(*name_attr) : id;
    const std::string what = "SubTree '" + name + "' (" + id + ")";
    if (!el.children().empty()) fail(def, el, what, " takes no children");

    auto bb = Blackboard::create(parent_bb);
    tree_.subtree_blackboards_.push_back(bb);
    for (const auto& [attr, value] : el.attributes()) {
        if (attr == "ID" || attr == "name") continue;
        if (attr == "_autoremap") {
            if (value == "true" || value == "1") bb->setAutoRemap(true);
            else if (value != "false" && value != "0") fail(def, el, what, ": _autoremap must be true or false, not '", value, "'");
            continue;
        }
        if (!attr.empty() && attr.front() == '_') continue;  // conditions, read below
        if (isBadReference(value)) fail(def, el, what, ": attribute '", attr, "': '", value, "' names no blackboard entry");
        if (auto key = parseEntryReference(value, attr)) {
            bb->addRemap(std::string(attr), std::move(*key));
        } else {
            bb->pinLocal(std::string(attr));  // first: under autoremap the write would go to the parent
            bb->set(attr, Value(std::string(value)));
        }
    }

    NodeConfig config;
    config.type_id = "SubTree";
    config.name = name;
    config.kind = NodeKind::SubTree;
    config.blackboard = parent_bb;  // its own conditions are written in the parent tree
    config.line = el.line();
    config.tree_id = treeIdOf(def);
    config.wake = tree_.wake_.get();
    readConditions(def, el, what, config);
    const size_t uid = tree_.nodes_.size();
    config.uid = static_cast<uint32_t>(uid);
    tree_.nodes_.emplace_back();
    auto node = std::make_unique<nodes::SubTreeNode>(std::move(config));
    nodes::SubTreeNode* raw = node.get();
    tree_.nodes_[uid] = std::move(node);

    const TreeDefinition& sub = registry_.trees.at(id);
    raw->setChild(buildNode(sub, sub.element.children().front(), bb));
    return raw;
}

}  // namespace quorvel
