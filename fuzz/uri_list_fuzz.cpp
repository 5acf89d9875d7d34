// Any bytes as another program's text/uri-list, and any bytes as a received file's name: every file
// parsed is absolute and NUL-free and formats back to itself; every name is one harmless component.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/controller/clip_paste_name.hpp"
#include "platform/pasteboard/uri_list.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto files = tavlo::parseFileUriList(input);
  for (const auto& file : files) {
    const std::string path = file.string();
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) std::abort();
  }
  if (tavlo::parseFileUriList(tavlo::formatFileUriList(files)) != files) std::abort();

  const std::string name = tavlo::clipPasteFileName(input);
  if (name.empty() || name.size() > tavlo::clipFileNameMaxBytes || name.find('/') != std::string::npos ||
      name == "." || name == ".." || !tavlo::isValidUtf8(name)) {
    std::abort();
  }
  return 0;
}
