// Any bytes as a relay connection's stream: lines are cut, trimmed and parsed as session tokens and as
// the service's naming of a client, and the bytes behind the last line are handed on, without
// over-reads, whatever the pieces.
#include <cstdint>
#include <algorithm>
#include <cstdlib>

#include "transport/relay_line_buffer.hpp"
#include "transport/relay_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vela::RelayLineBuffer buffer;
  size_t offset = 0;
  size_t consumed = 0;
  // The first byte picks the piece size, as different receives would cut the stream.
  size_t piece = size > 0 ? data[0] % 64 + 1 : 1;
  while (offset < size) {
    size_t n = std::min(piece, size - offset);
    buffer.append(tavlo::ByteView(data + offset, n));
    offset += n;
    while (auto line = buffer.nextLine()) {
      if (line->size() > vela::RelayLineBuffer::maxLineBytes * 3) std::abort();  // U+FFFD is 3 bytes
      if (auto bytes = vela::parseHexString(*line)) {
        if (tavlo::hexString(*bytes).size() != bytes->size() * 2) std::abort();
      }
      if (auto named = vela::parseClientNotice(*line)) {
        if (named->token.size() != 16 || named->address.empty()) std::abort();
      }
      ++consumed;
    }
  }
  tavlo::Bytes rest = buffer.takeRemaining();
  if (!buffer.overflowed() && rest.size() > size) std::abort();
  (void)consumed;
  return 0;
}
