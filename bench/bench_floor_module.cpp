// Floors for the Python-facing calls: the least a C++ function called from
// Python must do to hand back what the op or binding hands back.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

#include "number_list_caster.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_bench_floor, m) {
    // Takes a chunk as the FIFO window call does and returns a list of n new
    // float objects, as it does; keeps nothing.
    m.def("new_float_list", [](const std::vector<double>& chunk, std::size_t n) {
        py::list out(n);
        for (std::size_t i = 0; i < n; ++i) {
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(chunk.empty() ? 0.0 : chunk[0]));
        }
        return out;
    });
}
