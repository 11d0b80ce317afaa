#include "bindings.hpp"

namespace quorvel::py {

void bindThreadEngine(nb::module_&) {}

}  // namespace quorvel::py
