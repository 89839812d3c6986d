// A global operator new that counts allocations while counting is switched on.
#pragma once

#include <atomic>

namespace counting_new {
extern std::atomic<bool> enabled;
extern std::atomic<int> allocations;
}  // namespace counting_new
