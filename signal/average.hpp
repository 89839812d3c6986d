// Means of four kinds with their standard error, and a plain vector sum.
#pragma once

#include <string>
#include <vector>

namespace norvane {

struct AverageResult {
    double mean;
    double standard_error;
};

// method (compared lower-cased): "weighted", "harmonic", "geometric"; any
// other name gives the arithmetic mean. weights may be null; they are used
// only for "weighted" and only when their length matches values.
// Throws std::invalid_argument for "geometric" over a value <= 0.
AverageResult average(const std::vector<double>& values, const std::string& method,
                      const std::vector<double>* weights);

// Plain in-order sum, no compensation: results are reproducible only in this order.
double vector_sum(const std::vector<double>& values);

}  // namespace norvane
