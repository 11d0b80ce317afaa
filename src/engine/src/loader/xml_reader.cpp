#include "xml_reader.hpp"

#include <expat.h>

#include <limits>
#include <memory>

#include "quorvel/errors.hpp"

namespace quorvel::loader {

std::string position(const std::string& origin, int line, int column) {
    std::string out = origin.empty() ? std::string() : origin + ": ";
    out += "line " + std::to_string(line);
    if (column > 0) out += ", column " + std::to_string(column);
    return out + ": ";
}

namespace {

struct ParseState {
    XML_Parser parser = nullptr;
    XmlElement document;            // a synthetic holder; the root element is its only child
    std::vector<XmlElement*> open;  // ancestors of the element being read
    std::string refusal;            // why we stopped the parser ourselves
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
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
    auto* st = static_cast<ParseState*>(data);
    if (!st->refusal.empty()) return;
    if (static_cast<int>(st->open.size()) >= limits::kMaxElementDepth + 1) {
        st->refuse("elements nested deeper than " + std::to_string(limits::kMaxElementDepth));
        return;
    }
    XmlElement* parent = st->open.back();
    parent->children.emplace_back();
    XmlElement& el = parent->children.back();
    el.name = name;
    el.line = static_cast<int>(XML_GetCurrentLineNumber(st->parser));
    el.column = static_cast<int>(XML_GetCurrentColumnNumber(st->parser)) + 1;
    for (size_t i = 0; attrs[i]; i += 2) el.attributes.emplace_back(attrs[i], attrs[i + 1]);
    st->open.push_back(&el);
}

void XMLCALL onEnd(void* data, const XML_Char*) {
    auto* st = static_cast<ParseState*>(data);
    if (st->open.size() > 1) st->open.pop_back();
}

void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<ParseState*>(data)->refuse("document type declarations (DTDs) are not accepted");
}

void XMLCALL onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                          const XML_Char*, const XML_Char*) {
    static_cast<ParseState*>(data)->refuse("entity declarations are not accepted");
}

int XMLCALL onExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    return XML_STATUS_ERROR;  // never read anything but the text we were given
}

}  // namespace

XmlElement parseXml(std::string_view text, const std::string& origin, XmlEncoding encoding) {
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
    ParseState st;
    st.parser = parser.get();
    st.open.push_back(&st.document);
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

    if (st.document.children.size() != 1) {
        throw LoadError(position(origin, 1, 0) + "malformed XML: no root element");
    }
    return std::move(st.document.children.front());
}

}  // namespace quorvel::loader
