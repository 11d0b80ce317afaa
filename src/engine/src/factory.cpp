#include "quorvel/factory.hpp"

#include <algorithm>
#include <utility>

#include "loader/registry.hpp"
#include "loader/tree_builder.hpp"
#include "nodes/builtin.hpp"

namespace quorvel {

namespace fs = std::filesystem;

namespace {

// Includes in a document given as text resolve against the working directory.
fs::path workingDirectory() {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    return ec ? fs::path(".") : cwd;
}

}  // namespace

struct BehaviorTreeFactory::Impl : loader::Registry {
    // Adds a read document to the registry and returns the tree it asks to run:
    // main_tree_to_execute, or its only tree.
    std::string commit(loader::LoadedDocuments docs) {
        std::string main;
        if (docs.main_tree) {
            main = *docs.main_tree;
            bool known = trees.count(main) > 0;
            for (const auto& def : docs.trees) known = known || def.id == main;
            if (!known) throw LoadError("main_tree_to_execute names unknown BehaviorTree '" + main + "'");
        } else {
            // The document's own trees decide; a document that only includes others
            // may name its one included tree.
            std::vector<std::string> candidates = docs.own_tree_ids;
            if (candidates.empty()) {
                for (const auto& def : docs.trees) candidates.push_back(def.id);
            }
            if (candidates.size() == 1) {
                main = candidates.front();
            } else if (!candidates.empty()) {
                std::string names;
                for (const auto& c : candidates) names += (names.empty() ? "" : ", ") + c;
                main_error = "several BehaviorTrees (" + names + ") and no main_tree_to_execute";
            } else {
                main_error = "the document defines no BehaviorTree";
            }
        }
        for (auto& def : docs.trees) trees[def.id] = std::move(def);
        for (auto& [type, ports] : docs.model_ports) {
            PortList& known = model_ports[type];
            for (auto& p : ports) {
                auto same = [&](const PortInfo& q) { return q.name == p.name; };
                auto it = std::find_if(known.begin(), known.end(), same);
                if (it == known.end()) known.push_back(std::move(p));
                else *it = std::move(p);
            }
        }
        return main;
    }

    std::string main_error;  // why commit() found no tree to run
    std::vector<std::string> warnings;
};

BehaviorTreeFactory::BehaviorTreeFactory() : impl_(std::make_unique<Impl>()) {
    for (NodeType& type : nodes::builtinNodeTypes()) registerBuilder(std::move(type.manifest), std::move(type.builder));
}
BehaviorTreeFactory::~BehaviorTreeFactory() = default;
BehaviorTreeFactory::BehaviorTreeFactory(BehaviorTreeFactory&&) noexcept = default;
BehaviorTreeFactory& BehaviorTreeFactory::operator=(BehaviorTreeFactory&&) noexcept = default;

void BehaviorTreeFactory::registerBuilder(NodeManifest manifest, NodeBuilder builder) {
    if (manifest.type_id.empty()) throw Error("a node type needs a non-empty ID");
    if (!builder) throw Error("node type '" + manifest.type_id + "' registered without a builder");
    auto ports = std::make_shared<const PortList>(manifest.ports);
    std::string id = manifest.type_id;
    impl_->types[id] = {std::move(manifest), std::move(builder), std::move(ports)};
}

void BehaviorTreeFactory::registerSimpleAction(const std::string& id, SimpleActionNode::TickFunctor tick,
                                               PortList ports) {
    registerBuilder({id, NodeKind::Action, std::move(ports), {}, -1, -1}, [tick = std::move(tick)](NodeConfig config) {
        return std::make_unique<SimpleActionNode>(std::move(config), tick);
    });
}

void BehaviorTreeFactory::registerSimpleCondition(const std::string& id, SimpleActionNode::TickFunctor tick,
                                                  PortList ports) {
    registerBuilder({id, NodeKind::Condition, std::move(ports), {}, -1, -1}, [tick = std::move(tick)](NodeConfig config) {
        return std::make_unique<SimpleActionNode>(std::move(config), tick);
    });
}

bool BehaviorTreeFactory::unregisterBuilder(const std::string& id) { return impl_->types.erase(id) > 0; }

const NodeManifest* BehaviorTreeFactory::manifest(const std::string& id) const {
    auto it = impl_->types.find(id);
    return it == impl_->types.end() ? nullptr : &it->second.manifest;
}

std::vector<std::string> BehaviorTreeFactory::registeredTypes() const {
    std::vector<std::string> out;
    for (const auto& [id, type] : impl_->types) out.push_back(id);
    return out;
}

void BehaviorTreeFactory::registerBehaviorTreeFromText(std::string_view xml, const std::string& name) {
    try {
        impl_->commit(loader::readDocuments(xml, workingDirectory(), name));
    } catch (const LoadError& e) {
        if (name.empty() || std::string_view(e.what()).rfind(name, 0) == 0) throw;
        throw LoadError(name + ": " + e.what());
    }
}

void BehaviorTreeFactory::registerBehaviorTreeFromFile(const fs::path& path) {
    std::string text = loader::readFileText(path, "file");
    fs::path absolute = fs::absolute(path);
    impl_->commit(loader::readDocuments(text, absolute.parent_path(), path.string(), &absolute));
}

std::vector<std::string> BehaviorTreeFactory::registeredBehaviorTrees() const {
    std::vector<std::string> out;
    for (const auto& [id, def] : impl_->trees) out.push_back(id);
    return out;
}

void BehaviorTreeFactory::clearRegisteredBehaviorTrees() { impl_->trees.clear(); }

Tree BehaviorTreeFactory::createTree(const std::string& tree_id, Blackboard::Ptr blackboard) {
    TreeBuilder builder(*impl_);
    Tree tree = builder.build(tree_id, std::move(blackboard));
    for (std::string& w : builder.takeWarnings()) impl_->warnings.push_back(std::move(w));
    return tree;
}

Tree BehaviorTreeFactory::createTreeFromText(std::string_view xml, Blackboard::Ptr blackboard, const std::string& name) {
    impl_->main_error.clear();
    std::string main;
    try {
        main = impl_->commit(loader::readDocuments(xml, workingDirectory(), name));
    } catch (const LoadError& e) {
        // Errors that carry no position (an unknown main tree) still say which document.
        if (name.empty() || std::string_view(e.what()).rfind(name, 0) == 0) throw;
        throw LoadError(name + ": " + e.what());
    }
    if (main.empty()) throw LoadError(name.empty() ? impl_->main_error : name + ": " + impl_->main_error);
    return createTree(main, std::move(blackboard));
}

Tree BehaviorTreeFactory::createTreeFromFile(const fs::path& path, Blackboard::Ptr blackboard) {
    std::string text = loader::readFileText(path, "file");
    fs::path absolute = fs::absolute(path);
    impl_->main_error.clear();
    std::string main = impl_->commit(loader::readDocuments(text, absolute.parent_path(), path.string(), &absolute));
    if (main.empty()) throw LoadError(path.string() + ": " + impl_->main_error);
    return createTree(main, std::move(blackboard));
}

std::vector<std::string> BehaviorTreeFactory::takeWarnings() { return std::exchange(impl_->warnings, {}); }

}  // namespace quorvel
