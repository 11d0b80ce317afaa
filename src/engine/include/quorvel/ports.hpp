#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvel {

enum class PortDirection { Input, Output, InOut };

// A declared port. `type` is a text tag: "string", "int", "double", "bool",
// "object" (anything; an unwritten entry reads as empty), or "any".
struct PortInfo {
    std::string name;
    PortDirection direction = PortDirection::Input;
    std::string type = "any";
    std::optional<std::string> default_value;  // a literal or "{key}"
    std::string description;
};

using PortList = std::vector<PortInfo>;

inline PortInfo InputPort(std::string name, std::string type = "any",
                          std::optional<std::string> def = std::nullopt, std::string description = {}) {
    return {std::move(name), PortDirection::Input, std::move(type), std::move(def), std::move(description)};
}
inline PortInfo OutputPort(std::string name, std::string type = "any", std::string description = {}) {
    return {std::move(name), PortDirection::Output, std::move(type), std::nullopt, std::move(description)};
}
inline PortInfo BidirectionalPort(std::string name, std::string type = "any",
                                  std::optional<std::string> def = std::nullopt, std::string description = {}) {
    return {std::move(name), PortDirection::InOut, std::move(type), std::move(def), std::move(description)};
}

// How a port of one node instance is bound, decided when the tree loads.
struct PortBinding {
    bool is_entry = false;  // true: `text` is a blackboard key ("@key" for the root's)
    std::string text;       // the literal, or the key
};

// "{key}" -> key, "{=}" -> port name, "{@key}" -> "@key"; nothing for a literal.
std::optional<std::string> parseEntryReference(std::string_view text, std::string_view port_name);

}  // namespace quorvel
