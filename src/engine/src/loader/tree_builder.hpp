#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "registry.hpp"
#include "quorvel/tree.hpp"

namespace quorvel {

// Turns a registered definition into a Tree. One builder builds one tree.
class TreeBuilder {
public:
    explicit TreeBuilder(const loader::Registry& registry);
    // Throws LoadError naming the file (if any), line, column and node.
    Tree build(const std::string& tree_id, Blackboard::Ptr blackboard);
    // What the build kept but the author may not have meant (see factory.hpp).
    std::vector<std::string> takeWarnings() { return std::move(warnings_); }

private:
    struct Extent {
        size_t nodes = 0;
        int depth = 0;
    };

    const loader::TreeDefinition& definition(const std::string& id) const;
    // Counts the expanded tree before building it, and finds SubTree recursion and
    // unknown SubTree IDs on the way.
    Extent measureTree(const loader::TreeDefinition& def, int depth);
    Extent measureElement(const loader::TreeDefinition& def, const loader::XmlElement& el, int depth);

    TreeNode* buildNode(const loader::TreeDefinition& def, const loader::XmlElement& el, const Blackboard::Ptr& bb);
    TreeNode* buildSubTree(const loader::TreeDefinition& def, const loader::XmlElement& el,
                           const Blackboard::Ptr& parent_bb);
    void readConditions(const loader::TreeDefinition& def, const loader::XmlElement& el, const std::string& what,
                        NodeConfig& config);
    // One text per BehaviorTree, shared by its nodes.
    std::shared_ptr<const std::string> treeIdOf(const loader::TreeDefinition& def);
    std::shared_ptr<const PortList> portsOf(const std::string& type_id, const loader::Registry::Type& type);
    // The message is `parts`, texts and views alike, joined: the pieces of a message live in
    // this cold call rather than in the frames of the recursive builders.
    template <class... Parts>
    [[noreturn, gnu::cold, gnu::noinline]] void fail(const loader::TreeDefinition& def, const loader::XmlElement& el,
                                                     const Parts&... parts) const;

    const loader::Registry& registry_;
    Tree tree_;
    std::vector<std::string> stack_;
    std::map<std::string, Extent> extents_;
    std::map<std::string, std::shared_ptr<const PortList>> ports_;
    std::map<std::string, std::shared_ptr<const std::string>> tree_ids_;
    // `_` attributes kept as metadata that editors are not known to write: how many nodes
    // carry each, and where the first one is.
    struct Unknown {
        size_t nodes = 0;
        std::string first;
    };
    std::map<std::string, Unknown> unknown_attributes_;
    std::vector<std::string> warnings_;
};

}  // namespace quorvel
