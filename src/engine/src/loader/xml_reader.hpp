#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/limits.hpp"

namespace quorvel::loader {

// Every distinct string of a document, stored once, end to end. A factory keeps its
// documents for as long as it lives and builds trees from them again and again; tag names,
// attribute names and values like "{target}" repeat all over a document.
class StringTable {
public:
    std::string_view operator[](uint32_t id) const {
        return {chars_.data() + starts_[id], static_cast<size_t>(starts_[id + 1] - starts_[id])};
    }
    size_t size() const { return starts_.size() - 1; }

private:
    friend class StringTableBuilder;
    std::string chars_;
    std::vector<uint32_t> starts_{0};  // string i is [starts_[i], starts_[i + 1])
};

// Gives each distinct string one id while a document is read. A string whose hash keeps
// colliding is stored again rather than searched for further, so a document made of
// colliding values costs a bounded amount of work per string, as any other does.
class StringTableBuilder {
public:
    using Hash = size_t (*)(std::string_view);
    explicit StringTableBuilder(Hash hash = nullptr);  // nullptr: std::hash
    uint32_t add(std::string_view text);
    StringTable finish();  // once, at the end

    static constexpr size_t kMaxProbes = 32;

private:
    struct Slot {
        uint32_t hash = 0;
        uint32_t id = kEmpty;
    };
    static constexpr uint32_t kEmpty = UINT32_MAX;
    bool place(Slot slot);  // false when no free slot lies within kMaxProbes
    void grow();

    Hash hash_;
    StringTable table_;
    std::vector<Slot> slots_;  // open addressing, a power of two long, at most half full
    size_t indexed_ = 0;
};

class XmlDocument;

// One attribute, in document order.
struct XmlAttribute {
    std::string_view name;
    std::string_view value;
};

class XmlAttributes;
class XmlChildren;

// One element of a parsed document: a handle, cheap to copy, valid while its document
// lives. Text content is dropped: in this format only elements and attributes carry meaning.
class XmlElement {
public:
    XmlElement() = default;
    std::string_view name() const;
    int line() const;
    int column() const;  // 1-based
    std::optional<std::string_view> attribute(std::string_view key) const;
    XmlAttributes attributes() const;
    XmlChildren children() const;

private:
    friend class XmlDocument;
    friend class XmlChildren;
    XmlElement(const XmlDocument* doc, uint32_t index) : doc_(doc), index_(index) {}
    const XmlDocument* doc_ = nullptr;
    uint32_t index_ = 0;
};

// A parsed document kept compact: its elements in document order as records of 24 bytes,
// its attributes as pairs of string ids, every string once in a StringTable.
class XmlDocument {
public:
    XmlElement root() const { return {this, 0}; }
    size_t elementCount() const { return elements_.size(); }
    const StringTable& strings() const { return strings_; }

private:
    friend class XmlElement;
    friend class XmlAttributes;
    friend class XmlChildren;
    friend struct DocumentBuilder;

    // An element's children follow it, each one's descendants before the next child, so
    // the elements inside element i are exactly those from i + 1 up to its `end`.
    struct Element {
        uint32_t name;
        uint32_t first_attribute;  // its attributes run up to the next element's first
        uint32_t end;
        uint32_t child_count;
        uint32_t line;
        uint32_t column;
    };
    struct Attribute {
        uint32_t name;
        uint32_t value;
    };

    uint32_t attributeEnd(uint32_t index) const {
        return index + 1 < elements_.size() ? elements_[index + 1].first_attribute
                                            : static_cast<uint32_t>(attributes_.size());
    }

    std::vector<Element> elements_;
    std::vector<Attribute> attributes_;
    StringTable strings_;
};

class XmlAttributes {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = XmlAttribute;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = XmlAttribute;
        iterator(const XmlDocument* doc, uint32_t index) : doc_(doc), index_(index) {}
        XmlAttribute operator*() const {
            const auto& a = doc_->attributes_[index_];
            return {doc_->strings_[a.name], doc_->strings_[a.value]};
        }
        iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator==(const iterator& other) const { return index_ == other.index_; }
        bool operator!=(const iterator& other) const { return index_ != other.index_; }

    private:
        const XmlDocument* doc_;
        uint32_t index_;
    };
    iterator begin() const { return {doc_, begin_}; }
    iterator end() const { return {doc_, end_}; }
    size_t size() const { return end_ - begin_; }
    bool empty() const { return begin_ == end_; }

private:
    friend class XmlElement;
    XmlAttributes(const XmlDocument* doc, uint32_t begin, uint32_t end) : doc_(doc), begin_(begin), end_(end) {}
    const XmlDocument* doc_;
    uint32_t begin_, end_;
};

class XmlChildren {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = XmlElement;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = XmlElement;
        iterator(const XmlDocument* doc, uint32_t index) : doc_(doc), index_(index) {}
        XmlElement operator*() const { return {doc_, index_}; }
        iterator& operator++() {
            index_ = doc_->elements_[index_].end;  // past this child's descendants
            return *this;
        }
        bool operator==(const iterator& other) const { return index_ == other.index_; }
        bool operator!=(const iterator& other) const { return index_ != other.index_; }

    private:
        const XmlDocument* doc_;
        uint32_t index_;
    };
    iterator begin() const { return {doc_, parent_ + 1}; }
    iterator end() const { return {doc_, doc_->elements_[parent_].end}; }
    size_t size() const { return doc_->elements_[parent_].child_count; }
    bool empty() const { return size() == 0; }
    XmlElement front() const { return {doc_, parent_ + 1}; }  // when not empty()

private:
    friend class XmlElement;
    XmlChildren(const XmlDocument* doc, uint32_t parent) : doc_(doc), parent_(parent) {}
    const XmlDocument* doc_;
    uint32_t parent_;
};

inline std::string_view XmlElement::name() const { return doc_->strings_[doc_->elements_[index_].name]; }
inline int XmlElement::line() const { return static_cast<int>(doc_->elements_[index_].line); }
inline int XmlElement::column() const { return static_cast<int>(doc_->elements_[index_].column); }

inline XmlAttributes XmlElement::attributes() const {
    return {doc_, doc_->elements_[index_].first_attribute, doc_->attributeEnd(index_)};
}

inline std::optional<std::string_view> XmlElement::attribute(std::string_view key) const {
    for (const XmlAttribute& a : attributes()) {
        if (a.name == key) return a.value;
    }
    return std::nullopt;
}

inline XmlChildren XmlElement::children() const { return {doc_, index_}; }

// How the bytes of a document are to be read. Bytes from a file follow the document's own
// encoding declaration; text handed over as text (a Python str) is Unicode already, in
// UTF-8, so a declaration naming another encoding must not make it be decoded twice.
enum class XmlEncoding { Declared, Utf8 };

// Parses a document that may come from anyone. Refuses documents larger than
// limits::kMaxDocumentBytes, DTDs and entity declarations (so no entity expansion and no
// external reads), nesting beyond limits::kMaxElementDepth, and malformed XML. Throws
// LoadError whose message starts with `origin` (when not empty) and the line and column.
// The document's elements point into it, so it is handed out where it will stay.
std::shared_ptr<const XmlDocument> parseXml(std::string_view text, const std::string& origin, XmlEncoding encoding);

// "origin: line L, column C: " (origin omitted when empty).
std::string position(const std::string& origin, int line, int column);

}  // namespace quorvel::loader
