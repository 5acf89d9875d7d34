#pragma once
// Names of the shared-memory objects the host and the device daemons meet at. POSIX shared memory has one
// namespace for the whole machine, so a fixed name could be taken first by another local user; the
// effective uid in the name gives every user their own object (the owner check on mapping refuses the rest).
#include <unistd.h>

#include <string>
#include <string_view>

namespace tavlo {

inline std::string perUserShmName(std::string_view base, uid_t uid = ::geteuid()) {
  return std::string(base) + "-" + std::to_string(uid);
}

}  // namespace tavlo
