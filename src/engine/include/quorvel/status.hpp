#pragma once

#include <optional>
#include <string_view>

namespace quorvel {

enum class NodeStatus { IDLE = 0, RUNNING = 1, SUCCESS = 2, FAILURE = 3, SKIPPED = 4 };

constexpr std::string_view toString(NodeStatus s) {
    switch (s) {
        case NodeStatus::IDLE: return "IDLE";
        case NodeStatus::RUNNING: return "RUNNING";
        case NodeStatus::SUCCESS: return "SUCCESS";
        case NodeStatus::FAILURE: return "FAILURE";
        case NodeStatus::SKIPPED: return "SKIPPED";
    }
    return "UNKNOWN";
}

// Accepts the upper-case names above; used by ports such as Precondition's `else`.
std::optional<NodeStatus> parseStatus(std::string_view text);

constexpr bool isCompleted(NodeStatus s) {
    return s == NodeStatus::SUCCESS || s == NodeStatus::FAILURE;
}

}  // namespace quorvel
