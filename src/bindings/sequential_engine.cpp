#include "bindings.hpp"

namespace quorvel::py {

void bindSequentialEngine(nb::module_&) {}

}  // namespace quorvel::py
