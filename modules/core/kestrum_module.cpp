// _kestrum: the signal algorithms of libkestrum, callable from Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "average.hpp"
#include "fifo.hpp"
// Before any conversion of std::vector<double> in this module: the fast path
// for lists of floats.
#include "number_list_caster.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_kestrum, m) {
    m.doc() = "Norvane algorithms (FIFO, average, vector sum)";

    // No py::arg: the parameter is positional-only and has no keyword name.
    m.def("vector_sum", &norvane::vector_sum, "Sum of a vector of doubles");

    m.def("fifo_window_buffer", &norvane::fifo_window_buffer, py::arg("new_samples"), py::arg("window_size"),
          py::arg("fifo_id") = "default", "Update FIFO window and return current buffer");

    // Registered before average() so that its signature names the result type.
    py::class_<norvane::AverageResult>(m, "AverageResult")
        .def_readonly("mean", &norvane::AverageResult::mean)
        .def_readonly("standard_error", &norvane::AverageResult::standard_error);

    m.def(
        "average",
        [](const std::vector<double>& values, const std::string& method,
           const std::optional<std::vector<double>>& weights) {
            return norvane::average(values, method, weights ? &*weights : nullptr);
        },
        py::arg("values"), py::arg("method") = "arithmetic", py::arg("weights") = py::none(),
        "Compute mean and standard error for a vector of values");

    m.def("reset_fifo", &norvane::reset_fifo, py::arg("fifo_id"), "Reset a single FIFO buffer");
    m.def("reset_all_fifos", &norvane::reset_all_fifos, "Reset all FIFO buffers");
}
