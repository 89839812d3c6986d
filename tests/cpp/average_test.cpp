#include "average.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <stdexcept>

namespace {

using Samples = std::vector<double>;

struct AverageCase {
    const char* name;
    Samples values;
    std::string method;
    std::optional<Samples> weights;
    double mean;
    double standard_error;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const AverageCase& c, std::ostream* os) { *os << c.name; }

class average_cases : public testing::TestWithParam<AverageCase> {};

TEST_P(average_cases, gives_mean_and_standard_error) {
    const AverageCase& c = GetParam();
    const norvane::AverageResult r = norvane::average(c.values, c.method, c.weights ? &*c.weights : nullptr);
    EXPECT_DOUBLE_EQ(r.mean, c.mean);
    EXPECT_DOUBLE_EQ(r.standard_error, c.standard_error);
}

INSTANTIATE_TEST_SUITE_P(
    cases, average_cases,
    testing::Values(
        AverageCase{"empty_arithmetic", {}, "arithmetic", std::nullopt, 0.0, 0.0},
        AverageCase{"empty_geometric_never_throws", {}, "geometric", Samples{1}, 0.0, 0.0},
        AverageCase{"one_value", {4.5}, "arithmetic", std::nullopt, 4.5, 0.0},
        AverageCase{"arithmetic", {1, 2, 3, 4}, "arithmetic", std::nullopt, 2.5, std::sqrt(5.0 / 16)},
        AverageCase{"unknown_name_is_arithmetic", {1, 2, 3, 4}, "median", std::nullopt, 2.5, std::sqrt(5.0 / 16)},
        AverageCase{"empty_name_is_arithmetic", {1, 2, 3, 4}, "", std::nullopt, 2.5, std::sqrt(5.0 / 16)},
        AverageCase{"capitalised_arithmetic", {1, 2, 3, 4}, "Arithmetic", std::nullopt, 2.5, std::sqrt(5.0 / 16)},
        AverageCase{"padded_name_is_not_trimmed", {1, 2, 3}, " harmonic", std::nullopt, 2.0, std::sqrt(2.0 / 9)},
        AverageCase{"weighted_upper_case", {1, 2, 3}, "WEIGHTED", Samples{1, 1, 2}, 2.25, std::sqrt(35.0 / 144)},
        AverageCase{"weighted_without_weights", {1, 2, 3}, "weighted", std::nullopt, 2.0, std::sqrt(2.0 / 9)},
        AverageCase{"weighted_wrong_length", {1, 2, 3}, "weighted", Samples{1, 1}, 2.0, std::sqrt(2.0 / 9)},
        AverageCase{"weighted_zero_total", {1, 2, 3}, "weighted", Samples{1, -1, 0}, 0.0, std::sqrt(14.0 / 9)},
        AverageCase{"weights_ignored_for_arithmetic", {1, 2, 3}, "arithmetic", Samples{1, 1, 2}, 2.0,
                    std::sqrt(2.0 / 9)},
        AverageCase{"harmonic_skips_zero_but_counts_it", {0, 2, 2}, "harmonic", std::nullopt, 3.0,
                    std::sqrt(11.0 / 9)},
        AverageCase{"harmonic_all_zero", {0, 0}, "harmonic", std::nullopt, 0.0, 0.0},
        AverageCase{"harmonic_negative_zero_skipped", {-0.0, 2, 2}, "harmonic", std::nullopt, 3.0,
                    std::sqrt(11.0 / 9)},
        AverageCase{"harmonic_cancelling", {1, -1}, "harmonic", std::nullopt, 0.0, std::sqrt(0.5)},
        AverageCase{"geometric", {1, 4}, "geometric", std::nullopt, 2.0, std::sqrt(5.0 / 4)},
        AverageCase{"geometric_capital_g", {1, 4}, "Geometric", std::nullopt, 2.0, std::sqrt(5.0 / 4)}),
    [](const testing::TestParamInfo<AverageCase>& p) { return std::string(p.param.name); });

TEST(average, geometric_rejects_values_not_above_zero) {
    for (const Samples& values : {Samples{3, 0, 5}, Samples{2, -0.0}, Samples{1, -2}}) {
        try {
            norvane::average(values, "geometric", nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "geometric mean is only defined for positive values");
        }
    }
}

TEST(average, nan_passes_through) {
    const double nan = std::nan("");
    EXPECT_TRUE(std::isnan(norvane::average({1, nan}, "geometric", nullptr).mean));
    EXPECT_TRUE(std::isnan(norvane::average({nan, 2}, "harmonic", nullptr).mean));
    const Samples nan_weights{nan, 1};
    EXPECT_TRUE(std::isnan(norvane::average({1, 2}, "weighted", &nan_weights).mean));
}

TEST(vector_sum, adds_in_index_order_without_compensation) {
    EXPECT_EQ(norvane::vector_sum({1e16, 1.0, -1e16}), 0.0);
    EXPECT_EQ(norvane::vector_sum({}), 0.0);
    EXPECT_EQ(norvane::vector_sum({0.5, 0.25}), 0.75);
}

}  // namespace
