#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvel/limits.hpp"

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

// How the bytes of a document are to be read. Bytes from a file follow the document's own
// encoding declaration; text handed over as text (a Python str) is Unicode already, in
// UTF-8, so a declaration naming another encoding must not make it be decoded twice.
enum class XmlEncoding { Declared, Utf8 };

// Parses a document that may come from anyone. Refuses documents larger than
// limits::kMaxDocumentBytes, DTDs and entity declarations (so no entity expansion and no
// external reads), nesting beyond limits::kMaxElementDepth, and malformed XML. Throws
// LoadError whose message starts with `origin` (when not empty) and the line and column.
XmlElement parseXml(std::string_view text, const std::string& origin, XmlEncoding encoding);

// "origin: line L, column C: " (origin omitted when empty).
std::string position(const std::string& origin, int line, int column);

}  // namespace quorvel::loader
