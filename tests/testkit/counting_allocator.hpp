#pragma once
// Counts the heap allocations made through operator new on the calling thread, so that a test or a
// benchmark can prove a hot path allocates nothing per call. A program that compiles
// counting_allocator.cpp in (the bench program, the control tests) gets counting global allocation
// functions; in any other program the count is not available (the symbol is missing).
#include <cstdint>

namespace tavlo::testkit {

uint64_t allocationsOnThisThread();

}  // namespace tavlo::testkit
