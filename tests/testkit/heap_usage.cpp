#include "tests/testkit/heap_usage.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAVLO_SANITIZER_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVLO_SANITIZER_HEAP 1
#endif

#ifdef TAVLO_SANITIZER_HEAP
// Exported by every sanitizer runtime (GCC ships no header declaring it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace tavlo::testkit {

size_t heapBytesInUse() {
#ifdef TAVLO_SANITIZER_HEAP
  // The sanitizers replace malloc; glibc's own counters would see none of it.
  return __sanitizer_get_current_allocated_bytes();
#else
  struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;  // in use in the arenas, and in blocks mapped on their own
#endif
}

}  // namespace tavlo::testkit
