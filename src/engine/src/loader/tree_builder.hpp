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
    std::shared_ptr<const PortList> portsOf(const std::string& type_id, const loader::Registry::Type& type);
    [[noreturn]] void fail(const loader::TreeDefinition& def, const loader::XmlElement& el,
                           const std::string& message) const;

    const loader::Registry& registry_;
    Tree tree_;
    std::vector<std::string> stack_;
    std::map<std::string, Extent> extents_;
    std::map<std::string, std::shared_ptr<const PortList>> ports_;
};

}  // namespace quorvel
