#pragma once
// The persisted list of physical displays switched off for a stream ("tl.isolatedDisplayIDs", an array
// of integers in the user defaults). It is written before displays are switched off, so that a run that
// dies while they are off leaves the next launch the list to switch back on.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/runtime/json_store.hpp"

namespace tavlo {

inline constexpr const char* kIsolatedDisplayIDsKey = "tl.isolatedDisplayIDs";

// The list as stored. A missing key, or a value that is not an array of integers, reads as empty;
// entries that cannot be display ids (0, negative, above 32 bits) are left out.
std::vector<uint32_t> readIsolatedDisplayIDs(const JsonStore& settings);
void writeIsolatedDisplayIDs(JsonStore& settings, const std::vector<uint32_t>& ids);
void removeIsolatedDisplayIDs(JsonStore& settings);

// `into` followed by the ids of `more` it does not hold yet.
void appendMissing(std::vector<uint32_t>& into, const std::vector<uint32_t>& more);
// "1,2,3", as the log lines write lists of ids.
std::string joinIDs(const std::vector<uint32_t>& ids);

}  // namespace tavlo
