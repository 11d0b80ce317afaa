#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::loader {

// One element of a parsed document. Text content is dropped: in this format only
// elements and attributes carry meaning.
struct XmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;  // in document order
    std::vector<XmlElement> children;
    int line = 0;
    int column = 0;  // 1-based

    const std::string* attribute(std::string_view key) const {
        for (const auto& [k, v] : attributes) {
            if (k == key) return &v;
        }
        return nullptr;
    }
};

// Elements may nest this deep; deeper documents are refused, which keeps every
// recursive walk over a document (and the trees built from it) shallow.
constexpr int kMaxElementDepth = 256;

// Parses a document that may come from anyone. Refuses DTDs and entity declarations
// (so no entity expansion and no external reads), nesting beyond kMaxElementDepth,
// and malformed XML. Throws LoadError whose message starts with `origin` (when not
// empty) and the line and column.
XmlElement parseXml(std::string_view text, const std::string& origin);

// "origin: line L, column C: " (origin omitted when empty).
std::string position(const std::string& origin, int line, int column);

}  // namespace quorvel::loader
