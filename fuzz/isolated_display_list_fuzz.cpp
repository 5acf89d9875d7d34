// Any bytes as the stored list of isolated displays (a settings file someone edited): reading it gives
// display ids only, each once, and never throws.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "host/desktop/isolated_display_list.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto value = tavlo::JsonValue::parse(data, data + size, nullptr, false);
  if (value.is_discarded()) return 0;
  tavlo::Settings settings;
  settings.set(tavlo::kIsolatedDisplayIDsKey, std::move(value));
  auto ids = tavlo::readIsolatedDisplayIDs(settings);
  if (std::find(ids.begin(), ids.end(), 0u) != ids.end()) std::abort();
  std::sort(ids.begin(), ids.end());
  if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) std::abort();
  return 0;
}
