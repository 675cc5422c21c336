// Memory that runs out, for a test: while a FailingAllocations lives, every
// allocation that reports failure by throwing (operator new, and so the
// standard containers) throws std::bad_alloc; those that report it by a null
// pointer (new (std::nothrow)) still work. The program that includes this
// header links tests/support/failing_allocations.cpp, which replaces the
// global operator new.
#pragma once

namespace kotar::test {

class FailingAllocations {
public:
    FailingAllocations();
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace kotar::test
