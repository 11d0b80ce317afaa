#pragma once

#include "quorvel/factory.hpp"

namespace quorvel::nodes {

// The built-in node library, one family per file.
void registerControls(BehaviorTreeFactory& factory);
void registerDecorators(BehaviorTreeFactory& factory);
void registerLeaves(BehaviorTreeFactory& factory);

inline void registerBuiltinNodes(BehaviorTreeFactory& factory) {
    registerControls(factory);
    registerDecorators(factory);
    registerLeaves(factory);
}

// The node a <SubTree> element becomes: a decorator over the subtree's root, owning
// nothing but the link; the loader gives it its own blackboard.
class SubTreeNode final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;
    static PortList providedPorts() { return {}; }

protected:
    NodeStatus tick() override;
};

// Reads an integer threshold or count port, failing with a message naming the node.
int64_t readCount(const TreeNode& node, std::string_view port);

// Reads a duration port in milliseconds. Negative durations count as zero, and
// absurdly long ones are capped so that adding them to a time point cannot overflow.
Clock::duration readMilliseconds(const TreeNode& node, std::string_view port);

}  // namespace quorvel::nodes
