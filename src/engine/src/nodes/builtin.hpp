#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "quorvel/node_manifest.hpp"

namespace quorvel::nodes {

// The built-in node library, one family per file. Each adds its types to `types`.
void addControls(NodeTypeList& types);
void addDecorators(NodeTypeList& types);
void addLeaves(NodeTypeList& types);

inline NodeTypeList builtinNodeTypes() {
    NodeTypeList types;
    addControls(types);
    addDecorators(types);
    addLeaves(types);
    return types;
}

// A built-in type with what it does, the one text the reference pages show; children -1
// take the kind's rule.
inline NodeManifest manifest(std::string id, NodeKind kind, std::string description, PortList ports = {},
                             int min_children = -1, int max_children = -1) {
    return {std::move(id), kind, std::move(ports), std::move(description), min_children, max_children};
}

// Adds the type `manifest` whose nodes are T(config, args...).
template <class T, class... Args>
void add(NodeTypeList& types, NodeManifest manifest, Args... args) {
    types.push_back({std::move(manifest),
                     [args...](NodeConfig config) { return std::make_unique<T>(std::move(config), args...); }});
}

// The node a <SubTree> element becomes: a decorator over the subtree's root, owning
// nothing but the link; the loader gives it its own blackboard.
class SubTreeNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override;
};

// Reads an integer threshold or count port, failing with a message naming the node.
int64_t readCount(const TreeNode& node, std::string_view port);

// Reads a duration port in milliseconds. Negative durations count as zero, and
// absurdly long ones are capped so that adding them to a time point cannot overflow.
Clock::duration readMilliseconds(const TreeNode& node, std::string_view port);

}  // namespace quorvel::nodes
