#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/ports.hpp"
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

// Makes one node of a type from the configuration the loader resolved for its element.
using NodeBuilder = std::function<std::unique_ptr<TreeNode>(NodeConfig config)>;

// A node type ready to be registered: the node library hands its types over as a list, so
// that it needs to know nothing of the factory that registers them.
struct NodeType {
    NodeManifest manifest;
    NodeBuilder builder;
};
using NodeTypeList = std::vector<NodeType>;

}  // namespace quorvel
