#include "tests/support/failing_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> failing{false};
std::atomic<long> allowedLeft{0};  // while failing

void* allocate(std::size_t size) noexcept { return std::malloc(size == 0 ? 1 : size); }

}  // namespace

namespace kotar::test {

FailingAllocations::FailingAllocations(long allowed) {
    allowedLeft = allowed;
    failing = true;
}
FailingAllocations::~FailingAllocations() { failing = false; }

}  // namespace kotar::test

void* operator new(std::size_t size) {
    void* memory = failing && allowedLeft.fetch_sub(1) <= 0 ? nullptr : allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
