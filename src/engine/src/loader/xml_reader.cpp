#include "xml_reader.hpp"

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>

#include "quorvel/errors.hpp"

namespace quorvel::loader {

std::string position(const std::string& origin, int line, int column) {
    std::string out = origin.empty() ? std::string() : origin + ": ";
    out += "line " + std::to_string(line);
    if (column > 0) out += ", column " + std::to_string(column);
    return out + ": ";
}

// Ids and offsets are 32 bits: a document's strings are at most twice its bytes (a byte of
// ISO-8859-1 may become two of UTF-8), and it has fewer elements and attributes than bytes.
static_assert(2 * limits::kMaxDocumentBytes < UINT32_MAX, "string offsets and ids no longer fit in 32 bits");

namespace {

size_t standardHash(std::string_view text) { return std::hash<std::string_view>{}(text); }

}  // namespace

StringTableBuilder::StringTableBuilder(Hash hash) : hash_(hash ? hash : standardHash), slots_(64) {}

uint32_t StringTableBuilder::add(std::string_view text) {
    const auto hash = static_cast<uint32_t>(hash_(text));
    const size_t mask = slots_.size() - 1;
    Slot* free = nullptr;
    for (size_t probe = 0, i = hash & mask; probe < kMaxProbes; ++probe, i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.id == kEmpty) {
            free = &slot;
            break;
        }
        if (slot.hash == hash && table_[slot.id] == text) return slot.id;
    }
    const auto id = static_cast<uint32_t>(table_.size());
    table_.chars_.append(text);
    table_.starts_.push_back(static_cast<uint32_t>(table_.chars_.size()));
    if (free) {
        *free = {hash, id};
        if (++indexed_ * 2 > slots_.size()) grow();
    }
    return id;
}

bool StringTableBuilder::place(Slot slot) {
    const size_t mask = slots_.size() - 1;
    for (size_t probe = 0, i = slot.hash & mask; probe < kMaxProbes; ++probe, i = (i + 1) & mask) {
        if (slots_[i].id == kEmpty) {
            slots_[i] = slot;
            return true;
        }
    }
    return false;
}

void StringTableBuilder::grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    indexed_ = 0;
    for (const Slot& slot : old) {
        if (slot.id != kEmpty && place(slot)) ++indexed_;
    }
}

StringTable StringTableBuilder::finish() {
    slots_ = {};
    indexed_ = 0;
    table_.chars_.shrink_to_fit();
    table_.starts_.shrink_to_fit();
    return std::move(table_);
}

// Appends each element as its start tag is read; its `end` is known at its end tag.
struct DocumentBuilder {
    XML_Parser parser = nullptr;
    std::shared_ptr<XmlDocument> doc = std::make_shared<XmlDocument>();
    StringTableBuilder strings;
    std::vector<uint32_t> open;  // the element being read and its ancestors
    size_t roots = 0;
    std::string refusal;  // why we stopped the parser ourselves
    int refusal_line = 0;
    int refusal_column = 0;

    void refuse(std::string why) {
        if (refusal.empty()) {
            refusal = std::move(why);
            refusal_line = static_cast<int>(XML_GetCurrentLineNumber(parser));
            refusal_column = static_cast<int>(XML_GetCurrentColumnNumber(parser)) + 1;
        }
        XML_StopParser(parser, XML_FALSE);
    }

    void start(const XML_Char* name, const XML_Char** attrs) {
        if (static_cast<int>(open.size()) >= limits::kMaxElementDepth) {
            refuse("elements nested deeper than " + std::to_string(limits::kMaxElementDepth));
            return;
        }
        auto& elements = doc->elements_;
        auto& attributes = doc->attributes_;
        XmlDocument::Element el;
        el.name = strings.add(name);
        el.first_attribute = static_cast<uint32_t>(attributes.size());
        el.end = 0;
        el.child_count = 0;
        el.line = static_cast<uint32_t>(XML_GetCurrentLineNumber(parser));
        el.column = static_cast<uint32_t>(XML_GetCurrentColumnNumber(parser)) + 1;
        for (size_t i = 0; attrs[i]; i += 2) attributes.push_back({strings.add(attrs[i]), strings.add(attrs[i + 1])});
        if (open.empty()) {
            ++roots;
        } else {
            ++elements[open.back()].child_count;
        }
        open.push_back(static_cast<uint32_t>(elements.size()));
        elements.push_back(el);
    }

