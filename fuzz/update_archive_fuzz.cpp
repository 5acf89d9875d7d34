// Any bytes as an update archive: every accepted entry must be a safe relative path whose data lies
// inside the input, and a refusal says why in plain text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/update/update_archive.hpp"

namespace {

bool safe(std::string_view path) {
  if (path.empty() || path.front() == '/') return false;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto archive = tavlo::readUpdateArchive(tavlo::ByteView(data, size), error);
  if (!archive) {
    // The error goes to the log: no control character of the input may reach it.
    for (char c : error) {
      if (static_cast<unsigned char>(c) < 0x20) std::abort();
    }
    return 0;
  }
  for (const auto& entry : archive->entries) {
    if (!safe(entry.path)) std::abort();
    if (!entry.data.empty() && (entry.data.data() < data || entry.data.data() + entry.data.size() > data + size)) {
      std::abort();
    }
  }
  return 0;
}
