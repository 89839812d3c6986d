// Sliding FIFO windows kept per id, process-wide within one module image.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace norvane {

// Appends new_samples to the buffer of fifo_id (created empty when new),
// keeps only the newest window_size values (0: no bound) and returns a copy.
std::vector<double> fifo_window_buffer(const std::vector<double>& new_samples, std::size_t window_size,
                                       const std::string& fifo_id);

// Drops the buffer of one id; an unknown id is no error.
void reset_fifo(const std::string& fifo_id);

// Drops every buffer.
void reset_all_fifos();

}  // namespace norvane
