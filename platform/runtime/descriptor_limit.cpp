#include "platform/runtime/descriptor_limit.hpp"

#include <sys/resource.h>

namespace tavlo {

DescriptorLimit currentDescriptorLimit() {
  struct rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {};
  return {static_cast<uint64_t>(limit.rlim_cur), static_cast<uint64_t>(limit.rlim_max)};
}

DescriptorLimit raiseDescriptorLimit() {
  struct rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {};
  if (limit.rlim_cur != limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return {static_cast<uint64_t>(limit.rlim_cur), static_cast<uint64_t>(limit.rlim_max)};
}

}  // namespace tavlo
