#include "py_log.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace quorvel::py {

namespace nb = nanobind;

void logLoadWarnings(BehaviorTreeFactory& factory) {
    std::vector<std::string> warnings = factory.takeWarnings();
    if (warnings.empty()) return;
    nb::object warn = nb::module_::import_("quorvel._log").attr("warning");
    for (const std::string& text : warnings) warn(text);
}

}  // namespace quorvel::py
