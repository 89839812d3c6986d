// "fifo_window_buffer": appends a chunk of samples to a FIFO kept between
// calls and hands its newest contents on under "window".
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "fifo.hpp"
#include "ops.hpp"
#include "payload_readers.hpp"

namespace py = pybind11;

namespace {

// A bad size is no error: it counts as 0 (no bound). Only the first size key
// present is read, so a bad "windowSize" does not fall back to "window_size".
std::size_t window_size_from(const py::dict& payload) {
    const char* key = payload.contains("windowSize")    ? "windowSize"
                      : payload.contains("window_size") ? "window_size"
                                                        : nullptr;
    if (key == nullptr) {
        return 0;
    }
    py::object value = payload[key];  // a Python error here is not soft
    int size = 0;
    try {
        size = value.cast<int>();
    } catch (const py::cast_error&) {
        size = 0;
    }
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

}  // namespace

namespace mirlow {

void fifo_window_buffer_op(pipeline::Data& data) {
    py::dict payload = data.payload;

    // Everything is read before the store is touched, so a failed read
    // leaves the FIFO as it was.
    std::vector<double> samples = values_from_payload(payload, {"sampleChunk", "values", "data"});
    std::size_t window_size = window_size_from(payload);
    std::string fifo_id = "default";
    if (payload.contains("fifoId")) {
        fifo_id = payload["fifoId"].cast<std::string>();
    }

    std::vector<double> window = norvane::fifo_window_buffer(samples, window_size, fifo_id);
    payload["window"] = py::cast(window);
}

}  // namespace mirlow
