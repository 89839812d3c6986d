// _mirlow: registers the general signal ops with the host on import.
#include <pybind11/pybind11.h>

#include "ops.hpp"
#include "register_ops.hpp"

PYBIND11_MODULE(_mirlow, m) {
    m.doc() = "C++ ravelin ops for norvane (register_cpp_op via capsule)";

    // The host keeps this order; the names are literals, valid for the process's life.
    norvane::register_ops({
        {"fifo_window_buffer", &mirlow::fifo_window_buffer_op},
        {"average", &mirlow::average_op},
        {"csv_sink", &mirlow::csv_sink_op},
    });
}
