#include "platform/runtime/freed_memory.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tavlo {

void releaseFreedMemory() {
#if defined(__GLIBC__)
  (void)::malloc_trim(0);
#endif
}

}  // namespace tavlo
