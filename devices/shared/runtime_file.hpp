#pragma once
// Where the host and the device daemons meet: a file of the user's runtime directory, mapped by both
// (platform/runtime/shared_memory.hpp). Only the user can create files there, so no other account can
// take the name first; shared-memory names, by contrast, are one namespace for the whole machine.
#include <string>
#include <string_view>

#include "platform/runtime/private_files.hpp"

namespace tavlo {

// The path of `fileName` in the runtime directory; empty when the user has none (opening it fails).
inline std::string runtimeFilePath(std::string_view fileName) {
  auto dir = runtimeDirectory();
  return dir ? (dir->path / fileName).string() : std::string();
}

}  // namespace tavlo
