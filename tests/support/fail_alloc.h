// Makes chosen allocations of the program fail, to drive the paths on which
// the engine meets an allocation that cannot be had. The test binary
// replaces the global operator new and delete (all forms) with malloc and
// free, and can make the nothrow forms return null.
#pragma once

#include <cstddef>

// The next `count` nothrow allocations of exactly `size` bytes return null;
// 0 disarms.
void FailNothrowAllocations(std::size_t size, int count = 1);
