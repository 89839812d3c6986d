// "average": the mean and standard error of a payload's samples, written at
// the top level and in a "stats" dict.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "average.hpp"
#include "ops.hpp"
#include "payload_readers.hpp"

namespace py = pybind11;

namespace mirlow {

void average_op(pipeline::Data& data) {
    py::dict payload = data.payload;

    // "window" first, so that after the FIFO window op the current window is averaged.
    std::vector<double> samples = values_from_payload(payload, {"window", "values"});
    if (samples.empty() && payload.contains("data")) {
        py::object value = payload["data"];
        samples = to_double_list(value);
    }

    std::string method = "arithmetic";
    if (payload.contains("averageMethod")) {
        method = payload["averageMethod"].cast<std::string>();
    } else if (payload.contains("mode")) {
        method = payload["mode"].cast<std::string>();
    }

    // No weights: "weighted" falls back to the arithmetic mean.
    const norvane::AverageResult result = norvane::average(samples, method, nullptr);

    py::dict stats;
    stats["mean"] = result.mean;
    stats["se"] = result.standard_error;
    stats["standardError"] = result.standard_error;

    // Replaced as a whole: keys of an earlier "stats" must not linger beside new values.
    payload["stats"] = stats;
    payload["mean"] = result.mean;
    payload["se"] = result.standard_error;
    payload["standardError"] = result.standard_error;
}

}  // namespace mirlow
