// Reading documents: the <root> element, includes, tree definitions and the
// editor's node models. Building trees from the definitions is tree_builder.cpp.

#include <fstream>
#include <set>
#include <sstream>

#include "registry.hpp"
#include "quorvel/errors.hpp"
#include "quorvel/limits.hpp"

namespace quorvel::loader {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& origin, const XmlElement& el, const std::string& message) {
    throw LoadError(position(origin, el.line(), el.column()) + message);
}

std::optional<PortDirection> modelDirection(std::string_view element) {
    if (element == "input_port") return PortDirection::Input;
    if (element == "output_port") return PortDirection::Output;
    if (element == "inout_port") return PortDirection::InOut;
    return std::nullopt;
}

class Reader {
public:
    LoadedDocuments out;

    void read(std::string_view text, const fs::path& base_dir, const std::string& origin, bool top,
              XmlEncoding encoding) {
        std::shared_ptr<const XmlDocument> doc = parseXml(text, origin, encoding);
        const XmlElement root = doc->root();
        if (root.name() != "root") {
            fail(origin, root, "the document element must be <root>, not <" + std::string(root.name()) + ">");
        }
        auto format = root.attribute("BTCPP_format");
        if (!format) fail(origin, root, "<root> has no BTCPP_format attribute; expected BTCPP_format=\"4\"");
        if (*format != "4") {
            fail(origin, root,
                 "BTCPP_format=\"" + std::string(*format) + "\" is not supported; expected BTCPP_format=\"4\"");
        }
        if (top) {
            if (auto main = root.attribute("main_tree_to_execute")) out.main_tree = std::string(*main);
        }

        std::set<std::string> ids_here;
        for (const XmlElement& el : root.children()) {
            if (el.name() == "include") {
                readInclude(el, base_dir, origin);
            } else if (el.name() == "BehaviorTree") {
                auto id_attr = el.attribute("ID");
                if (!id_attr || id_attr->empty()) fail(origin, el, "<BehaviorTree> without an ID");
                std::string id(*id_attr);
                if (!ids_here.insert(id).second) fail(origin, el, "BehaviorTree '" + id + "' is defined twice");
                if (el.children().size() != 1) {
                    fail(origin, el, "BehaviorTree '" + id + "' must hold exactly one node, not " +
                                         std::to_string(el.children().size()));
                }
                if (top) out.own_tree_ids.push_back(id);
                out.trees.push_back({std::move(id), doc, el, origin});
            } else if (el.name() == "TreeNodesModel") {
                readModel(el, origin);
            } else {
                fail(origin, el, "unexpected element <" + std::string(el.name()) + "> in <root>");
            }
        }
    }

    // The document read first is a file: including it again is a cycle too.
    void enter(const fs::path& file) {
        std::error_code ec;
        fs::path canonical = fs::weakly_canonical(file, ec);
        if (ec) canonical = file.lexically_normal();
        include_stack_.push_back(canonical);
        included_.insert(canonical);
    }

private:
    std::vector<fs::path> include_stack_;
    std::set<fs::path> included_;

    void readInclude(const XmlElement& el, const fs::path& base_dir, const std::string& origin) {
        auto path_attr = el.attribute("path");
        if (!path_attr || path_attr->empty()) fail(origin, el, "<include> without a path");
        fs::path path = fs::path(*path_attr);
        if (path.is_relative()) path = base_dir / path;
        std::error_code ec;
        fs::path canonical = fs::weakly_canonical(path, ec);
        if (ec) canonical = path.lexically_normal();
        for (const fs::path& p : include_stack_) {
            if (p == canonical) fail(origin, el, "include cycle: '" + canonical.string() + "' includes itself");
        }
        // Already read in this load (a diamond): its definitions are in already.
        if (!included_.insert(canonical).second) return;
        if (static_cast<int>(include_stack_.size()) >= limits::kMaxIncludeDepth) {
            fail(origin, el, "includes nested deeper than " + std::to_string(limits::kMaxIncludeDepth));
        }
        std::string text;
        try {
            text = readFileText(canonical, "included file");
        } catch (const LoadError& e) {
            fail(origin, el, e.what());
        }
        include_stack_.push_back(canonical);
        read(text, canonical.parent_path(), canonical.string(), false, XmlEncoding::Declared);
        include_stack_.pop_back();
    }

    void readModel(const XmlElement& model, const std::string& origin) {
        for (const XmlElement& type : model.children()) {
            auto id = type.attribute("ID");
            if (!id) continue;  // editor metadata we do not understand
            PortList& ports = out.model_ports[std::string(*id)];
            for (const XmlElement& port : type.children()) {
                auto direction = modelDirection(port.name());
                if (!direction) continue;
                auto name = port.attribute("name");
                if (!name || name->empty()) fail(origin, port, "port without a name in TreeNodesModel");
                PortInfo info;
                info.name = std::string(*name);
                info.direction = *direction;
                if (auto t = port.attribute("type")) info.type = std::string(*t);
                if (auto d = port.attribute("default")) info.default_value = std::string(*d);
                if (auto d = port.attribute("description")) info.description = std::string(*d);
                ports.push_back(std::move(info));
            }
        }
    }
};

}  // namespace

std::string readFileText(const fs::path& path, const std::string& what) {
    std::error_code ec;
    auto status = fs::status(path, ec);
    if (ec || !fs::exists(status)) throw LoadError(what + " '" + path.string() + "' does not exist");
    if (!fs::is_regular_file(status)) throw LoadError(what + " '" + path.string() + "' is not a regular file");
    auto size = fs::file_size(path, ec);
    if (ec) throw LoadError("cannot read " + what + " '" + path.string() + "': " + ec.message());
    if (size > limits::kMaxDocumentBytes) {
        throw LoadError(what + " '" + path.string() + "' is too large: " + std::to_string(size) +
                        " bytes, the limit is " + std::to_string(limits::kMaxDocumentBytes));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw LoadError("cannot open " + what + " '" + path.string() + "'");
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) throw LoadError("cannot read " + what + " '" + path.string() + "'");
    return buffer.str();
}

LoadedDocuments readDocuments(std::string_view text, const fs::path& base_dir, const std::string& origin,
                              const fs::path* file) {
    Reader reader;
    if (file) reader.enter(*file);
    reader.read(text, base_dir, origin, true, file ? XmlEncoding::Declared : XmlEncoding::Utf8);
    return std::move(reader.out);
}

}  // namespace quorvel::loader
