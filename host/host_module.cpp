// ravelin._host: the op table, the registration capsule and op calls.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "pipeline/data.hpp"

namespace py = pybind11;

namespace {

// Registration order is kept; a repeated name replaces the op in its place.
std::vector<std::pair<std::string, pipeline::OpFunction>> g_ops;

void register_op_c_api(const char* name, pipeline::OpFunction op) {
    for (auto& entry : g_ops) {
        if (entry.first == name) {
            entry.second = op;
            return;
        }
    }
    g_ops.emplace_back(name, op);
}

pipeline::OpFunction find_op(const std::string& name) {
    for (const auto& entry : g_ops) {
        if (entry.first == name) {
            return entry.second;
        }
    }
    throw py::key_error(name);
}

}  // namespace

PYBIND11_MODULE(_host, m) {
    m.doc() = "Op table of the ravelin stand-in";

    m.attr("_register_op_capsule") =
        py::capsule(reinterpret_cast<void*>(&register_op_c_api), "ravelin.register_op_v1");

    m.def(
        "registered_ops",
        [] {
            std::vector<std::string> names;
            names.reserve(g_ops.size());
            for (const auto& entry : g_ops) {
                names.push_back(entry.first);
            }
            return names;
        },
        "The registered op names, in registration order");

    // Exceptions thrown by the op go through pybind11's standard translation.
    m.def(
        "run_op",
        [](const std::string& name, py::dict payload) {
            pipeline::OpFunction op = find_op(name);
            pipeline::Data data{std::move(payload)};
            op(data);
            return data.payload;
        },
        py::arg("name"), py::arg("payload"), "Run one op on the payload dict, in place, and return it");
}