    void end() {
        if (open.empty()) return;
        doc->elements_[open.back()].end = static_cast<uint32_t>(doc->elements_.size());
        open.pop_back();
    }

    std::shared_ptr<const XmlDocument> finish() {
        doc->strings_ = strings.finish();
        doc->elements_.shrink_to_fit();
        doc->attributes_.shrink_to_fit();
        return std::move(doc);
    }
};

namespace {

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
    auto* b = static_cast<DocumentBuilder*>(data);
    if (!b->refusal.empty()) return;
    b->start(name, attrs);
}

void XMLCALL onEnd(void* data, const XML_Char*) { static_cast<DocumentBuilder*>(data)->end(); }

void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<DocumentBuilder*>(data)->refuse("document type declarations (DTDs) are not accepted");
}

void XMLCALL onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                          const XML_Char*, const XML_Char*) {
    static_cast<DocumentBuilder*>(data)->refuse("entity declarations are not accepted");
}

int XMLCALL onExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    return XML_STATUS_ERROR;  // never read anything but the text we were given
}

}  // namespace

std::shared_ptr<const XmlDocument> parseXml(std::string_view text, const std::string& origin, XmlEncoding encoding) {
    if (text.size() > limits::kMaxDocumentBytes) {
        throw LoadError((origin.empty() ? std::string("the XML text") : origin) + " is too large: " +
                        std::to_string(text.size()) + " bytes, the limit is " +
                        std::to_string(limits::kMaxDocumentBytes));
    }
    // An encoding given here overrides the document's declaration.
    const XML_Char* forced = encoding == XmlEncoding::Utf8 ? "UTF-8" : nullptr;
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> parser(XML_ParserCreate(forced),
                                                                                    XML_ParserFree);
    if (!parser) throw LoadError(origin + (origin.empty() ? "" : ": ") + "out of memory creating the XML parser");
    DocumentBuilder st;
    st.parser = parser.get();
    XML_SetUserData(st.parser, &st);
    XML_SetElementHandler(st.parser, onStart, onEnd);
    XML_SetStartDoctypeDeclHandler(st.parser, onDoctype);
    XML_SetEntityDeclHandler(st.parser, onEntityDecl);
    XML_SetExternalEntityRefHandler(st.parser, onExternalEntity);
    XML_SetParamEntityParsing(st.parser, XML_PARAM_ENTITY_PARSING_NEVER);

    // XML_Parse takes an int length: feed large texts in pieces.
    constexpr size_t kChunk = 1 << 20;
    size_t offset = 0;
    do {
        size_t n = std::min(kChunk, text.size() - offset);
        bool last = offset + n == text.size();
        if (XML_Parse(st.parser, text.data() + offset, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) ==
            XML_STATUS_ERROR) {
            if (!st.refusal.empty()) {
                throw LoadError(position(origin, st.refusal_line, st.refusal_column) + st.refusal);
            }
            throw LoadError(position(origin, static_cast<int>(XML_GetCurrentLineNumber(st.parser)),
                                     static_cast<int>(XML_GetCurrentColumnNumber(st.parser)) + 1) +
                            "malformed XML: " + XML_ErrorString(XML_GetErrorCode(st.parser)));
        }
        offset += n;
    } while (offset < text.size());

    if (st.roots != 1) throw LoadError(position(origin, 1, 0) + "malformed XML: no root element");
    return st.finish();
}

}  // namespace quorvel::loader
