#pragma once

// Control and decorator nodes whose behaviour lives outside the engine: an embedder (the
// Python bindings, for node classes written in Python) supplies the tick and the halt, the
// engine supplies everything a built-in node has: children checked at load, ports,
// pre- and post-conditions, halting, and resetting the children when the node finishes.

#include <functional>
#include <memory>

#include "quorvel/node_manifest.hpp"
#include "quorvel/tree_node.hpp"

namespace quorvel {

class DelegatedNode;

// One per node, made when the tree is built.
class NodeBehaviour {
public:
    virtual ~NodeBehaviour() = default;
    // The node's tick: ticks children through node.tickChild() and returns the status.
    virtual NodeStatus tick(DelegatedNode& node) = 0;
    // The node is being halted while RUNNING. Whatever this does, the node halts every
    // child afterwards, so that no child is left running under an idle parent.
    virtual void halt(DelegatedNode& node) { (void)node; }
};

// A control node, or a decorator (a manifest of kind Decorator, so exactly one child).
class DelegatedNode final : public ControlNode {
public:
    using ControlNode::ControlNode;

    void setBehaviour(std::unique_ptr<NodeBehaviour> behaviour) { behaviour_ = std::move(behaviour); }
    NodeBehaviour* behaviour() const { return behaviour_.get(); }

    size_t childCount() const { return children_.size(); }
    TreeNode& child(size_t i) const { return *children_.at(i); }
    NodeStatus tickChild(size_t i) { return children_.at(i)->executeTick(); }
    void haltChild(size_t i) { children_.at(i)->haltNode(); }
    bool anyChildRunning() const;

protected:
    // A status other than RUNNING ends the node: its children are reset, as built-in
    // controls reset theirs.
    NodeStatus tick() override;
    void halt() override;

private:
    std::unique_ptr<NodeBehaviour> behaviour_;
};

// Makes the behaviour of a freshly built node; may throw (the load then fails naming the
// node).
using BehaviourMaker = std::function<std::unique_ptr<NodeBehaviour>(DelegatedNode& node)>;

// The builder to register with the manifest of such a type.
NodeBuilder delegatedNodeBuilder(BehaviourMaker make);

}  // namespace quorvel
