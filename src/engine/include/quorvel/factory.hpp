#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quorvel/ports.hpp"
#include "quorvel/tree.hpp"
#include "quorvel/tree_node.hpp"

namespace quorvel {

// What a node type is: its kind and ports (what the loader checks attributes against).
struct NodeManifest {
    std::string type_id;
    NodeKind kind = NodeKind::Action;
    PortList ports;
    std::string description;
    // Children the element must have; -1 takes the kind's rule (leaves none,
    // decorators one, controls at least one).
    int min_children = -1;
    int max_children = -1;
};

using NodeBuilder = std::function<std::unique_ptr<TreeNode>(NodeConfig config)>;

// Knows node types and tree definitions; builds trees. The built-in node library is
// registered by the constructor.
class BehaviorTreeFactory {
public:
    BehaviorTreeFactory();
    ~BehaviorTreeFactory();
    BehaviorTreeFactory(BehaviorTreeFactory&&) noexcept;
    BehaviorTreeFactory& operator=(BehaviorTreeFactory&&) noexcept;

    // Registering a type id again replaces the earlier registration.
    void registerBuilder(NodeManifest manifest, NodeBuilder builder);
    void registerSimpleAction(const std::string& id, SimpleActionNode::TickFunctor tick, PortList ports = {});
    void registerSimpleCondition(const std::string& id, SimpleActionNode::TickFunctor tick, PortList ports = {});

    // T: a TreeNode subclass constructible from NodeConfig with `static PortList providedPorts()`.
    template <class T>
    void registerNodeType(const std::string& id, NodeKind kind) {
        registerBuilder({id, kind, T::providedPorts(), {}},
                        [](NodeConfig config) { return std::make_unique<T>(std::move(config)); });
    }

    bool unregisterBuilder(const std::string& id);
    const NodeManifest* manifest(const std::string& id) const;
    std::vector<std::string> registeredTypes() const;  // sorted

    // Adds the document's BehaviorTree definitions (and those of its includes).
    // A definition with an ID already known replaces the earlier one.
    void registerBehaviorTreeFromText(const std::string& xml);
    void registerBehaviorTreeFromFile(const std::filesystem::path& path);
    std::vector<std::string> registeredBehaviorTrees() const;  // sorted
    void clearRegisteredBehaviorTrees();

    // Builds the tree `tree_id` from the registered definitions.
    Tree createTree(const std::string& tree_id, Blackboard::Ptr blackboard = nullptr);
    // Registers the document's definitions and builds its main tree.
    Tree createTreeFromText(const std::string& xml, Blackboard::Ptr blackboard = nullptr);
    Tree createTreeFromFile(const std::filesystem::path& path, Blackboard::Ptr blackboard = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel
