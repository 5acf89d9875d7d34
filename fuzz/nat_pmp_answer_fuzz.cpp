// Any bytes as a NAT-PMP gateway's answer, read both as a public-address and as a mapping answer.
#include <cstdint>
#include <cstdlib>

#include "host/reachability/nat_pmp_messages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavlo::ByteView bytes(data, size);
  auto address = tavlo::natpmp::parsePublicAddressAnswer(bytes);
  if (address && (size < 12 || address->address.size() > 15)) std::abort();
  auto mapping = tavlo::natpmp::parseMappingAnswer(bytes);
  if (mapping && size < 16) std::abort();
  return 0;
}
