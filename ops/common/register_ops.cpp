#include "register_ops.hpp"

#include <stdexcept>

namespace py = pybind11;

namespace norvane {

void register_ops(std::initializer_list<OpRegistration> ops) {
    pipeline::RegisterOpFunction register_op = nullptr;
    {
        py::module_ host = py::module_::import("ravelin");
        py::object capsule = host.attr("_register_op_capsule");
        register_op = reinterpret_cast<pipeline::RegisterOpFunction>(
            PyCapsule_GetPointer(capsule.ptr(), "ravelin.register_op_v1"));
        if (register_op == nullptr) {
            PyErr_Clear();
            throw std::runtime_error("Failed to obtain register_op_c_api from ravelin capsule");
        }
        // The references to the capsule and the host module end here.
    }
    for (const OpRegistration& entry : ops) {
        register_op(entry.name, entry.op);
    }
}

}  // namespace norvane
