// The program's operator new and delete, on the C runtime's malloc and free.
//
// The library's own operators report a failed allocation by throwing
// std::bad_alloc, and linking them statically drags in the whole exception
// machinery of libstdc++ and libgcc (some 100 KiB), although the program is
// built without exceptions. These replacements behave as the library's
// operators do in a program without exceptions: the nothrow forms return
// null, the others end the process as an uncaught bad_alloc would (abort).
#include <cstdlib>
#include <new>

namespace {

void* Allocate(std::size_t size) { return std::malloc(size != 0 ? size : 1); }

void* AllocateOrAbort(std::size_t size) {
    void* block = Allocate(size);
    if (block == nullptr) std::abort();
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrAbort(size); }
void* operator new[](std::size_t size) { return AllocateOrAbort(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
