#include "failing_allocation.hpp"

#include <dlfcn.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<std::size_t> numbered{0};
std::atomic<std::size_t> armed{0};
std::atomic<bool> failed{false};
std::atomic<long> live{0};
std::atomic<std::size_t> bytes{0};
std::atomic<std::size_t> peak{0};
thread_local int shield_depth = 0;

void held(void* p) noexcept {
    const std::size_t now = bytes.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    std::size_t highest = peak.load();
    while (now > highest && !peak.compare_exchange_weak(highest, now)) {}
}

// Numbers an allocation; true when it is the one to fail.
bool fails_now() noexcept {
    if (!counting.load() || shield_depth != 0 || numbered.fetch_add(1) + 1 != armed.load()) return false;
    failed.store(true);
    return true;
}

void* allocate(std::size_t size, std::size_t alignment) {
    if (fails_now()) throw std::bad_alloc();
    if (size == 0) size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else {
        size = (size + alignment - 1) / alignment * alignment;
        p = std::aligned_alloc(alignment, size);
    }
    if (p == nullptr) throw std::bad_alloc();
    live.fetch_add(1);
    held(p);
    return p;
}

void deallocate(void* p) noexcept {
    if (p == nullptr) return;
    live.fetch_sub(1);
    bytes.fetch_sub(malloc_usable_size(p));
    std::free(p);
}

} // namespace

namespace calltrail_test {

void start_counting(std::size_t fail_at) noexcept {
    numbered.store(0);
    failed.store(false);
    armed.store(fail_at);
    counting.store(true);
}

std::size_t stop_counting() noexcept {
    counting.store(false);
    armed.store(0);
    return numbered.load();
}

bool injected() noexcept { return failed.load(); }

std::size_t live_allocations() noexcept { return static_cast<std::size_t>(live.load()); }

std::size_t live_bytes() noexcept { return bytes.load(); }

void start_peak() noexcept { peak.store(bytes.load()); }

std::size_t peak_bytes() noexcept { return peak.load(); }

void enter_shield() noexcept { ++shield_depth; }
void leave_shield() noexcept { --shield_depth; }

} // namespace calltrail_test

constexpr std::size_t plain = alignof(std::max_align_t);

void* operator new(std::size_t size) { return allocate(size, plain); }
void* operator new[](std::size_t size) { return allocate(size, plain); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size, plain);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size, plain);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }

// The demangler allocates with malloc, out of reach of the operators above: a
// call to it is numbered as one allocation, and fails as it does when malloc
// fails.
extern "C" char* __cxa_demangle(const char* mangled, char* buffer, std::size_t* length, int* status) {
    if (fails_now()) {
        if (status != nullptr) *status = -1;
        return nullptr;
    }
    using demangler = char* (*)(const char*, char*, std::size_t*, int*);
    static const auto real = reinterpret_cast<demangler>(dlsym(RTLD_NEXT, "__cxa_demangle"));
    return real(mangled, buffer, length, status);
}
