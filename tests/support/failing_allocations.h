// Memory that runs out: while a FailingAllocations lives, operator new (and
// so every standard container) throws std::bad_alloc, after the first
// `allowed` allocations, from any thread, while new (std::nothrow) still
// works. Its .cpp replaces the global operator new, in the one test
// program that links it.
#pragma once

namespace kotar::test {

class FailingAllocations {
public:
    explicit FailingAllocations(long allowed = 0);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace kotar::test
