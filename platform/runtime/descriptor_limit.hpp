#pragma once
// The process's limit on open descriptors. Every connection a server holds costs one, and the soft limit
// (often 1,024) is far below what the system allows (the hard limit): a server raises it at start-up,
// so that a crowd of idle connections does not exhaust it long before the machine would.
#include <cstdint>

namespace tavlo {

struct DescriptorLimit {
  uint64_t soft = 0;
  uint64_t hard = 0;
};

// The limits in force now (zeros when they cannot be read).
DescriptorLimit currentDescriptorLimit();

// Raises the soft limit to the hard one and returns the limits now in force.
DescriptorLimit raiseDescriptorLimit();

}  // namespace tavlo
