#ifndef CALLTRAIL_TESTS_RELIABILITY_FAILING_ALLOCATION_HPP
#define CALLTRAIL_TESTS_RELIABILITY_FAILING_ALLOCATION_HPP

#include <cstddef>

// A program linking failing_allocation.cpp replaces the global operator new
// and delete, and the demangler. While counting, every allocation made
// outside a shielded region is numbered from 1 (a call to the demangler
// counts as one), and the one whose number was armed throws std::bad_alloc
// instead of allocating (the demangler answers as when malloc fails).
// Nothing fails unless armed.
namespace calltrail_test {

// Starts numbering from 1 again; fail_at 0 fails nothing.
void start_counting(std::size_t fail_at = 0) noexcept;
// Stops numbering and failing; returns how many allocations were numbered.
std::size_t stop_counting() noexcept;
// Whether the armed allocation was reached and failed.
bool injected() noexcept;

// Allocations and releases over the program's life, numbered or not.
std::size_t live_allocations() noexcept;

// Bytes held in allocations now, and the most held at once since the last
// start_peak().
std::size_t live_bytes() noexcept;
void start_peak() noexcept;
std::size_t peak_bytes() noexcept;

// Code whose allocations must never fail (a test's own fakes) runs shielded;
// shields nest, per thread.
void enter_shield() noexcept;
void leave_shield() noexcept;

class allocation_shield {
public:
    allocation_shield() noexcept { enter_shield(); }
    ~allocation_shield() { leave_shield(); }
    allocation_shield(const allocation_shield&) = delete;
    allocation_shield& operator=(const allocation_shield&) = delete;
};

} // namespace calltrail_test

#endif
