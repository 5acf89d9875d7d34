#pragma once
// Structured values of the settings and key-value stores (dictionaries, arrays, numbers, strings).
#include <nlohmann/json.hpp>

namespace tavlo {
using JsonValue = nlohmann::json;
}
