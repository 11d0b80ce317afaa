#include "quorvel/ports.hpp"

namespace quorvel {

std::optional<std::string> parseEntryReference(std::string_view text, std::string_view port_name) {
    if (text.size() < 3 || text.front() != '{' || text.back() != '}') return std::nullopt;
    std::string_view inner = text.substr(1, text.size() - 2);
    if (inner == "=") return std::string(port_name);
    // A brace inside the key means the text is something else (a script, JSON):
    // treat it as a literal rather than guess.
    if (inner.find_first_of("{}") != std::string_view::npos) return std::nullopt;
    if (inner.front() == '@') {
        if (inner.size() == 1) return std::nullopt;
        return std::string(inner);
    }
    return std::string(inner);
}

}  // namespace quorvel
