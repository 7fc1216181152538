#include "faulting_allocation.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> armed{false};
int* volatile nowhere = nullptr;

} // namespace

namespace calltrail_test {

void fault_on_allocation() noexcept { armed.store(true); }

} // namespace calltrail_test

// The store through null is the point: the undefined-behaviour checker must
// let the hardware fault happen.
__attribute__((no_sanitize("undefined"))) void* operator new(std::size_t size) {
    if (armed.load()) *nowhere = 1;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
