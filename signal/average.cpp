#include "average.hpp"

#include <cctype>
#include <cmath>
#include <stdexcept>

namespace norvane {
namespace {

double arithmetic_mean(const std::vector<double>& values, double n) {
    return vector_sum(values) / n;
}

}  // namespace

AverageResult average(const std::vector<double>& values, const std::string& method,
                      const std::vector<double>* weights) {
    if (values.empty()) {
        return {0.0, 0.0};
    }
    std::string name = method;
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const double n = static_cast<double>(values.size());

    double mean;
    if (name == "weighted" && weights != nullptr && weights->size() == values.size()) {
        double total = 0.0;
        for (double w : *weights) {
            total += w;
        }
        if (total == 0.0) {
            mean = 0.0;
        } else {
            double products = 0.0;
            for (std::size_t i = 0; i < values.size(); ++i) {
                products += values[i] * (*weights)[i];
            }
            mean = products / total;
        }
    } else if (name == "harmonic") {
        double reciprocals = 0.0;
        for (double x : values) {
            if (x != 0.0) {
                reciprocals += 1.0 / x;
            }
        }
        mean = reciprocals == 0.0 ? 0.0 : n / reciprocals;
    } else if (name == "geometric") {
        double logs = 0.0;
        for (double x : values) {
            if (x <= 0.0) {
                throw std::invalid_argument("geometric mean is only defined for positive values");
            }
            logs += std::log(x);
        }
        mean = std::exp(logs / n);
    } else {
        mean = arithmetic_mean(values, n);
    }

    double squares = 0.0;
    for (double x : values) {
        const double d = x - mean;
        squares += d * d;
    }
    return {mean, std::sqrt(squares / n / n)};
}

double vector_sum(const std::vector<double>& values) {
    double sum = 0.0;
    for (double x : values) {
        sum += x;
    }
    return sum;
}

}  // namespace norvane
