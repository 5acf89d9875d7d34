#pragma once
#include <string>

namespace tavlo {

// Names the calling thread after a queue label; Linux keeps at most 15 characters.
void setCurrentThreadName(const std::string& label);

}  // namespace tavlo
