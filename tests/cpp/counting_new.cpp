#include "counting_new.hpp"

#include <cstdlib>
#include <new>

namespace counting_new {
std::atomic<bool> enabled{false};
std::atomic<int> allocations{0};
}  // namespace counting_new

void* operator new(std::size_t size) {
    if (counting_new::enabled) {
        ++counting_new::allocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
