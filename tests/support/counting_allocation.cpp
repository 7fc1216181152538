#include "support/counting_allocation.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> allocated{0};
std::atomic<std::size_t> deallocated{0};

void* allocate(std::size_t size) {
    allocated.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void deallocate(void* p) noexcept {
    if (!p) return;
    deallocated.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}

} // namespace

namespace calltrail_test {

std::size_t allocations() noexcept { return allocated.load(std::memory_order_relaxed); }
std::size_t deallocations() noexcept { return deallocated.load(std::memory_order_relaxed); }

} // namespace calltrail_test

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
// The standard library's temporary buffers come from the nothrow forms and go
// back through plain delete, so both must be ours.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }
