#include "quorvel/delegated_node.hpp"

#include <exception>

namespace quorvel {

bool DelegatedNode::anyChildRunning() const {
    for (const TreeNode* child : children_) {
        if (child->status() == NodeStatus::RUNNING) return true;
    }
    return false;
}

NodeStatus DelegatedNode::tick() {
    if (!behaviour_) throw TickError("node " + describe() + " has no behaviour to tick");
    NodeStatus s = behaviour_->tick(*this);
    if (s != NodeStatus::RUNNING && s != NodeStatus::IDLE) haltChildren();
    return s;
}

void DelegatedNode::halt() {
    std::exception_ptr first;
    if (behaviour_) {
        try {
            behaviour_->halt(*this);
        } catch (...) {
            first = std::current_exception();
        }
    }
    try {
        haltChildren();
    } catch (...) {
        if (!first) first = std::current_exception();
    }
    if (first) std::rethrow_exception(first);
}

NodeBuilder delegatedNodeBuilder(BehaviourMaker make) {
    return [make = std::move(make)](NodeConfig config) -> std::unique_ptr<TreeNode> {
        auto node = std::make_unique<DelegatedNode>(std::move(config));
        node->setBehaviour(make(*node));
        return node;
    };
}

}  // namespace quorvel
