// norvane::average against an in-order sum (the floor: the order of
// summation is fixed, so one dependent add per element is the least any
// mean needs), and the FIFO window store against a plain copy of a window.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "average.hpp"
#include "fifo.hpp"

namespace {

std::vector<double> random_values(std::size_t n) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> dist(6.0, 8.0);
    std::vector<double> values(n);
    for (double& v : values) {
        v = dist(rng);
    }
    return values;
}

void in_order_sum(benchmark::State& state) {
    const auto values = random_values(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        double sum = 0.0;
        for (double x : values) {
            sum += x;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void average(benchmark::State& state, const char* method) {
    const auto values = random_values(static_cast<std::size_t>(state.range(0)));
    const std::string name = method;
    for (auto _ : state) {
        auto result = norvane::average(values, name, nullptr);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void weighted_average(benchmark::State& state) {
    const auto values = random_values(static_cast<std::size_t>(state.range(0)));
    const std::vector<double> weights(values.size(), 1.0);
    const std::string name = "weighted";
    for (auto _ : state) {
        auto result = norvane::average(values, name, &weights);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A steady stream: chunk samples in, window size kept. Floor: copying a
// window of the same length into a new vector (what the call returns).
void fifo_window(benchmark::State& state) {
    const auto window = static_cast<std::size_t>(state.range(0));
    const auto chunk = random_values(static_cast<std::size_t>(state.range(1)));
    const std::string id = "bench-" + std::to_string(window) + "-" + std::to_string(chunk.size());
    norvane::reset_fifo(id);
    for (std::size_t filled = 0; filled < window; filled += chunk.size()) {
        norvane::fifo_window_buffer(chunk, window, id);
    }
    for (auto _ : state) {
        auto out = norvane::fifo_window_buffer(chunk, window, id);
        benchmark::DoNotOptimize(out.data());
    }
    norvane::reset_fifo(id);
}

void window_copy(benchmark::State& state) {
    const auto buffer = random_values(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<double> out(buffer.begin(), buffer.end());
        benchmark::DoNotOptimize(out.data());
    }
}

void sizes(benchmark::internal::Benchmark* b) {
    for (long n = 1000; n <= 10000000; n *= 10) {
        b->Arg(n);
    }
}

void fifo_sizes(benchmark::internal::Benchmark* b) {
    for (long window : {1000L, 100000L}) {
        for (long chunk : {1L, 100L}) {
            b->Args({window, chunk});
        }
    }
}

}  // namespace

BENCHMARK(in_order_sum)->Apply(sizes);
BENCHMARK_CAPTURE(average, arithmetic, "arithmetic")->Apply(sizes);
BENCHMARK_CAPTURE(average, harmonic, "harmonic")->Apply(sizes);
BENCHMARK_CAPTURE(average, geometric, "geometric")->Apply(sizes);
BENCHMARK(weighted_average)->Apply(sizes);
BENCHMARK(fifo_window)->Apply(fifo_sizes);
BENCHMARK(window_copy)->Arg(1000)->Arg(100000);

BENCHMARK_MAIN();
