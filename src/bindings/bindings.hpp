#pragma once

#include <nanobind/nanobind.h>

namespace quorvel::py {

namespace nb = nanobind;

void bindCore(nb::module_& m);             // NodeStatus, TreeNode, BehaviorTreeFactory
void bindControlNodes(nb::module_& m);     // ControlTreeNode, ChildNode: Python control nodes
void bindSequentialEngine(nb::module_& m); // SequentialEngine
void bindChannel(nb::module_& m);          // ThreadCondition: the thread engine's channel

}  // namespace quorvel::py
