// Any bytes as the TCP multiplex's stream, cut into pieces by the input's own first byte: every frame
// delivered is whole, a sealed envelope goes to control and a plain packet by its byte 5, and nothing
// is read past the input.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "e2e/e2e_envelope.hpp"
#include "transport/mux_frame_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = data[0] % 64 + 1;
  vela::ByteView stream(data + 1, size - 1);
  vela::MuxFrameReader reader;
  std::vector<vela::MuxFrameReader::Frame> frames;
  size_t delivered = 0;
  for (size_t from = 0; from < stream.size(); from += piece) {
    size_t n = stream.size() - from < piece ? stream.size() - from : piece;
    if (!reader.append(stream.subspan(from, n), frames)) break;
  }
  for (const auto& frame : frames) {
    if (frame.payload.size() < 6) std::abort();
    bool input = !vela::E2EEnvelope::isEnvelope(frame.payload) && frame.payload[5] == 3;
    if (input != (frame.route == vela::MuxFrameReader::Route::inputReliable)) std::abort();
    delivered += 4 + frame.payload.size();
  }
  if (delivered > stream.size()) std::abort();
  return 0;
}
