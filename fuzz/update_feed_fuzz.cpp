// Any bytes as an update feed: accepted feeds are complete, and a refusal says why in plain text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/update/update_feed.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto feed = tavlo::parseUpdateFeed(std::string_view(reinterpret_cast<const char*>(data), size), error);
  if (feed && (feed->url.empty() || feed->build.empty() || size > tavlo::UpdateFeed::maxBytes)) std::abort();
  if (!feed && error.empty()) std::abort();
  // The error goes to the log: no control character of the input may reach it.
  for (char c : error) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) std::abort();
  }
  return 0;
}
