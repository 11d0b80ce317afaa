#include "bindings.hpp"

namespace quorvel::py {

void bindCore(nb::module_&) {}

}  // namespace quorvel::py
