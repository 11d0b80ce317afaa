#pragma once

// Control and decorator nodes written in Python (quorvel.nodes.control_node): the engine's
// DelegatedNode with a behaviour that calls an instance of the Python class, the handle
// that instance receives (a TreeNode with `children` / `child`), and registration.

#include <nanobind/nanobind.h>

#include "py_node.hpp"
#include "quorvel/factory.hpp"

namespace quorvel::py {

namespace nb = nanobind;

void bindControlNodes(nb::module_& m);

// Registers any node class: a ControlNode or DecoratorNode subclass as a control or
// decorator, anything else as registerPythonNodeClass does. The returned type carries the
// class (as its `tick`) for the registering object's garbage-collector support; clearing it
// makes later loads of the type fail instead of using a half-destroyed class.
PyActionTypePtr registerNodeClass(BehaviorTreeFactory& factory, nb::handle cls, nb::handle id);

// For the owner of a tree (GIL held): the Python objects a node of a Python control or
// decorator type holds (its instance and handle), for the garbage collector; 0 for any other
// node.
int traverseControlNode(const TreeNode& node, visitproc visit, void* arg);

}  // namespace quorvel::py
