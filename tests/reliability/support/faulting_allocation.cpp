#include "faulting_allocation.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> armed{false};
int* volatile nowhere = nullptr;

// The store through null is the point: the undefined-behaviour checker must
// let the hardware fault happen.
__attribute__((no_sanitize("undefined"))) void* allocate(std::size_t size) noexcept {
    if (armed.load()) *nowhere = 1;
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate_or_throw(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}

} // namespace

namespace calltrail_test {

void fault_on_allocation() noexcept { armed.store(true); }

} // namespace calltrail_test

// Every form, so that no allocation is left to a sanitizer's own operators,
// whose blocks must not reach free().
void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
