#include "quorvel/status.hpp"

namespace quorvel {

std::optional<NodeStatus> parseStatus(std::string_view text) {
    for (auto s : {NodeStatus::IDLE, NodeStatus::RUNNING, NodeStatus::SUCCESS, NodeStatus::FAILURE,
                   NodeStatus::SKIPPED}) {
        if (toString(s) == text) return s;
    }
    return std::nullopt;
}

}  // namespace quorvel
