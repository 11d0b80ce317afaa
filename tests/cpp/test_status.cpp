#include <gtest/gtest.h>

#include "quorvel/status.hpp"

using quorvel::NodeStatus;

TEST(Status, NamesRoundTrip) {
    for (auto s : {NodeStatus::IDLE, NodeStatus::RUNNING, NodeStatus::SUCCESS, NodeStatus::FAILURE,
                   NodeStatus::SKIPPED}) {
        EXPECT_EQ(quorvel::parseStatus(quorvel::toString(s)), s);
    }
    EXPECT_FALSE(quorvel::parseStatus("success").has_value());
}
