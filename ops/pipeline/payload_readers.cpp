#include "payload_readers.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;

namespace mirlow {

std::vector<double> to_double_list(const py::handle& value) {
    if (!value || value.is_none()) {
        return {};
    }
    // Only conversion errors are soft: a Python error met on the way
    // (error_already_set) is not a cast_error and passes out.
    try {
        return value.cast<std::vector<double>>();
    } catch (const py::cast_error&) {
    }
    try {
        return {value.cast<double>()};
    } catch (const py::cast_error&) {
    }
    return {};
}

std::vector<double> values_from_payload(py::dict payload, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (payload.contains(key)) {
            py::object value = payload[key];
            return to_double_list(value);
        }
    }
    return {};
}

}  // namespace mirlow
