#include "host/desktop/isolated_display_list.hpp"

#include <algorithm>
#include <limits>

namespace tavlo {

std::vector<uint32_t> readIsolatedDisplayIDs(const JsonStore& settings) {
  std::vector<uint32_t> ids;
  auto value = settings.getValue(kIsolatedDisplayIDsKey);
  if (!value || !value->is_array()) return ids;
  for (const auto& entry : *value) {
    if (!entry.is_number_integer()) return {};
  }
  for (const auto& entry : *value) {
    // Negative integers are not display ids; unsigned ones may exceed what int64_t holds.
    const bool positive = entry.is_number_unsigned() || entry.get<int64_t>() > 0;
    const uint64_t id = positive ? entry.get<uint64_t>() : 0;
    if (id >= 1 && id <= std::numeric_limits<uint32_t>::max()) appendMissing(ids, {static_cast<uint32_t>(id)});
  }
  return ids;
}

void writeIsolatedDisplayIDs(JsonStore& settings, const std::vector<uint32_t>& ids) {
  JsonValue list = JsonValue::array();
  for (uint32_t id : ids) list.push_back(id);
  settings.set(kIsolatedDisplayIDsKey, std::move(list));
}

void removeIsolatedDisplayIDs(JsonStore& settings) { settings.remove(kIsolatedDisplayIDsKey); }

void appendMissing(std::vector<uint32_t>& into, const std::vector<uint32_t>& more) {
  for (uint32_t id : more) {
    if (std::find(into.begin(), into.end(), id) == into.end()) into.push_back(id);
  }
}

std::string joinIDs(const std::vector<uint32_t>& ids) {
  std::string text;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i) text += ",";
    text += std::to_string(ids[i]);
  }
  return text;
}

}  // namespace tavlo
