#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/node_manifest.hpp"
#include "quorvel/ports.hpp"
#include "quorvel/tree.hpp"
#include "quorvel/tree_node.hpp"

namespace quorvel {

// Knows node types and tree definitions; builds trees. The built-in node library is
// registered by the constructor. A tree, once built, owns everything it uses: it may
// outlive the factory, and later registrations do not change it.
//
// XML given as text is Unicode text in UTF-8: an encoding declaration in it is ignored.
// XML read from a file (and every included file) is decoded as its declaration says.
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

    bool unregisterBuilder(const std::string& id);
    const NodeManifest* manifest(const std::string& id) const;
    std::vector<std::string> registeredTypes() const;  // sorted

    // Adds the document's BehaviorTree definitions (and those of its includes).
    // A definition with an ID already known replaces the earlier one. `name`, when not
    // empty, names a document given as text in error messages, as a path names a file.
    void registerBehaviorTreeFromText(std::string_view xml, const std::string& name = {});
    void registerBehaviorTreeFromFile(const std::filesystem::path& path);
    std::vector<std::string> registeredBehaviorTrees() const;  // sorted
    void clearRegisteredBehaviorTrees();

    // Builds the tree `tree_id` from the registered definitions.
    Tree createTree(const std::string& tree_id, Blackboard::Ptr blackboard = nullptr);
    // Registers the document's definitions and builds its main tree.
    Tree createTreeFromText(std::string_view xml, Blackboard::Ptr blackboard = nullptr, const std::string& name = {});
    Tree createTreeFromFile(const std::filesystem::path& path, Blackboard::Ptr blackboard = nullptr);

    // What the loads since the last call found worth telling but not refusing (attributes
    // kept as editor metadata, for instance), oldest first; the list starts empty again.
    std::vector<std::string> takeWarnings();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvel
