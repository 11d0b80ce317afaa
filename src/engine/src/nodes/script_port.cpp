#include "script_port.hpp"

namespace quorvel::nodes {

namespace {

std::string syntaxMessage(const TreeNode& node, const char* port, const ScriptSyntaxError& e) {
    return "node " + node.describe() + ", attribute '" + port + "', column " + std::to_string(e.column()) + ": " +
           e.what();
}

}  // namespace

ScriptPort::ScriptPort(const TreeNode& node, const char* port) : port_(port) {
    const PortBinding* binding = node.portBinding(port);
    if (!binding) throw PortError("node " + node.describe() + ": port '" + port + "' is required");
    from_entry_ = binding->is_entry;
    if (from_entry_) return;
    try {
        compiled_ = Script::compile(binding->text);
    } catch (const ScriptSyntaxError& e) {
        throw LoadError(syntaxMessage(node, port, e));
    }
}

const Script& ScriptPort::script(const TreeNode& node) {
    if (!from_entry_) return *compiled_;
    std::string source = node.getInputText(port_);
    if (!compiled_ || compiled_->source() != source) {
        try {
            compiled_ = Script::compile(source);
        } catch (const ScriptSyntaxError& e) {
            throw TickError(syntaxMessage(node, port_, e));
        }
    }
    return *compiled_;
}

void ScriptPort::fail(const TreeNode& node, const Script& s, const std::exception& e) const {
    throw TickError("node " + node.describe() + ", " + port_ + " \"" + s.source() + "\": " + e.what());
}

Value ScriptPort::run(const TreeNode& node) {
    const Script& s = script(node);
    try {
        return s.run(*node.blackboard());
    } catch (const ScriptError& e) {
        fail(node, s, e);
    }
}

bool ScriptPort::condition(const TreeNode& node) {
    const Script& s = script(node);
    try {
        return s.runCondition(*node.blackboard());
    } catch (const ScriptError& e) {
        fail(node, s, e);
    }
}

}  // namespace quorvel::nodes
