#pragma once

#include <memory>
#include <string>

#include "quorvel/script.hpp"
#include "quorvel/tree_node.hpp"

namespace quorvel::nodes {

// A port whose value is a script (Script's `code`, Precondition's `if`). A literal is
// compiled once, when the node is built, so a syntax error is a load error; a script
// taken from a blackboard entry is compiled when first read and again only when the
// entry's text changes.
class ScriptPort {
public:
    ScriptPort(const TreeNode& node, const char* port);

    // Both throw TickError naming the node and the script when it fails.
    Value run(const TreeNode& node);
    bool condition(const TreeNode& node);

private:
    const Script& script(const TreeNode& node);
    [[noreturn]] void fail(const TreeNode& node, const Script& script, const std::exception& e) const;

    const char* port_;
    std::shared_ptr<const Script> compiled_;
    bool from_entry_ = false;
};

}  // namespace quorvel::nodes
