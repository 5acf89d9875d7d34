#pragma once
// Hands memory the program has freed back to the system. The allocator keeps freed pages for reuse;
// after a burst of short-lived allocations (a session's traffic, junk a peer sent at it) that can be
// most of the resident set of a host that now idles. Call it when a burst has ended, not on a hot path:
// it walks every arena.
namespace tavlo {

void releaseFreedMemory();

}  // namespace tavlo
