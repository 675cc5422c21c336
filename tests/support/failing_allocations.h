// Memory that runs out: while a FailingAllocations lives, operator new (and
// so every standard container) throws std::bad_alloc, while new (std::nothrow)
// still works. Its .cpp replaces the global operator new, in the one test
// program that links it.
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
