#ifndef CALLTRAIL_TESTS_COUNTING_ALLOCATION_HPP
#define CALLTRAIL_TESTS_COUNTING_ALLOCATION_HPP

#include <cstddef>

// A program linking counting_allocation.cpp replaces the global operator new
// and delete with versions that count every call, from any thread.
namespace calltrail_test {

std::size_t allocations() noexcept;
std::size_t deallocations() noexcept;

} // namespace calltrail_test

#endif
