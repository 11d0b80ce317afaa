#include <nanobind/nanobind.h>

#include "bindings.hpp"
#include "quorvel/limits.hpp"

NB_MODULE(_native, m) {
    m.doc() = "The C++ core of Quorvel.";
    // Trees still running on daemon threads at exit keep their objects alive on purpose;
    // nanobind's leak report would only alarm users about that.
    nanobind::set_leak_warnings(false);
    quorvel::py::bindCore(m);
    quorvel::py::bindControlNodes(m);
    quorvel::py::bindSequentialEngine(m);
    quorvel::py::bindChannel(m);
    // For Python code that reads documents itself (ThreadEngine.create_tree_from_file).
    m.attr("MAX_DOCUMENT_BYTES") = quorvel::limits::kMaxDocumentBytes;
}
