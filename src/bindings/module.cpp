#include <nanobind/nanobind.h>

#include "bindings.hpp"

NB_MODULE(_native, m) {
    m.doc() = "The C++ core of Quorvel.";
    quorvel::py::bindCore(m);
    quorvel::py::bindSequentialEngine(m);
    quorvel::py::bindThreadEngine(m);
}
