#pragma once
// The bytes the process holds on its heap now, so that a test can bound what a hostile input makes a
// component keep. Counted by the sanitizer's allocator in sanitizer builds and by glibc otherwise;
// every thread's allocations are included, so a test measures a difference around work it controls.
#include <cstddef>

namespace tavlo::testkit {

size_t heapBytesInUse();

}  // namespace tavlo::testkit
