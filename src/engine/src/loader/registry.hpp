#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xml_reader.hpp"
#include "quorvel/node_manifest.hpp"

namespace quorvel::loader {

// A <BehaviorTree> element and the document that holds it.
struct TreeDefinition {
    std::string id;
    std::shared_ptr<const XmlDocument> document;
    XmlElement element;  // in `document`
    std::string origin;  // the file, or empty for a text document
};

// What a factory knows: node types and tree definitions.
struct Registry {
    struct Type {
        NodeManifest manifest;
        NodeBuilder builder;
        std::shared_ptr<const PortList> ports;  // manifest.ports, shared with built trees
    };
    std::map<std::string, Type> types;
    std::map<std::string, TreeDefinition> trees;
    // Ports that TreeNodesModel declares for a type, beyond what its registration says.
    std::map<std::string, PortList> model_ports;
};

// The result of reading one document and its includes, not yet added to a registry.
struct LoadedDocuments {
    std::vector<TreeDefinition> trees;      // every definition, includes too
    std::vector<std::string> own_tree_ids;  // those of the document itself, in order
    std::optional<std::string> main_tree;   // main_tree_to_execute
    std::map<std::string, PortList> model_ports;
};

// Reads a document. `base_dir` resolves its includes; `origin` names it in messages;
// `file` is the document's own file when it was read from one. Without a file the text is
// taken as UTF-8 whatever its declaration says; a file follows its declaration.
LoadedDocuments readDocuments(std::string_view text, const std::filesystem::path& base_dir, const std::string& origin,
                              const std::filesystem::path* file = nullptr);

// Reads a whole file that the loader may open (a regular file of sane size).
std::string readFileText(const std::filesystem::path& path, const std::string& what);

}  // namespace quorvel::loader
