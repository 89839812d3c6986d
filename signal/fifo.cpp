#include "fifo.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace norvane {
namespace {

std::unordered_map<std::string, std::vector<double>> g_fifo_store;
std::mutex g_mutex;

}  // namespace

std::vector<double> fifo_window_buffer(const std::vector<double>& new_samples, std::size_t window_size,
                                       const std::string& fifo_id) {
    std::lock_guard<std::mutex> guard(g_mutex);
    std::vector<double>& buffer = g_fifo_store[fifo_id];
    buffer.insert(buffer.end(), new_samples.begin(), new_samples.end());
    if (window_size != 0 && buffer.size() > window_size) {
        // One block move of the retained tail; resize() down keeps the
        // capacity, so a steady stream stops reallocating.
        const auto drop = static_cast<std::ptrdiff_t>(buffer.size() - window_size);
        std::copy(buffer.begin() + drop, buffer.end(), buffer.begin());
        buffer.resize(window_size);
    }
    // Exactly one allocation for a non-empty copy, none for an empty one.
    return std::vector<double>(buffer.begin(), buffer.end());
}

void reset_fifo(const std::string& fifo_id) {
    std::lock_guard<std::mutex> guard(g_mutex);
    auto it = g_fifo_store.find(fifo_id);
    if (it != g_fifo_store.end()) {
        g_fifo_store.erase(it);
    }
}

void reset_all_fifos() {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (!g_fifo_store.empty()) {
        g_fifo_store.clear();
    }
}

}  // namespace norvane
