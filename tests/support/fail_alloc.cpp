#include "support/fail_alloc.h"

#include <cstdlib>
#include <new>

namespace {

std::size_t failSize = 0;
int failCount = 0;

void* Allocate(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void* AllocateOrThrow(std::size_t size) {
    void* p = Allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* AllocateNothrow(std::size_t size) {
    if (failCount > 0 && size == failSize) {
        failCount--;
        return nullptr;
    }
    return Allocate(size);
}

}  // namespace

void FailNothrowAllocations(std::size_t size, int count) {
    failSize = size;
    failCount = count;
}

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateNothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateNothrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
