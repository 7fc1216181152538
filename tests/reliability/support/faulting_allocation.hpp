#ifndef CALLTRAIL_TESTS_RELIABILITY_FAULTING_ALLOCATION_HPP
#define CALLTRAIL_TESTS_RELIABILITY_FAULTING_ALLOCATION_HPP

// A program linking faulting_allocation.cpp replaces the global operator new
// and delete; once armed, every allocation stores through a null pointer,
// so that code which allocates, a crash handler's included, faults there.
namespace calltrail_test {

void fault_on_allocation() noexcept;

} // namespace calltrail_test

#endif
